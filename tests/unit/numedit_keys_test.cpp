#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "numedit/numeric_edit.h"

namespace quillon {
namespace {

class RecordingHost final : public NumericEditHost {
 public:
  void ShowText(const std::string& text) override { shown.push_back(text); }
  bool IsEnabled() const override { return true; }
  std::vector<std::string> shown;
};

struct Config {
  int radix = NumericEdit::kDecimal;
  double lo = 0.0;
  unsigned decimals = 0;
};
const Config kSerialField{};  // the main dialog's field
const Config kTwoDecimals{.decimals = 2};
const Config kSigned{.lo = -100.0, .decimals = 2};

struct Field {
  explicit Field(const Config& c) {
    edit.SetHost(&host);
    edit.SetRadix(c.radix);
    edit.SetRange(c.lo, 40000.0, false);
    edit.SetDecimals(c.decimals);
    host.shown.clear();
  }
  RecordingHost host;
  NumericEdit edit;
};

constexpr int kRefused = -1;  // expected `ch` for a refused character

TEST(NumericEditChar, AcceptsOnlyTheCharactersOfTheKind) {
  struct Case {
    Config config;
    std::string accepted;  // lower-case hexadecimal letters are accepted in upper case
  } cases[] = {{{.radix = 2}, "\b01"},
               {{.radix = 8}, "\b01234567"},
               {kSerialField, "\b0123456789"},
               {{.radix = 16}, "\b0123456789ABCDEFabcdef"},
               {{.radix = 5}, ""}};
  for (const Case& c : cases) {
    Field f(c.config);
    for (int ch = 0; ch < 256; ++ch) {
      const bool accept = ch != 0 && c.accepted.find(static_cast<char>(ch)) != std::string::npos;
      const NumericEdit::CharDecision d = f.edit.OnChar(ch, "12", 2, 2);
      EXPECT_EQ(d.accept, accept) << c.config.radix << " " << ch;
      if (accept) {
        EXPECT_EQ(d.ch, ch >= 'a' ? ch - 32 : ch) << c.config.radix << " " << ch;
      }
    }
  }
}

TEST(NumericEditChar, AcceptsOneMinusInFrontAndOnePointWhereAllowed) {
  struct Case {
    Config config;
    std::string text;
    std::size_t selStart, selEnd;
    int typed;
    int inserted;  // kRefused when dropped
  } cases[] = {
      {kTwoDecimals, "12", 2, 2, ',', '.'},
      {kTwoDecimals, "12", 2, 2, '.', '.'},
      {kTwoDecimals, "12.5", 4, 4, '.', kRefused},
      {kTwoDecimals, "12.5", 4, 4, ',', kRefused},
      {kTwoDecimals, "12.5", 1, 4, '.', '.'},        // the selection holds the point
      {kTwoDecimals, "\xC3\xA4.5", 1, 2, '.', '.'},  // positions count characters, not bytes
      {kTwoDecimals, "12.5", 9, 12, '.', kRefused},  // a selection past the end holds nothing
      {kSigned, "5", 0, 0, '-', '-'},
      {kSigned, "5", 1, 1, '-', kRefused},
      {kSigned, "-5", 0, 0, '-', kRefused},
      {kSigned, "-5", 0, 2, '-', '-'},
      {kSigned, "-5", 0, 99, '-', '-'},
      {kSigned, "-5", 1, 2, '-', kRefused},
      {kSigned, "-5", 0, 0, '3', '3'},            // digits go anywhere
      {kTwoDecimals, "5", 0, 0, '-', kRefused}};  // minimum not below zero
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "' + " + std::to_string(c.typed));
    Field f(c.config);
    const NumericEdit::CharDecision d = f.edit.OnChar(c.typed, c.text, c.selStart, c.selEnd);
    EXPECT_EQ(d.accept, c.inserted != kRefused);
    if (d.accept) {
      EXPECT_EQ(d.ch, c.inserted);
    }
    EXPECT_TRUE(f.host.shown.empty());
  }
}

