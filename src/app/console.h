// The console and the signals the front ends run with. One implementation per platform
// (console_posix.cpp, console_win32.cpp).
#pragma once

namespace quillon {

// Whether standard error goes to a terminal (then progress lines are worth printing).
bool StderrIsTerminal();

// From here on Ctrl-C, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break, closing the console,
// logging off, shutting down) ask the Start in progress to stop (RequestInterrupt): it sends
// command 4 when the mode-switch request has gone out, then closes what it opened. A second one
// ends the process at once, releasing the serial ports it holds. SIGPIPE is ignored: a reader
// that goes away never ends a Start midway. With idle_ends_at_once (the dialog), a signal
// outside a Start ends the process at once: there is nothing to leave behind.
void InstallInterruptHandlers(bool idle_ends_at_once = false);
// Brackets a Start (or a scan). On Windows the console's close, logoff and shutdown events wait,
// within the few seconds the system grants, for the Start to end and its port to close.
void SetStartInProgress(bool in_progress);
bool StartInProgress();
// The signal that asked for the stop (SIGINT 2, SIGTERM 15, SIGHUP 1); 0 when none did.
int InterruptSignal();

}  // namespace quillon
