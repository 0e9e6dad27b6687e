// The console the command line runs in. One implementation per platform (console_posix.cpp,
// console_win32.cpp).
#pragma once

namespace quillon {

// Whether standard error goes to a terminal (then progress lines are worth printing).
bool StderrIsTerminal();

// From here on Ctrl-C, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break, closing the console)
// ask the procedure in progress to stop (RequestInterrupt); a second one ends the process at
// once, releasing the serial ports it holds.
void InstallInterruptHandlers();
// The signal that asked for the stop (SIGINT 2, SIGTERM 15, SIGHUP 1); 0 when none did.
int InterruptSignal();

}  // namespace quillon
