#include "numedit/numeric_edit.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace quillon {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kAllBits = UINT64_MAX;

class RecordingHost final : public NumericEditHost {
 public:
  void ShowText(const std::string& text) override { shown.push_back(text); }
  bool IsEnabled() const override { return enabled; }
  std::vector<std::string> shown;
  bool enabled = true;
};

// A field's settings, applied through the owner's operations.
struct Config {
  int radix = NumericEdit::kDecimal;
  double lo = 0.0, hi = 40000.0;
  bool clamp = false;
  unsigned decimals = 0;
  unsigned minDigits = 1;
  std::uint64_t ilo = 0, ihi = kAllBits;
  bool allowEmpty = false;
};
const Config kSerialField{};  // the main dialog's: 0..40000, whole numbers, no clamping
const Config kWide{.lo = -1e308, .hi = 1e308};

struct Field {
  explicit Field(const Config& c) {
    edit.SetHost(&host);
    edit.SetRadix(c.radix);
    edit.SetRange(c.lo, c.hi, c.clamp);
    edit.SetIntRange(c.ilo, c.ihi, c.clamp);
    edit.SetDecimals(c.decimals);
    edit.SetMinDigits(c.minDigits);
    edit.SetAllowEmpty(c.allowEmpty);
    edit.SetValue(0.0);
    host.shown.clear();
  }
  RecordingHost host;
  NumericEdit edit;
};

std::string Binary64(const std::string& tail) {
  return std::string(64 - tail.size(), '0') + tail;
}

TEST(NumericEditStep, StepsOneRepresentableDoubleOnTheBitPattern) {
  struct Case {
    double x;
    std::uint64_t down, up;
  } cases[] = {{0.0, 0x8000000000000001, 0x0000000000000001},
               {-0.0, 0x8000000000000001, 0x0000000000000001},
               {5e-324, 0x0000000000000000, 0x0000000000000002},
               {-5e-324, 0x8000000000000002, 0x8000000000000000},
               {1.0, 0x3FEFFFFFFFFFFFFF, 0x3FF0000000000001},
               {-1.0, 0xBFF0000000000001, 0xBFEFFFFFFFFFFFFF},
               {40000.0, 0x40E387FFFFFFFFFF, 0x40E3880000000001},
               {DBL_MAX, 0x7FEFFFFFFFFFFFFE, 0x7FF0000000000000},
               {-DBL_MAX, 0xFFF0000000000000, 0xFFEFFFFFFFFFFFFE},  // nothing but -inf lies below
               {kInf, 0x7FEFFFFFFFFFFFFF, 0x7FF0000000000000},
               {-kInf, 0xFFF0000000000000, 0xFFEFFFFFFFFFFFFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(stepDown(c.x)), c.down);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(stepUp(c.x)), c.up);
    EXPECT_EQ(stepDown(c.x), std::nextafter(c.x, -kInf));
    EXPECT_EQ(stepUp(c.x), std::nextafter(c.x, kInf));
  }
  EXPECT_TRUE(std::isnan(stepDown(std::nan(""))));
  EXPECT_TRUE(std::isnan(stepUp(std::nan(""))));
}

TEST(NumericEditRange, StoresBoundsOneStepOutsideAndKeepsGivenBoundsInside) {
  NumericEdit f;
  f.SetRange(0.0, 40000.0, false);
  EXPECT_EQ(f.minimum(), -4.9406564584124654e-324);
  EXPECT_EQ(f.maximum(), 40000.0 + std::ldexp(1.0, -37));
  EXPECT_FALSE(f.negativeAllowed());

  f.SetRange(7.0, 3.0, true);  // lo above hi: a range around hi alone
  EXPECT_EQ(f.minimum(), stepDown(3.0));
  EXPECT_EQ(f.maximum(), stepUp(3.0));
  EXPECT_EQ(f.GetValue(), stepUp(3.0));  // 500 lowered to the stored maximum
  EXPECT_TRUE(f.clampOnCommit());

  f.SetRange(-1.0, 2.0, false);
  f.SetIntRange(9, 4, false);
  EXPECT_EQ(f.intMinimum(), 4u);
  EXPECT_EQ(f.intMaximum(), 4u);
  EXPECT_EQ(f.GetIntValue(), 4u);
  EXPECT_TRUE(f.negativeAllowed());  // left alone by the integer range
  f.SetRange(1.0, -2.0, false);      // the sign decision is taken from lo as given
  EXPECT_FALSE(f.negativeAllowed());

  f.SetDecimals(25);
  f.SetMinDigits(100);
  EXPECT_EQ(f.decimals(), 18u);
  EXPECT_EQ(f.minDigits(), 64u);
}

