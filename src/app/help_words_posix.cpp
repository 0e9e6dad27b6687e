#include "app/help_words.h"

namespace quillon {

std::string_view PortValueName() {
  return "PATH";
}

std::string_view PlatformHelpName() {
  return "";
}

std::string_view InterruptedExitText() {
  return "128 + the signal when a signal ended it (130 SIGINT, 143 SIGTERM)";
}

bool IsPlatformHelpArgument(std::string_view /*arg*/) {
  return false;
}

}  // namespace quillon
