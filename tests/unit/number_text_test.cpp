// The field's number conversions give what glibc's printf, strtod and sscanf give, on random
// texts and values (and so the same on every platform, where the runtimes differ).

#include "numedit/number_text.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace quillon {
namespace {

#if defined(__GLIBC__)
TEST(NumberText, AgreesWithTheCRuntime) {
  std::mt19937 rng(1208);
  const char alphabet[] = "0123456789abcdefxX+-. eEpPinfa\t";
  for (int i = 0; i < 200000; ++i) {
    char text[16];
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) text[k] = alphabet[rng() % (sizeof alphabet - 1)];
    text[n] = '\0';
    const double expected = std::strtod(text, nullptr);
    const double got = number_text::ParseDouble(text);
    ASSERT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected))) << text;
    ASSERT_EQ(std::signbit(got), std::signbit(expected)) << text;  // == takes -0.0 for +0.0
    for (const char* format : {"%" SCNx64, "%" SCNo64}) {
      std::uint64_t want = 7, have = 7;
      const bool read = std::sscanf(text, format, &want) == 1;
      const bool ours = format[std::strlen(format) - 1] == 'x'
                            ? number_text::ScanHex(text, &have)
                            : number_text::ScanOctal(text, &have);
      ASSERT_EQ(ours, read) << format << " " << text;
      ASSERT_EQ(have, want) << format << " " << text;
    }
  }
  for (int i = 0; i < 50000; ++i) {
    double v;
    const std::uint64_t bits = (static_cast<std::uint64_t>(rng()) << 32) | rng();
    std::memcpy(&v, &bits, sizeof v);
    if (i % 2) v = static_cast<double>(rng() % 100000) / 8.0;  // many exact ties
    const int d = static_cast<int>(rng() % 19);
    char buf[512];
    std::snprintf(buf, sizeof buf, "%*.*f", d + 1, d, v);
    ASSERT_EQ(number_text::FormatFixed(v, d + 1, d), buf) << v << " with " << d;
  }
}
#endif

TEST(NumberText, TextsTheRuntimesDisagreeOn) {
  // The old Windows runtime rounds ties away from zero and reads no hexadecimal; the field
  // follows the standard behaviour everywhere.
  EXPECT_EQ(number_text::FormatFixed(2.5, 1, 0), "2");
  EXPECT_EQ(number_text::FormatFixed(0.125, 4, 2), "0.12");
  EXPECT_EQ(number_text::ParseDouble("0x10"), 16.0);
  std::uint64_t v = 7;
  EXPECT_TRUE(number_text::ScanHex("0x", &v));
  EXPECT_EQ(v, 0u);
  std::string tiny = "0." + std::string(400, '0') + "1";
  EXPECT_EQ(number_text::ParseDouble(tiny.c_str()), 0.0);
  EXPECT_EQ(number_text::ParseDouble(std::string(400, '9').c_str()), HUGE_VAL);
}

}  // namespace
}  // namespace quillon