TEST(NumericEditCreate, StoresWithFixUpsAndShowsOnCreation) {
  RecordingHost host;
  NumericEdit f;
  f.SetHost(&host);
  f.OnCreate();  // the constructor's defaults
  EXPECT_EQ(host.shown, std::vector<std::string>{"500.00"});
  EXPECT_EQ(f.OnColour(true, "500.00").text, NumericEdit::TextColour::kBlack);

  f.Create(5.0, 10.0, 2.0, 30, 100);
  EXPECT_EQ(f.minimum(), 2.0);  // not widened
  EXPECT_EQ(f.maximum(), 2.0);
  EXPECT_EQ(f.GetValue(), 2.0);
  EXPECT_EQ(f.decimals(), 18u);
  EXPECT_EQ(f.minDigits(), 64u);
  EXPECT_FALSE(f.negativeAllowed());
  EXPECT_EQ(host.shown.size(), 1u);  // nothing shown before the window exists

  f.Create(-3.0, -1.0, 10.0, 1, 1);
  EXPECT_EQ(f.GetValue(), -1.0);
  EXPECT_TRUE(f.negativeAllowed());
}

TEST(NumericEditFormat, WritesEachKindsTextForm) {
  struct Case {
    Config config;
    double value;
    std::uint64_t intValue;
    std::string text;
  } cases[] = {{{.decimals = 0}, 7.0, 0, "7"},
               {kWide, 2.5, 0, "2"},  // printf rounds ties to even
               {kWide, -0.4, 0, "-0"},
               {{.lo = -1, .hi = 1, .decimals = 1}, 0.05, 0, "0.1"},
               {{.lo = -9, .hi = 9, .decimals = 2}, 1.005, 0, "1.00"},  // 1.005 is 1.00499999...
               {{.lo = -9, .hi = 9, .decimals = 2}, 3.14159, 0, "3.14"},
               {{.lo = -9, .hi = 9, .decimals = 18}, 0.1, 0, "0.100000000000000006"},
               {{.lo = -9, .hi = 9, .minDigits = 4}, -5.0, 0, "-005"},  // zeros after the sign
               {{.lo = -9, .hi = 9, .decimals = 1, .minDigits = 6}, -1.5, 0, "-001.5"},
               {{.lo = -9, .hi = 9, .decimals = 2, .minDigits = 6}, 1.5, 0, "001.50"},
               {{.radix = 2}, 0, 5, Binary64("101")},
               {{.radix = 2}, 0, kAllBits, std::string(64, '1')},
               {{.radix = 8}, 0, 8, "10"},
               {{.radix = 8}, 0, kAllBits, "1777777777777777777777"},
               {{.radix = 8, .minDigits = 0}, 0, 0, "0"},
               {{.radix = 16}, 0, 255, "FF"},
               {{.radix = 16, .minDigits = 4}, 0, 255, "00FF"},
               {{.radix = 16}, 0, 0xABCDEF, "ABCDEF"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Field f(c.config);
    if (c.config.radix == NumericEdit::kDecimal) {
      f.edit.SetValue(c.value);
    } else {
      f.edit.SetIntValue(c.intValue);
    }
    ASSERT_EQ(f.host.shown.size(), 1u);
    EXPECT_EQ(f.host.shown.back(), c.text);
    EXPECT_EQ(f.edit.text(), c.text);
  }
}

TEST(NumericEditParse, ReadsIntegerKindsAsTheRuntimeDoes) {
  struct Case {
    int radix;
    std::string text;
    std::uint64_t value;  // the previous value is 7
  } cases[] = {
      {2, "101", 5},
      {2, "1x1", 5},
      {2, "", 0},
      {2, "21", 1},
      {2, std::string("1").append(64, '0'), 0},  // bit 64 adds nothing
      {2, std::string("1").append(63, '0'), 0x8000000000000000},
      {2, "1\xC3\xA9", 2},  // positions count characters: 1é is 10
      {2,
       "1\xE2\x82\xAC"
       "1",
       5},
      {8, "17", 15},
      {8, "9", 7},  // unreadable: kept
      {8, "", 0},
      {8, "-5", kAllBits - 4},
      {8, "0x7", 0},
      {16, "0x1f", 31},
      {16, "FF", 255},
      {16, "zz", 7},
      {16, "-", 7},
      {16, " ", 7},
      {16, "-1", kAllBits},
      {16, "1fz", 31},
      {16, "0x", 0},
      {5, "12", 7}  // no text rule for other kinds
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.radix) + " '" + c.text + "'");
    NumericEdit f;
    f.SetRadix(c.radix);
    f.SetIntValue(7);
    f.ParseText(c.text);
    EXPECT_EQ(f.GetIntValue(), c.value);
  }
}

