#include "link/wait.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "link/interrupt.h"

namespace quillon {
namespace {

std::function<void()>& WaitHook() {
  static std::function<void()> hook;
  return hook;
}

// Without a hook, one blocking slice lasts at most this long.
constexpr std::int64_t kMaxSliceMs = 1000;
// With a hook, a wait blocks this long at a time, so that the hook runs often enough for a
// window to repaint smoothly.
constexpr std::int64_t kHookSliceMs = 20;

}  // namespace

void SetWaitHook(std::function<void()> hook) {
  WaitHook() = std::move(hook);
}

bool WaitOver(const Deadline& deadline) {
  return deadline.Passed() || InterruptRequested();
}

int NextWaitSliceMs(const Deadline& deadline) {
  std::int64_t cap = kMaxSliceMs;
  if (const std::function<void()>& hook = WaitHook()) {
    hook();
    cap = kHookSliceMs;
  }
  return static_cast<int>(std::clamp<std::int64_t>(deadline.LeftMs(), 0, cap));
}

}  // namespace quillon