TEST(NumericEditChar, EnterReformatsInPlaceWithoutClampingAndIsDropped) {
  struct Case {
    Config config;
    std::string text;
    std::string shown;
  } cases[] = {{kTwoDecimals, "3.14159", "3.14"},
               {kSerialField, "007", "7"},
               {kSerialField, "99999", "99999"},
               {{.radix = 2}, "101", std::string(61, '0') + "101"},
               {{.radix = 16}, "0x1f", "1F"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Field f(c.config);
    EXPECT_FALSE(f.edit.OnChar('\r', c.text, 0, 0).accept);
    EXPECT_EQ(f.host.shown, std::vector<std::string>{c.shown});
  }
  Field f(kSerialField);
  f.edit.OnChar('\r', "99999", 5, 5);
  EXPECT_EQ(f.edit.GetValue(), 99999.0);
  EXPECT_FALSE(f.edit.IsValueInRange());
}

// A paste, a drop or an input method's text: trimmed, then all of it as typing would take it,
// or none of it.
TEST(NumericEditInsertion, TakesTheWholeTextAsTypingWouldOrNothing) {
  constexpr std::size_t kDialogLimit = 5;
  struct Case {
    Config config;
    std::string text;
    std::size_t selStart, selEnd;
    std::string inserted;
    std::size_t limit;
    std::optional<std::string> accepted;  // nullopt: refused whole
  } cases[] = {{kSerialField, "0", 0, 1, "1234 (0x04D2)", kDialogLimit, std::nullopt},  // not 34004
               {kSerialField, "0", 0, 1, "\t 42\r\n", kDialogLimit, "42"},
               {kSerialField, "0", 0, 1, "4 2", kDialogLimit, std::nullopt},
               {kSerialField, "0", 0, 1, "1\b2", kDialogLimit, std::nullopt},
               {kSerialField, "0", 0, 1, " \n", kDialogLimit, std::nullopt},  // nothing to insert
               {kSerialField, "0", 0, 1, "\xC2\xB2\xD9\xA3", kDialogLimit, std::nullopt},  // ²٣
               {kSerialField, "0", 0, 1, "12345", kDialogLimit, "12345"},
               {kSerialField, "0", 0, 1, "123456", kDialogLimit, std::nullopt},  // never cut
               {kSerialField, "12", 1, 1, "9999", kDialogLimit, std::nullopt},
               {kSerialField, "0", 0, 1, std::string(200000, '8'), 0, std::nullopt},
               {kSigned, "5", 0, 0, "-3", 0, "-3"},
               {kSigned, "5", 0, 0, "3-", 0, std::nullopt},  // the sign only in front
               {kSigned, "-5", 0, 0, "-", 0, std::nullopt},  // and only once
               {kTwoDecimals, "12", 2, 2, ",5", 0, ".5"},    // mended as typed
               {kTwoDecimals, "12", 2, 2, ".5.", 0, std::nullopt},
               {{.radix = 16}, "0", 0, 1, "c0fe", 0, "C0FE"}};
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "' + '" + c.inserted.substr(0, 20) + "'");
    Field f(c.config);
    EXPECT_EQ(f.edit.FilterInsertion(c.inserted, c.text, c.selStart, c.selEnd, c.limit),
              c.accepted);
    EXPECT_TRUE(f.host.shown.empty());
  }
}

// A change seen only afterwards is read as one replacement; what it inserted is judged as above,
// and a refused change gives back the text before it.
TEST(NumericEditInsertion, ReviewsAChangeAgainstTheTextLastAccepted) {
  struct Case {
    Config config;
    std::string before, after;
    bool accept;
    std::string shown;  // what the field shows then
    std::size_t caret;
  } cases[] = {{kSerialField, "0", "1234 (0x04D2)0", false, "0", 0},
               {kSerialField, "7", " 42 7", true, "427", 2},
               {kSerialField, "12", "1992", true, "1992", 3},
               {kSerialField, "123", "13", true, "13", 1},  // removing alone always stands
               {kSigned, "5", "5-", false, "5", 0},
               {kTwoDecimals, "15", "1,5", true, "1.5", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.before + "' to '" + c.after + "'");
    Field f(c.config);
    const NumericEdit::ChangeDecision d = f.edit.ReviewChange(c.before, c.after, 5);
    EXPECT_EQ(d.accept, c.accept);
    EXPECT_EQ(d.text, c.shown);
    if (d.accept) {
      EXPECT_EQ(d.caret, c.caret);
    }
  }
}

TEST(NumericEditKeyDown, NotifiesTheParentAfterTheKeysThatEditTheNumber) {
  struct Case {
    Config config;
    std::vector<int> notifying;
  } cases[] = {
      {{.radix = 2}, {vk::kBack, 0x30, 0x31}},
      {{.radix = 8}, {vk::kBack, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37}},
      {kSerialField,
       {vk::kBack, vk::kDelete, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39}},
      {{.radix = 16}, {vk::kBack, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x41,
                       0x42,      0x43, 0x44, 0x45, 0x46, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66}},
      {{.radix = 5}, {}}};
  for (const Case& c : cases) {
    Field f(c.config);
    for (int key = 0; key < 256; ++key) {
      const bool expected =
          std::find(c.notifying.begin(), c.notifying.end(), key) != c.notifying.end();
      EXPECT_EQ(f.edit.OnKeyDown(key, "12", 0, 0), expected) << c.config.radix << " " << key;
    }
  }
}

TEST(NumericEditKeyDown, InsertNotifiesWhereAMinusSignCouldBeTyped) {
  struct Case {
    Config config;
    std::string text;
    std::size_t selStart, selEnd;
    bool notify;
  } cases[] = {{kSigned, "5", 0, 0, true},
               {kSigned, "5", 1, 1, false},
               {kSigned, "-5", 0, 0, false},
               {kSigned, "-5", 0, 2, true},
               {kSerialField, "5", 0, 0, false}};
  for (const Case& c : cases) {
    Field f(c.config);
    EXPECT_EQ(f.edit.OnKeyDown(vk::kInsert, c.text, c.selStart, c.selEnd), c.notify) << c.text;
  }
}

}  // namespace
}  // namespace quillon
