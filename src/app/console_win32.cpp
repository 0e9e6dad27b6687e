#include <windows.h>

#include <atomic>
#include <csignal>

#include "app/console.h"
#include "link/interrupt.h"
#include "link/serial_port.h"

namespace quillon {
namespace {

std::atomic<int> g_signal{0};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  if (g_signal.exchange(signal) != 0) {
    ReleaseSerialPortsForExit();
    ::ExitProcess(static_cast<UINT>(128 + signal));
  }
  RequestInterrupt();
  return TRUE;
}

}  // namespace

// Only a console answers GetConsoleMode; a pipe or a file does not.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void InstallInterruptHandlers() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int InterruptSignal() {
  return g_signal.load();
}

}  // namespace quillon
