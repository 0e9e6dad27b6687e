#include "link/platform.h"

#include <chrono>

namespace quillon {

std::int64_t SteadyClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace quillon
