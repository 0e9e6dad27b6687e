// Text that did not come from this program (process names, USB descriptor strings, paths, lock
// file contents) is made safe for where it is shown. Each output has its own form; the text
// itself is kept raw until then.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Whether line feeds and tabs stay as they are (a device's or a holder's text) or are escaped
// too (an argument that an error line echoes: the line stays one line).
enum class LineBreaks { kKept, kEscaped };

// For a terminal: control characters (C0 but line feed and tab, DEL, the C1 range, the
// bidirectional overrides) and bytes that are not valid UTF-8 are shown as \xHH, one per byte,
// so that no escape sequence reaches the terminal and nothing can be forged on screen.
std::string TerminalSafe(std::string_view text, LineBreaks breaks = LineBreaks::kKept);

// An argument as an error line echoes it: terminal-safe, and on the line.
inline std::string ArgumentText(std::string_view text) {
  return TerminalSafe(text, LineBreaks::kEscaped);
}

// Valid UTF-8: every byte that is not part of a valid sequence becomes U+FFFD, and so does each
// control character other than line feed and tab. For message boxes, which show nothing at all
// for a text that is not valid UTF-8.
std::string ValidUtf8(std::string_view text);

// A JSON string literal, quotes included: valid UTF-8 (as ValidUtf8, with the control
// characters escaped by JSON instead of replaced).
std::string JsonString(std::string_view text);

}  // namespace quillon
