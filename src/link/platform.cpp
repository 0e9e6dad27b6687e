#include "link/platform.h"

#include <chrono>

#include "link/system_platform.h"

namespace quillon {
namespace {

Platform*& Installed() {
  static Platform* installed = nullptr;
  return installed;
}

}  // namespace

Platform& CurrentPlatform() {
  Platform* p = Installed();
  return p ? *p : SystemPlatform::Instance();
}

ScopedPlatform::ScopedPlatform(Platform& p) : m_previous(Installed()) {
  Installed() = &p;
}
ScopedPlatform::~ScopedPlatform() {
  Installed() = m_previous;
}

std::int64_t SteadyClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace quillon
