#include "link/wait.h"

#include <algorithm>
#include <cstdint>

#include "link/interrupt.h"

namespace quillon {
namespace {

// Without a hook, one blocking slice lasts at most this long.
constexpr std::int64_t kMaxSliceMs = 1000;
// With a hook, a wait blocks this long at a time, so that the hook runs often enough for a
// window to repaint smoothly.
constexpr std::int64_t kHookSliceMs = 20;

thread_local bool t_interruptIgnored = false;

}  // namespace

InterruptIgnored::InterruptIgnored() : m_before(t_interruptIgnored) {
  t_interruptIgnored = true;
}

InterruptIgnored::~InterruptIgnored() {
  t_interruptIgnored = m_before;
}

bool WaitOver(const Deadline& deadline) {
  return deadline.Passed() || (InterruptRequested() && !t_interruptIgnored);
}

int NextWaitSliceMs(const Link& link, const Deadline& deadline) {
  const std::int64_t cap = link.RunWaitHook() ? kHookSliceMs : kMaxSliceMs;
  return static_cast<int>(std::clamp<std::int64_t>(deadline.LeftMs(), 0, cap));
}

}  // namespace quillon
