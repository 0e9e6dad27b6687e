#include <signal.h>
#include <unistd.h>

#include "app/console.h"
#include "link/interrupt.h"
#include "link/serial_port.h"

namespace quillon {
namespace {

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_idleEndsAtOnce = 0;
volatile sig_atomic_t g_inStart = 0;

void OnSignal(int signal) {
  if (g_signal != 0 || (g_idleEndsAtOnce != 0 && g_inStart == 0)) {
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

void InstallInterruptHandlers(bool idle_ends_at_once) {
  g_idleEndsAtOnce = idle_ends_at_once ? 1 : 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait in poll() ends at once
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  // A write to a closed pipe fails with EPIPE instead; the exchange goes on to its end.
  ::signal(SIGPIPE, SIG_IGN);
}

void SetStartInProgress(bool in_progress) {
  g_inStart = in_progress ? 1 : 0;
}

bool StartInProgress() {
  return g_inStart != 0;
}

int InterruptSignal() {
  return g_signal;
}

}  // namespace quillon
