// The texts that differ per platform, POSIX side.

#include "reconfig/messages.h"

namespace quillon {

std::string SerialPermissionFix(const std::string& group) {
  const std::string g = group.empty() ? "dialout" : group;
  return "add your user to the group '" + g + "' that owns the port: sudo usermod -aG " + g +
         " $USER, then log in again";
}

}  // namespace quillon
