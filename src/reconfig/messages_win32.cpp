// The texts that differ per platform, Windows side.

#include "reconfig/messages.h"

namespace quillon {

std::string SerialPermissionFix(const std::string& /*group*/) {
  return "close the program that holds the port, then try again";
}

}  // namespace quillon
