#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include <cinttypes>

#include "numedit/c_locale.h"

namespace quillon::c_locale {
namespace {

// Made once and kept for the life of the process. A null locale (out of memory at its creation)
// makes the _l functions use the thread's locale.
_locale_t CLocale() {
  static const _locale_t c = _create_locale(LC_ALL, "C");
  return c;
}

}  // namespace

std::string FormatFixed(double value, int width, int precision) {
  const int n = _scprintf_l("%*.*f", CLocale(), width, precision, value);
  if (n < 0) return {};
  std::string text(static_cast<std::size_t>(n), '\0');
  _snprintf_s_l(text.data(), text.size() + 1, _TRUNCATE, "%*.*f", CLocale(), width, precision,
                value);
  return text;
}

double ParseDouble(const char* text) {
  return _strtod_l(text, nullptr, CLocale());
}

bool ScanOctal(const char* text, std::uint64_t* out) {
  return _sscanf_s_l(text, "%" SCNo64, CLocale(), out) == 1;
}

bool ScanHex(const char* text, std::uint64_t* out) {
  return _sscanf_s_l(text, "%" SCNx64, CLocale(), out) == 1;
}

}  // namespace quillon::c_locale
