// The console the command line runs in. One implementation per platform (console_posix.cpp,
// console_win32.cpp).
#pragma once

namespace quillon {

// Whether standard error goes to a terminal (then progress lines are worth printing).
bool StderrIsTerminal();

}  // namespace quillon
