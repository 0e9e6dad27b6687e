#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "app/console.h"
#include "link/interrupt.h"
#include "link/leave_at_exit.h"
#include "link/serial_port.h"

namespace quillon {
namespace {

// The first signal decides the status; 0 while none came.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
volatile sig_atomic_t g_idleEndsAtOnce = 0;
volatile sig_atomic_t g_inStart = 0;

// A crash may be a stack overflow: its handler runs on a stack of its own.
std::array<char, 64 * 1024> g_crashStack;

// Ends the process at once: command 4 to every device that may be in service mode, written as it
// stands without waiting for an answer; the ports' settings back; the lock files removed.
[[noreturn]] void EndNow(int status) {
  LeaveAtExitNow();
  ReleaseSerialPortsForExit();
  ::_exit(status);
}

void OnSignal(int signal) {
  int first = 0;
  // A further signal, of any kind, while the tool is already leaving: leave at once, with the
  // first one's status.
  if (!g_signal.compare_exchange_strong(first, signal)) EndNow(128 + first);
  if (g_idleEndsAtOnce != 0 && g_inStart == 0) EndNow(128 + signal);
  RequestInterrupt();
}

// After a crash nothing of the process can be trusted but the tables made for this: the device
// is told, the ports put back, then the process dies of the signal as it would have.
void OnCrash(int signal) {
  LeaveAtExitNow();
  ReleaseSerialPortsForExit();
  ::signal(signal, SIG_DFL);
  ::raise(signal);  // delivered as the handler returns
}

// Signals whose default action ends the process and that ask the Start to stop.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGALRM,
    SIGTERM,   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
// Signals of a fault in the process itself.
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP};

void AddEndingSignals(sigset_t* set) {
  for (const int signal : kEndingSignals) sigaddset(set, signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(set, signal);
}

}  // namespace

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

void InstallInterruptHandlers(bool idle_ends_at_once) {
  g_idleEndsAtOnce = idle_ends_at_once ? 1 : 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  // While one handler runs, the others wait: the second of two signals sent together finds the
  // first one's status.
  sigemptyset(&action.sa_mask);
  AddEndingSignals(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait in poll() ends at once
  for (const int signal : kEndingSignals) ::sigaction(signal, &action, nullptr);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) ::sigaction(signal, &action, nullptr);

  stack_t stack{};
  stack.ss_sp = g_crashStack.data();
  stack.ss_size = g_crashStack.size();
  ::sigaltstack(&stack, nullptr);
  struct sigaction crash {};
  crash.sa_handler = OnCrash;
  sigfillset(&crash.sa_mask);
  crash.sa_flags = SA_ONSTACK;
  for (const int signal : kCrashSignals) ::sigaction(signal, &crash, nullptr);
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
  return g_signal.load();
}

}  // namespace quillon
