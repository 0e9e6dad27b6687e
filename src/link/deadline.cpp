#include "link/deadline.h"

#include <utility>

namespace quillon {
namespace {

std::function<void()>& WaitHook() {
  static std::function<void()> hook;
  return hook;
}

// With a hook, a wait blocks this long at a time, so that the hook runs often enough for a
// window to repaint smoothly.
constexpr std::int64_t kHookSliceMs = 20;

}  // namespace

void SetWaitHook(std::function<void()> hook) {
  WaitHook() = std::move(hook);
}

int Deadline::SliceMs() const {
  std::int64_t cap = kMaxSliceMs;
  if (const std::function<void()>& hook = WaitHook()) {
    hook();
    cap = kHookSliceMs;
  }
  return static_cast<int>(std::clamp<std::int64_t>(LeftMs(), 0, cap));
}

}  // namespace quillon
