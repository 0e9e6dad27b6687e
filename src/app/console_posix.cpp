#include <signal.h>
#include <unistd.h>

#include "app/console.h"
#include "link/interrupt.h"
#include "link/serial_port.h"

namespace quillon {
namespace {

volatile sig_atomic_t g_signal = 0;

void OnSignal(int signal) {
  if (g_signal != 0) {
    ReleaseSerialPortsForExit();
    ::_exit(128 + signal);
  }
  g_signal = signal;
  RequestInterrupt();
}

}  // namespace

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait in poll() ends at once
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int InterruptSignal() {
  return g_signal;
}

}  // namespace quillon
