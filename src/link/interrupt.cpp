#include "link/interrupt.h"

#include <atomic>

namespace quillon {
namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

void RequestInterrupt() {
  g_interrupted.store(true, std::memory_order_relaxed);
}

bool InterruptRequested() {
  return g_interrupted.load(std::memory_order_relaxed);
}

void ClearInterrupt() {
  g_interrupted.store(false, std::memory_order_relaxed);
}

}  // namespace quillon
