#include <locale.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "numedit/c_locale.h"

namespace quillon::c_locale {
namespace {

// Made once and kept for the life of the process.
locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

// Switches the calling thread, and only it, to the C locale while the guard lives. Should the
// locale object be missing (out of memory at its creation), the thread's locale stays in force.
class ThreadCLocaleGuard {
 public:
  ThreadCLocaleGuard()
      : previous_(CLocale() != nullptr ? uselocale(CLocale()) : static_cast<locale_t>(nullptr)) {}
  ~ThreadCLocaleGuard() {
    if (previous_ != nullptr) uselocale(previous_);
  }
  ThreadCLocaleGuard(const ThreadCLocaleGuard&) = delete;
  ThreadCLocaleGuard& operator=(const ThreadCLocaleGuard&) = delete;

 private:
  locale_t previous_;
};

}  // namespace

std::string FormatFixed(double value, int width, int precision) {
  ThreadCLocaleGuard c_locale_guard;
  char small[64];
  const int n = std::snprintf(small, sizeof small, "%*.*f", width, precision, value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
  std::string text(static_cast<std::size_t>(n), '\0');
  std::snprintf(text.data(), text.size() + 1, "%*.*f", width, precision, value);
  return text;
}

double ParseDouble(const char* text) {
  ThreadCLocaleGuard c_locale_guard;
  return std::strtod(text, nullptr);
}

bool ScanOctal(const char* text, std::uint64_t* out) {
  ThreadCLocaleGuard c_locale_guard;
  return std::sscanf(text, "%" SCNo64, out) == 1;
}

bool ScanHex(const char* text, std::uint64_t* out) {
  ThreadCLocaleGuard c_locale_guard;
  return std::sscanf(text, "%" SCNx64, out) == 1;
}

}  // namespace quillon::c_locale
