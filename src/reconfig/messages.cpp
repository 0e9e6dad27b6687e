#include "reconfig/messages.h"

namespace quillon {

std::string WithReasons(std::string_view text, const std::vector<std::string>& reasons) {
  std::string message(text);
  for (std::size_t i = 0; i < reasons.size(); ++i) message += (i == 0 ? "\n\n" : "\n") + reasons[i];
  return message;
}

}  // namespace quillon
