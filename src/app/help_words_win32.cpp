#include "app/help_words.h"

namespace quillon {

std::string_view PortValueName() {
  return "COMn";
}

std::string_view PlatformHelpName() {
  return "/?";
}

// Ctrl+C is SIGINT's status; Ctrl+Break, closing the console window, logging off and shutting
// down are SIGTERM's (console_win32.cpp).
std::string_view InterruptedExitText() {
  return "130 interrupted by Ctrl+C, 143 by Ctrl+Break or by closing the console window";
}

bool IsPlatformHelpArgument(std::string_view arg) {
  return arg == "/?";
}

}  // namespace quillon
