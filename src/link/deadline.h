// A point in time on the current platform's clock until which a wait runs. A wait runs while the
// clock is below its deadline; an interruption ends every wait at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>

#include "link/interrupt.h"
#include "link/platform.h"

namespace quillon {

class Deadline {
 public:
  explicit Deadline(std::int64_t at) : m_at(at) {}
  // ms milliseconds from now.
  static Deadline After(std::int64_t ms) { return Deadline(NowMs() + ms); }

  std::int64_t at() const { return m_at; }
  std::int64_t LeftMs() const { return m_at - NowMs(); }
  bool Passed() const { return LeftMs() <= 0 || InterruptRequested(); }
  // How long one blocking wait may take now: what is left, at most a second (with a wait hook,
  // far less), never below 0. Runs the wait hook first.
  int SliceMs() const;
  // Keeps the deadline at least ms ahead of now.
  void ExtendToAtLeast(std::int64_t ms) {
    const std::int64_t now = NowMs();
    if (m_at - now < ms) m_at = now + ms;
  }
  // Never later than `latest`.
  void Limit(std::int64_t latest) { m_at = std::min(m_at, latest); }

 private:
  static constexpr std::int64_t kMaxSliceMs = 1000;
  std::int64_t m_at;
};

// Called before every blocking slice of a wait of the link, that is at least every few tens of
// milliseconds while one runs: the dialog keeps its window painted there during a Start. Empty:
// none.
void SetWaitHook(std::function<void()> hook);

}  // namespace quillon
