// The number conversions of the field's texts: fixed-point formatting as printf's "%*.*f",
// reading as strtod and as sscanf's "%llo" / "%llX". Written out here rather than taken from the
// C runtime, so that the decimal point is '.' whatever the user's locale, and so that every
// platform's runtime (glibc, the old and the new Windows runtime) gives the same texts.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::number_text {

// "%*.*f": the value rounded exactly (ties to even on its binary value), right-aligned in width
// characters. Never truncated.
std::string FormatFixed(double value, int width, int precision);

// strtod: leading white space skipped, the longest numeric prefix read (decimal, "0x"
// hexadecimal, inf, nan), +0.0 when there is none (also after a lone sign: "-", "- 5").
double ParseDouble(const char* text);

// sscanf with "%llo" / "%llX": white space skipped, an optional sign (a minus negates modulo
// 2^64), for hexadecimal an optional "0x"; too large a number reads as all bits set. False when
// nothing was converted; *out is then left as it was.
bool ScanOctal(const char* text, std::uint64_t* out);
bool ScanHex(const char* text, std::uint64_t* out);

}  // namespace quillon::number_text
