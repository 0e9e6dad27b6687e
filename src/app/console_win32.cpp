#include <windows.h>

#include <atomic>
#include <csignal>

#include "app/console.h"
#include "link/interrupt.h"
#include "link/leave_at_exit.h"
#include "link/serial_port.h"

namespace quillon {
namespace {

// Windows ends a process a few seconds (5 by default) after a console close, logoff or shutdown
// event; command 4 and its answer take about one.
constexpr DWORD kEndingWaitMs = 4000;

std::atomic<int> g_signal{0};
std::atomic<bool> g_idleEndsAtOnce{false};
std::atomic<bool> g_inStart{false};
// Set while no Start runs.
HANDLE g_startEnded = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool ending =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  const int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  int first = 0;
  // The first event decides the status; a further one while the tool is already leaving ends it
  // at once, after command 4 has been written to every device that may be in service mode.
  const bool again = !g_signal.compare_exchange_strong(first, signal);
  if ((again && !ending) || (g_idleEndsAtOnce && !g_inStart)) {
    LeaveAtExitNow();
    ReleaseSerialPortsForExit();
    ::ExitProcess(static_cast<UINT>(128 + (again ? first : signal)));
  }
  RequestInterrupt();
  if (ending) {
    // Returning lets the system end the process: first let the Start send command 4 and close.
    if (g_startEnded) ::WaitForSingleObject(g_startEnded, kEndingWaitMs);
    ReleaseSerialPortsForExit();
  }
  return TRUE;
}

}  // namespace

// Only a console answers GetConsoleMode; a pipe or a file does not.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void InstallInterruptHandlers(bool idle_ends_at_once) {
  g_idleEndsAtOnce = idle_ends_at_once;
  if (!g_startEnded)
    g_startEnded = ::CreateEventW(nullptr, TRUE, g_inStart ? FALSE : TRUE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SetStartInProgress(bool in_progress) {
  g_inStart = in_progress;
  if (!g_startEnded) return;
  if (in_progress) {
    ::ResetEvent(g_startEnded);
  } else {
    ::SetEvent(g_startEnded);
  }
}

bool StartInProgress() {
  return g_inStart;
}

int InterruptSignal() {
  return g_signal.load();
}

}  // namespace quillon
