// A point in time on the current platform's clock until which a wait runs: a value, which neither
// waits nor looks at anything but the clock (wait.h has the waiting).
#pragma once

#include <algorithm>
#include <cstdint>

#include "link/platform.h"

namespace quillon {

class Deadline {
 public:
  explicit Deadline(std::int64_t at) : m_at(at) {}
  // ms milliseconds from now.
  static Deadline After(std::int64_t ms) { return Deadline(NowMs() + ms); }

  std::int64_t at() const { return m_at; }
  std::int64_t LeftMs() const { return m_at - NowMs(); }
  bool Passed() const { return LeftMs() <= 0; }
  // Keeps the deadline at least ms ahead of now.
  void ExtendToAtLeast(std::int64_t ms) {
    const std::int64_t now = NowMs();
    if (m_at - now < ms) m_at = now + ms;
  }
  // Never later than `latest`.
  void Limit(std::int64_t latest) { m_at = std::min(m_at, latest); }

 private:
  std::int64_t m_at;
};

}  // namespace quillon
