// A point in time on a platform's clock until which a wait runs: a value, which neither waits nor
// looks at anything but its clock (wait.h has the waiting).
#pragma once

#include <algorithm>
#include <cstdint>

#include "link/platform.h"

namespace quillon {

class Deadline {
 public:
  Deadline(Platform& clock, std::int64_t at) : m_clock(&clock), m_at(at) {}
  // ms milliseconds from now.
  static Deadline After(Platform& clock, std::int64_t ms) {
    return Deadline(clock, clock.NowMs() + ms);
  }

  std::int64_t at() const { return m_at; }
  std::int64_t LeftMs() const { return m_at - m_clock->NowMs(); }
  bool Passed() const { return LeftMs() <= 0; }
  // Keeps the deadline at least ms ahead of now.
  void ExtendToAtLeast(std::int64_t ms) {
    const std::int64_t now = m_clock->NowMs();
    if (m_at - now < ms) m_at = now + ms;
  }
  // Never later than `latest`.
  void Limit(std::int64_t latest) { m_at = std::min(m_at, latest); }

 private:
  Platform* m_clock;
  std::int64_t m_at;
};

}  // namespace quillon