TEST(NumericEditParse, ReadsDecimalAsStrtod) {
  struct Case {
    std::string text;
    double value;
  } cases[] = {{"", 0.0},        {"abc", 0.0},
               {" 12.5x", 12.5}, {"-3", -3.0},
               {"3-5", 3.0},     {".5", 0.5},
               {"1e3", 1e3},     {"0x10", 16.0},
               {"2,5", 2.0},     {std::string("1").append(69, '0'), 1e69},
               {"-", 0.0},       {"-abc", 0.0},
               {"- 5", 0.0},     {"-0", -0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    NumericEdit f;
    f.ParseText(c.text);
    EXPECT_EQ(f.GetValue(), c.value);
    EXPECT_EQ(std::signbit(f.GetValue()), std::signbit(c.value));
  }
}

TEST(NumericEditColour, RedOutsideTheBoundsBlackOnThemAndNothingWhenDisabled) {
  using TC = NumericEdit::TextColour;
  struct Case {
    Config config;
    std::string text;
    TC colour;
  } cases[] = {
      {kSerialField, "40000", TC::kBlack},
      {kSerialField, "40001", TC::kRed},
      {kSerialField, "99999", TC::kRed},
      {kSerialField, "", TC::kBlack},
      {kSerialField, "-1", TC::kRed},
      {kSerialField, "40000.0000000000072759576141834259033203125", TC::kBlack},  // stored bound
      {kSerialField, "40000.00000000002", TC::kRed},
      {{.radix = 16, .ilo = 10, .ihi = 20}, "A", TC::kBlack},
      {{.radix = 16, .ilo = 10, .ihi = 20}, "9", TC::kRed},
      {{.radix = 16, .ilo = 10, .ihi = 20}, "15", TC::kRed},  // 0x15 = 21
      {{.radix = 2, .ilo = 10, .ihi = 20}, "10100", TC::kBlack},
      {{.radix = 8, .ilo = 10, .ihi = 20}, "25", TC::kRed},
      {{.radix = 5}, "12", TC::kUnset}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Field f(c.config);
    const auto d = f.edit.OnColour(true, c.text);
    EXPECT_EQ(d.text, c.colour);
    EXPECT_EQ(d.background, NumericEdit::Background::kWindow);
  }

  Field f(kSerialField);
  f.edit.OnColour(true, "123");
  const auto d = f.edit.OnColour(false, "99999");
  EXPECT_EQ(d.text, TC::kUnset);
  EXPECT_EQ(d.background, NumericEdit::Background::kButtonFace);
  EXPECT_EQ(f.edit.GetValue(), 123.0);  // a disabled control is not parsed
}

TEST(NumericEditCommit, NormalisesClampsAndRewritesOnlyChangedTexts) {
  struct Case {
    Config config;
    std::string typed;
    std::optional<std::string> rewritten;  // nullopt: the text is not written again
    double value;
    std::uint64_t intValue;  // the previous value is 42
    bool inRange;
  } cases[] = {
      {kSerialField, "007", "7", 7.0, 42, true},
      {kSerialField, "", "0", 0.0, 42, true},
      {kSerialField, "50000", std::nullopt, 50000.0, 42, false},
      {kSerialField, "40000", std::nullopt, 40000.0, 42, true},
      {kSerialField, "12ab", "12", 12.0, 42, true},
      {kWide, "-", "0", 0.0, 42, true},  // no number: +0.0, never shown as -0
      {kWide, "-abc", "0", 0.0, 42, true},
      {{.lo = -9, .hi = 9, .minDigits = 4}, "-5", "-005", -5.0, 42, true},
      {{.lo = -9, .hi = 9, .minDigits = 4}, "-005", std::nullopt, -5.0, 42, true},
      {{.clamp = true}, "50000", "40000", 40000.0, 42, true},
      {{.lo = 0.05, .hi = 0.95, .clamp = true, .decimals = 1}, "1.2", "0.9", 1.0 - 0.1, 42, true},
      {{.lo = 0.05, .hi = 0.95, .clamp = true, .decimals = 1}, "0.01", "0.1", 0.0 + 0.1, 42, true},
      {{.lo = -10, .hi = -5, .clamp = true}, "3", "-5", -5.0, 42, true},
      {{.hi = 9, .decimals = 2}, "3.14159", "3.14", 3.14159, 42, true},
      {{.allowEmpty = true}, "", std::nullopt, 0.0, 42, true},
      {{.radix = 16}, "0x1f", "1F", 0, 31, true},
      {{.radix = 16}, "zz", "2A", 0, 42, true},
      {{.radix = 16}, "", "0", 0, 0, true},
      {{.radix = 16, .minDigits = 0}, "", std::nullopt, 0, 0, true},
      {{.radix = 16, .clamp = true, .ilo = 16, .ihi = 32}, "5", "10", 0, 16, true},
      {{.radix = 16, .clamp = true, .ilo = 16, .ihi = 32}, "FF", "20", 0, 32, true},
      {{.radix = 16, .ilo = 16, .ihi = 32}, "FF", std::nullopt, 0, 255, false},
      {{.radix = 8, .clamp = true, .ilo = 16, .ihi = 32}, "", "20", 0, 16, true},
      {{.radix = 2}, "101", Binary64("101"), 0, 5, true},
      {{.radix = 2, .minDigits = 0}, "", std::nullopt, 0, 0, true},
      {{.radix = 2, .clamp = true, .minDigits = 0, .ilo = 3, .ihi = 9},
       "",
       Binary64("11"),
       0,
       3,
       true},
      {{.radix = 2}, "", Binary64(""), 0, 0, true},
      {{.radix = 5}, "abc", std::nullopt, 0, 42, true},
      {{.radix = 5}, "", "0", 0, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.typed + "'");
    Field f(c.config);
    f.edit.SetIntValue(42);
    f.host.shown.clear();
    f.edit.CommitText(c.typed);
    if (c.rewritten) {
      EXPECT_EQ(f.host.shown, std::vector<std::string>{*c.rewritten});
    } else {
      EXPECT_TRUE(f.host.shown.empty());
    }
    if (c.config.radix == NumericEdit::kDecimal) {
      EXPECT_EQ(f.edit.GetValue(), c.value);
      EXPECT_EQ(std::signbit(f.edit.GetValue()), std::signbit(c.value));
    }
    EXPECT_EQ(f.edit.GetIntValue(), c.intValue);
    EXPECT_EQ(f.edit.IsValueInRange(), c.inRange);
  }
}

TEST(NumericEditSetters, ShowTheirTextOnlyForTheirKindsButAlways) {
  Field f({.radix = 16});
  f.edit.SetValue(5.0);
  f.edit.SetRange(0.0, 10.0, false);
  f.edit.SetDecimals(3);
  f.edit.SetRadix(16);  // unchanged kind
  EXPECT_TRUE(f.host.shown.empty());
  f.edit.SetIntValue(10);
  f.edit.SetIntValue(10);
  f.edit.SetMinDigits(3);
  f.edit.SetRadix(10);
  f.edit.SetRadix(7);  // other kinds show the text as it stands
  EXPECT_EQ(f.host.shown, (std::vector<std::string>{"A", "A", "00A", "5.000", "5.000"}));
  f.edit.SetIntRange(0, 5, false);  // clamps, but shows nothing for this kind
  EXPECT_EQ(f.edit.GetIntValue(), 5u);
  EXPECT_EQ(f.host.shown.size(), 5u);
}

TEST(NumericEditEnable, HidesTheTextWhileDisabledAndBringsItBack) {
  Field f(kSerialField);
  f.edit.CommitText("123");
  f.edit.OnEnable(false);
  f.edit.SetHideWhenDisabled(true);
  f.edit.SetHideWhenDisabled(true);  // unchanged: nothing shown
  f.edit.OnEnable(false);
  f.edit.OnEnable(true);
  f.host.enabled = false;
  f.edit.SetHideWhenDisabled(false);
  f.edit.SetHideWhenDisabled(true);
  EXPECT_EQ(f.host.shown, (std::vector<std::string>{"123", "123", "", "123", "123", ""}));
  EXPECT_EQ(f.edit.GetValue(), 123.0);
}

TEST(NumericEditSetText, DropsTwoCharactersFromTextsHoldingTheHexPrefix) {
  struct Case {
    std::string in, out;
  } cases[] = {{"0x1F", "1F"},
               {"A0x", "x"},
               {"0X1F", "0X1F"},
               {"12", "12"},
               {"", ""},
               {"0x", ""},
               {"x0x0", "x0"},
               {"\xE2\x82\xAC"
                "0x5",
                "x5"}};  // characters, not bytes: €0x5
  for (const Case& c : cases) EXPECT_EQ(NumericEdit::FilterSetText(c.in), c.out) << c.in;

  Field f({.radix = 5});  // the field's own texts pass the filter too
  f.edit.ParseText("0x0x1");
  f.edit.OnEnable(true);
  EXPECT_EQ(f.host.shown, std::vector<std::string>{"0x1"});
}

TEST(NumericEditLongText, ReadsAndWritesTextsOfAnyLength) {
  Field f(kWide);
  f.edit.SetDecimals(18);
  f.edit.SetValue(1e300);
  const std::string big = f.host.shown.back();
  EXPECT_EQ(big.size(), 301u + 19u);
  EXPECT_EQ(big.substr(big.size() - 19), std::string(".").append(18, '0'));
  f.host.shown.clear();
  f.edit.CommitText(big);
  EXPECT_EQ(f.edit.GetValue(), 1e300);
  EXPECT_TRUE(f.host.shown.empty());

  // The 64-character binary form reads back as itself, commit after commit.
  Field b({.radix = 2});
  b.edit.SetIntValue(5);
  const std::string text = b.host.shown.back();
  b.edit.OnColour(true, text);
  b.edit.CommitText(text);
  EXPECT_EQ(b.edit.GetIntValue(), 5u);
  EXPECT_EQ(b.host.shown.size(), 1u);
}

// A user whose locale writes decimal commas still gets the field's texts with a point.
TEST(NumericEditLocale, TextsDoNotFollowTheUsersDecimalComma) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"};
  bool comma = false;
  for (const char* name : names) {
    if (std::setlocale(LC_ALL, name) != nullptr && *std::localeconv()->decimal_point == ',') {
      comma = true;
      break;
    }
  }
  if (!comma) {
    std::setlocale(LC_ALL, previous.c_str());
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  Field f({.lo = -9, .hi = 9, .decimals = 2});
  f.edit.SetValue(1.5);
  f.edit.CommitText("2.250");
  const double twoAndAQuarter = f.edit.GetValue();
  f.edit.ParseText("2,5");
  const double two = f.edit.GetValue();
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_EQ(f.host.shown, (std::vector<std::string>{"1.50", "2.25"}));
  EXPECT_EQ(twoAndAQuarter, 2.25);
  EXPECT_EQ(two, 2.0);
}

}  // namespace
}  // namespace quillon
