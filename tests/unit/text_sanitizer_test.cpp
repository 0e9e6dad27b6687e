#include "program/text_sanitizer.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(TextSanitizer, EveryOutputGetsItsSafeForm) {
  struct Case {
    const char* what;
    std::string in;
    std::string terminal;
    std::string dialog;
    std::string json;
  };
  const Case cases[] = {
      {"plain text and line breaks pass", "minicom\nCOM1", "minicom\nCOM1", "minicom\nCOM1",
       "\"minicom\\nCOM1\""},
      {"UTF-8 passes", "Ger\xC3\xA4t \xE2\x82\xAC", "Ger\xC3\xA4t \xE2\x82\xAC",
       "Ger\xC3\xA4t \xE2\x82\xAC", "\"Ger\xC3\xA4t \xE2\x82\xAC\""},
      {"a screen-clearing escape", "\x1B[2J\x1B[Hok", "\\x1B[2J\\x1B[Hok",
       "\xEF\xBF\xBD[2J\xEF\xBF\xBD[Hok", "\"\\u001b[2J\\u001b[Hok\""},
      {"carriage return forging a line", "x\rDone", "x\\x0DDone",
       "x\xEF\xBF\xBD"
       "Done",
       "\"x\\u000dDone\""},
      {"C1 CSI as UTF-8 and DEL",
       "a\xC2\x9B"
       "1mb\x7F",
       "a\\xC2\\x9B1mb\\x7F",
       "a\xEF\xBF\xBD"
       "1mb\xEF\xBF\xBD",
       "\"a\\u009b1mb\\u007f\""},
      {"right-to-left override",
       "a\xE2\x80\xAE"
       "b",
       "a\\xE2\\x80\\xAEb",
       "a\xEF\xBF\xBD"
       "b",
       "\"a\\u202eb\""},
      {"invalid bytes above 0x7F", "FT\xFF\xC3(", "FT\\xFF\\xC3(", "FT\xEF\xBF\xBD\xEF\xBF\xBD(",
       "\"FT\xEF\xBF\xBD\xEF\xBF\xBD(\""},
      {"overlong slash and a surrogate", "\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", ""},
      {"a sequence cut short at the end", "ab\xE2\x82", "ab\\xE2\\x82",
       "ab\xEF\xBF\xBD\xEF\xBF\xBD", "\"ab\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"quotes and backslashes", "a\"b\\c", "a\"b\\c", "a\"b\\c", "\"a\\\"b\\\\c\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TerminalSafe(c.in), c.terminal);
    EXPECT_EQ(ValidUtf8(c.in), c.dialog);
    if (!c.json.empty()) {
      EXPECT_EQ(JsonString(c.in), c.json);
    }
    // Whatever came in, nothing that starts an escape sequence goes out.
    for (const std::string& out : {TerminalSafe(c.in), ValidUtf8(c.in), JsonString(c.in)}) {
      EXPECT_EQ(out.find('\x1B'), std::string::npos);
      EXPECT_EQ(out.find('\r'), std::string::npos);
      EXPECT_EQ(ValidUtf8(out), out) << "not valid UTF-8 or a control left";
    }
  }
  // An argument echoed by an error line keeps that line one line, and a C1 escape is escaped
  // there too.
  EXPECT_EQ(ArgumentText("1\n2\t\xC2\x9B"
                         "3"),
            "1\\x0A2\\x09\\xC2\\x9B3");
}

}  // namespace
}  // namespace quillon
