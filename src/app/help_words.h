// The words of the help that differ per platform: one implementation per platform
// (help_words_posix.cpp, help_words_win32.cpp).
#pragma once

#include <string_view>

namespace quillon {

// What --port takes, as the platform names a serial port: "PATH" or "COMn".
std::string_view PortValueName();
// The platform's own name of the help option beside -h and --help ("/?" on Windows), or "".
std::string_view PlatformHelpName();
// The exit statuses of an interrupted run, in the platform's words.
std::string_view InterruptedExitText();
// Whether an argument is the platform's own way to ask for help ("/?" on Windows).
bool IsPlatformHelpArgument(std::string_view arg);

}  // namespace quillon
