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

}  // namespace

bool WaitOver(const Link& link, const Deadline& deadline) {
  return deadline.Passed() || (link.Interruptible() && InterruptRequested());
}

int NextWaitSliceMs(const Link& link, const Deadline& deadline) {
  const std::int64_t cap = link.RunWaitHook() ? kHookSliceMs : kMaxSliceMs;
  return static_cast<int>(std::clamp<std::int64_t>(deadline.LeftMs(), 0, cap));
}

}  // namespace quillon
