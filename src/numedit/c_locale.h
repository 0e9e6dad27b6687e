// Number conversions of the C runtime, run in the "C" locale whatever locale the process has
// chosen: the decimal point is always '.', so the field's texts never change with the user's
// language settings. One implementation per platform (c_locale_posix.cpp, c_locale_win32.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace quillon::c_locale {

// snprintf with "%*.*f": fixed-point text, rounded as printf rounds. Never truncated.
std::string FormatFixed(double value, int width, int precision);

// strtod: leading white space skipped, the longest numeric prefix read, 0.0 when there is none.
double ParseDouble(const char* text);

// sscanf with "%" SCNo64 / "%" SCNx64 (white space skipped, optional sign, for hexadecimal an
// optional "0x"). False when nothing was converted; *out is then left as it was.
bool ScanOctal(const char* text, std::uint64_t* out);
bool ScanHex(const char* text, std::uint64_t* out);

}  // namespace quillon::c_locale
