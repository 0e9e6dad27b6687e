#include "program/text_sanitizer.h"

#include <cstdint>
#include <cstdio>

namespace quillon {
namespace {

// The length of the valid UTF-8 sequence at text[i] and its code point, or 0 when the byte
// there starts none (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF,
// or a sequence cut short).
std::size_t SequenceAt(std::string_view text, std::size_t i, std::uint32_t* code) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  std::size_t length = 0;
  std::uint32_t value = 0;
  std::uint32_t lowest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1Fu;
    lowest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0Fu;
    lowest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07u;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3Fu);
  }
  if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

// Characters that move the cursor, start an escape sequence or reorder the text on screen.
bool IsControl(std::uint32_t code, LineBreaks breaks = LineBreaks::kKept) {
  if ((code == '\n' || code == '\t') && breaks == LineBreaks::kKept) return false;
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

void AppendHex(std::string& out, unsigned char byte) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(byte));
  out += hex;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string TerminalSafe(std::string_view text, LineBreaks breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = SequenceAt(text, i, &code);
    if (length == 0) {
      AppendHex(out, static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (IsControl(code, breaks)) {
      for (std::size_t k = 0; k < length; ++k)
        AppendHex(out, static_cast<unsigned char>(text[i + k]));
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = SequenceAt(text, i, &code);
    if (length == 0 || IsControl(code)) {
      out += kReplacement;
      i += length == 0 ? 1 : length;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = SequenceAt(text, i, &code);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code == '\n') {
      out += "\\n";
    } else if (code < 0x20 || code == 0x7F || IsControl(code)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(code));
      out += hex;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out + "\"";
}

}  // namespace quillon
