#include "numedit/number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace quillon::number_text {
namespace {

// The white space of the "C" locale.
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

bool StartsWithNoCase(const char* p, const char* word) {
  for (; *word; ++p, ++word) {
    if ((*p | 0x20) != *word) return false;
  }
  return true;
}

// A number too large or too small for a double: strtod gives infinity or zero. Without an
// exponent it is too large exactly when a digit other than 0 stands before the point.
double OutOfRange(const char* first, const char* last, char exponent_mark) {
  for (const char* p = first; p < last; ++p) {
    if ((*p | 0x20) == exponent_mark) return p + 1 < last && p[1] == '-' ? 0.0 : HUGE_VAL;
  }
  for (const char* p = first; p < last && *p != '.'; ++p) {
    if (*p != '0') return HUGE_VAL;
  }
  return 0.0;
}

const char* SkipSpaceAndSign(const char* p, bool* negative) {
  while (IsSpace(*p)) ++p;
  *negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  return p;
}

bool ScanUnsigned(const char* text, int base, std::uint64_t* out) {
  bool negative = false;
  const char* p = SkipSpaceAndSign(text, &negative);
  // "0x" is a prefix only when a hexadecimal digit follows; otherwise the 0 is the number.
  if (base == 16 && p[0] == '0' && (p[1] | 0x20) == 'x' && DigitValue(p[2]) < 16) p += 2;
  if (DigitValue(*p) >= base) return false;
  std::uint64_t value = 0;
  bool overflow = false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (int d; (d = DigitValue(*p)) < base; ++p) {
    const auto digit = static_cast<std::uint64_t>(d);
    if (value > (kMax - digit) / static_cast<std::uint64_t>(base)) overflow = true;
    value = value * static_cast<std::uint64_t>(base) + digit;
  }
  *out = overflow ? kMax : (negative ? 0 - value : value);
  return true;
}

}  // namespace

std::string FormatFixed(double value, int width, int precision) {
  // The longest fixed text of a double: 309 digits, the point, 18 decimals and a sign.
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
  std::string text(buf, r.ec == std::errc{} ? r.ptr : buf);
  if (static_cast<int>(text.size()) < width) {
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  }
  return text;
}

double ParseDouble(const char* text) {
  bool negative = false;
  const char* p = SkipSpaceAndSign(text, &negative);
  const char* end = p + std::strlen(p);
  double value = 0.0;
  bool converted = true;
  if (p[0] == '0' && (p[1] | 0x20) == 'x' &&
      (DigitValue(p[2]) < 16 || (p[2] == '.' && DigitValue(p[3]) < 16))) {
    const auto r = std::from_chars(p + 2, end, value, std::chars_format::hex);
    if (r.ec == std::errc::result_out_of_range) value = OutOfRange(p + 2, r.ptr, 'p');
  } else if (StartsWithNoCase(p, "inf")) {
    value = std::numeric_limits<double>::infinity();
  } else if (StartsWithNoCase(p, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else if (*p != '-' && *p != '+') {  // from_chars would take a second sign
    const auto r = std::from_chars(p, end, value, std::chars_format::general);
    converted = r.ec != std::errc::invalid_argument;
    if (!converted) value = 0.0;
    if (r.ec == std::errc::result_out_of_range) value = OutOfRange(p, r.ptr, 'e');
  } else {
    converted = false;
  }
  // A sign without a number after it is no number at all: +0.0, never -0.0 (which the field
  // would show as "-0").
  return negative && converted ? -value : value;
}

bool ScanOctal(const char* text, std::uint64_t* out) {
  return ScanUnsigned(text, 8, out);
}
bool ScanHex(const char* text, std::uint64_t* out) {
  return ScanUnsigned(text, 16, out);
}

}  // namespace quillon::number_text
