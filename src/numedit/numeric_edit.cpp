#include "numedit/numeric_edit.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "numedit/number_text.h"

namespace quillon {
namespace {

constexpr std::uint64_t kSignBit = 0x8000000000000000;
constexpr std::uint64_t kMostNegativeFinite = 0xFFEFFFFFFFFFFFFF;
constexpr std::uint64_t kNegativeInfinity = 0xFFF0000000000000;
constexpr std::uint64_t kPositiveInfinity = 0x7FF0000000000000;
constexpr int kBackspace = 8;
constexpr int kEnter = 13;
constexpr int kDel = 127;
constexpr std::size_t kBinaryDigits = 64;
// A field holds a number, not a document: longer insertions are refused without a look.
constexpr std::size_t kMaxInsertedCharacters = 4096;

bool IsDigit(int ch) {
  return ch >= '0' && ch <= '9';
}

bool IsContinuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte offset of the character at index `chars` of a UTF-8 text; the text's end if it is
// shorter.
std::size_t ByteOffset(std::string_view text, std::size_t chars) {
  std::size_t i = 0;
  for (std::size_t n = 0; n < chars && i < text.size(); ++n) {
    ++i;
    while (i < text.size() && IsContinuation(text[i])) ++i;
  }
  return i;
}

std::size_t CharCount(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuation(c); }));
}

// The code point that starts at text[*i], and *i moved past it; -1 for bytes that are not
// well-formed UTF-8.
int NextCodePoint(std::string_view text, std::size_t* i) {
  const auto lead = static_cast<unsigned char>(text[(*i)++]);
  int extra = 0;
  int cp = 0;
  if (lead < 0x80) return lead;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    return -1;
  }
  for (; extra > 0; --extra) {
    if (*i >= text.size() || !IsContinuation(text[*i])) return -1;
    cp = (cp << 6) | (static_cast<unsigned char>(text[(*i)++]) & 0x3F);
  }
  return cp;
}

// The characters that the field can insert are all ASCII.
std::string AsciiText(int ch) {
  return std::string(1, static_cast<char>(ch));
}

// White space of the "C" locale around a text: what a copied number brings along.
std::string_view TrimSpace(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// The characters from selStart up to selEnd; empty for an empty or reversed selection.
std::string_view Selected(std::string_view text, std::size_t selStart, std::size_t selEnd) {
  const std::size_t from = ByteOffset(text, selStart);
  const std::size_t to = ByteOffset(text, selEnd);
  return to > from ? text.substr(from, to - from) : std::string_view();
}

// A sign that may appear once: allowed when the text has none yet, or when the selection that
// the typed character replaces holds it.
bool OnceOrReplacing(char sign, std::string_view text, std::string_view selected) {
  return text.find(sign) == std::string_view::npos || selected.find(sign) != std::string_view::npos;
}

std::string BinaryText(std::uint64_t v) {
  std::string text(kBinaryDigits, '0');
  for (std::size_t i = 0; i < kBinaryDigits; ++i) {
    if ((v >> (kBinaryDigits - 1 - i)) & 1) text[i] = '1';
  }
  return text;
}

std::string IntText(const char* format, std::uint64_t v) {
  char buf[32];  // 22 octal digits at most
  const int n = std::snprintf(buf, sizeof buf, format, v);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string OctalText(std::uint64_t v) {
  return IntText("%" PRIo64, v);
}
std::string HexText(std::uint64_t v) {
  return IntText("%" PRIX64, v);
}

// Entry d of the decimal kind's table: "%1.0f", "%2.1f", ... "%19.18f".
std::string DecimalText(double v, unsigned decimals) {
  const int d = static_cast<int>(decimals);
  return number_text::FormatFixed(v, d + 1, d);
}

}  // namespace

double stepDown(double x) {
  if (std::isnan(x)) return x;
  std::uint64_t b = std::bit_cast<std::uint64_t>(x);
  if (b & kSignBit) {
    // Nothing lies below the most negative finite double but -inf, and nothing below -inf.
    b = b < kMostNegativeFinite ? b + 1 : kNegativeInfinity;
  } else if (b == 0) {
    b = kSignBit | 1;
  } else {
    --b;
  }
  return std::bit_cast<double>(b);
}

double stepUp(double x) {
  if (std::isnan(x)) return x;
  std::uint64_t b = std::bit_cast<std::uint64_t>(x);
  if ((b & kSignBit) && b != kSignBit) {
    --b;
  } else if (b == kSignBit) {
    b = 1;
  } else if (b < kPositiveInfinity) {
    ++b;
  }
  return std::bit_cast<double>(b);
}

void NumericEdit::Create(double value, double minimum, double maximum, unsigned decimals,
                         unsigned minDigits) {
  m_value = value;
  m_minimum = minimum;
  m_maximum = maximum;
  m_decimals = decimals;
  m_minDigits = minDigits;
  if (m_minimum > m_maximum) m_minimum = m_maximum;
  if (m_value < m_minimum) m_value = m_minimum;
  if (m_value > m_maximum) m_value = m_maximum;
  m_decimals = std::min(m_decimals, kMaxDecimals);
  m_minDigits = std::min(m_minDigits, kMaxMinDigits);
  m_negativeAllowed = minimum < 0.0;
}

bool NumericEdit::IsIntegerKind() const {
  return m_radix == kBinary || m_radix == kOctal || m_radix == kHexadecimal;
}

// The working copy ends where a C string would: the conversions below read C strings.
void NumericEdit::ReadText(std::string_view shown) {
  m_text.assign(shown.substr(0, shown.find('\0')));
}

void NumericEdit::ParseText(std::string_view text) {
  ReadText(text);
  ParseCurrent();
}

void NumericEdit::ParseCurrent() {
  switch (m_radix) {
    case kBinary: {
      // Positions are characters counted from the right end; any character but '1' is a zero
      // bit.
      std::uint64_t v = 0;
      std::size_t pos = 0;
      for (std::size_t i = m_text.size(); i > 0 && pos < kBinaryDigits; --i) {
        if (IsContinuation(m_text[i - 1])) continue;
        if (m_text[i - 1] == '1') v |= std::uint64_t{1} << pos;
        ++pos;
      }
      m_intValue = v;
      break;
    }
    case kOctal:
    case kHexadecimal: {
      // An unreadable text keeps the previous value.
      if (m_text.empty()) {
        m_intValue = 0;
      } else if (m_radix == kOctal) {
        number_text::ScanOctal(m_text.c_str(), &m_intValue);
      } else {
        number_text::ScanHex(m_text.c_str(), &m_intValue);
      }
      break;
    }
    case kDecimal:
      m_value = number_text::ParseDouble(m_text.c_str());
      break;
    default:
      break;
  }
}

std::string NumericEdit::KindText() const {
  switch (m_radix) {
    case kBinary:
      return BinaryText(m_intValue);
    case kOctal:
      return OctalText(m_intValue);
    case kDecimal:
      return DecimalText(m_value, m_decimals);
    case kHexadecimal:
      return HexText(m_intValue);
    default:
      return m_text;
  }
}

// Leading zeros go after a minus sign: -5 with 4 digits is -005, which reads back as -5 (in
// front of the sign, 00-5 would read as 0 at the next repaint and the value would be lost).
void NumericEdit::PadWithZeros() {
  const std::size_t length = CharCount(m_text);
  if (length >= m_minDigits) return;
  const std::size_t at = !m_text.empty() && m_text.front() == '-' ? 1 : 0;
  m_text.insert(at, m_minDigits - length, '0');
}

void NumericEdit::FormatText() {
  m_text = KindText();
  PadWithZeros();
  Show(m_text);
}

void NumericEdit::Show(std::string_view text) {
  if (m_host != nullptr) m_host->ShowText(FilterSetText(text));
}

// Characters, not bytes: a text such as "€0x5" stays well-formed.
std::string NumericEdit::FilterSetText(std::string_view text) {
  if (text.find("0x") != std::string_view::npos) text.remove_prefix(ByteOffset(text, 2));
  return std::string(text);
}

NumericEdit::CharDecision NumericEdit::OnChar(int ch, std::string_view shown, std::size_t selStart,
                                              std::size_t selEnd) {
  if (ch == kEnter) {
    // Reformat in place; the carriage return itself never reaches the text.
    ReadText(shown);
    ParseCurrent();
    FormatText();
    return {false, ch};
  }
  ReadText(shown);
  return Decide(ch, m_text, selStart, selEnd);
}

NumericEdit::CharDecision NumericEdit::Decide(int ch, std::string_view text, std::size_t selStart,
                                              std::size_t selEnd) const {
  // The mended character is filtered like a typed one.
  if (ch == ',') return Decide('.', text, selStart, selEnd);
  if (ch >= 'a' && ch <= 'f' && m_radix == kHexadecimal) {
    return Decide(ch - ('a' - 'A'), text, selStart, selEnd);
  }

  const std::string_view selected = Selected(text, selStart, selEnd);
  bool accept = false;
  switch (m_radix) {
    case kBinary:
      accept = ch == kBackspace || ch == '0' || ch == '1';
      break;
    case kOctal:
      accept = ch == kBackspace || (ch >= '0' && ch <= '7');
      break;
    case kDecimal:
      // Digits go anywhere, even in front of a minus sign; the sign only at the front and only
      // when the minimum is negative; the point only with decimals; each of them once.
      accept = ch == kBackspace || IsDigit(ch) ||
               (ch == '-' && selStart == 0 && m_negativeAllowed &&
                OnceOrReplacing('-', text, selected)) ||
               (ch == '.' && m_decimals != 0 && OnceOrReplacing('.', text, selected));
      break;
    case kHexadecimal:
      accept = ch == kBackspace || IsDigit(ch) || (ch >= 'A' && ch <= 'F');
      break;
    default:
      break;
  }
  return {accept, ch};
}

std::optional<std::string> NumericEdit::FilterInsertion(std::string_view inserted,
                                                        std::string_view shown,
                                                        std::size_t selStart, std::size_t selEnd,
                                                        std::size_t limit) const {
  inserted = TrimSpace(inserted);
  std::string text(shown.substr(0, shown.find('\0')));
  const std::size_t length = CharCount(text);
  std::size_t from = std::min(selStart, length);
  std::size_t to = std::clamp(selEnd, from, length);
  const std::size_t count = CharCount(inserted);
  if (count == 0 || count > kMaxInsertedCharacters) return std::nullopt;
  if (limit != 0 && length - (to - from) + count > limit) return std::nullopt;

  // As typed: each character decided on the text as it has grown so far.
  std::string accepted;
  for (std::size_t i = 0; i < inserted.size();) {
    const int ch = NextCodePoint(inserted, &i);
    // Control characters: a backspace would delete and Enter reformat, not insert.
    if (ch < ' ' || ch == kDel) return std::nullopt;
    const CharDecision d = Decide(ch, text, from, to);
    if (!d.accept) return std::nullopt;
    const std::size_t at = ByteOffset(text, from);
    // Built afresh rather than with replace(), which GCC 12 at -O3 takes for an overlapping
    // copy (-Wrestrict).
    std::string grown;
    grown.append(text, 0, at).append(AsciiText(d.ch)).append(text, ByteOffset(text, to));
    text.swap(grown);
    accepted += AsciiText(d.ch);
    from = to = from + 1;
  }
  return accepted;
}

NumericEdit::ChangeDecision NumericEdit::ReviewChange(std::string_view before,
                                                      std::string_view after,
                                                      std::size_t limit) const {
  // The longest common start and end, whole characters only.
  std::size_t prefix = 0;
  const std::size_t shorter = std::min(before.size(), after.size());
  while (prefix < shorter && before[prefix] == after[prefix]) ++prefix;
  while (prefix > 0 && prefix < before.size() && IsContinuation(before[prefix])) --prefix;
  std::size_t suffix = 0;
  while (suffix < shorter - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  while (suffix > 0 && IsContinuation(before[before.size() - suffix])) --suffix;

  const std::size_t from = CharCount(before.substr(0, prefix));
  const std::size_t to = CharCount(before.substr(0, before.size() - suffix));
  const std::string_view inserted = after.substr(prefix, after.size() - suffix - prefix);
  if (inserted.empty()) return {true, false, std::string(after), from};
  const std::optional<std::string> mended = FilterInsertion(inserted, before, from, to, limit);
  if (!mended) return {false, true, std::string(before), 0};
  std::string text(before.substr(0, prefix));
  text += *mended;
  text += before.substr(before.size() - suffix);
  return {true, true, std::move(text), from + mended->size()};
}

bool NumericEdit::OnKeyDown(int virtualKey, std::string_view shown, std::size_t selStart,
                            std::size_t selEnd) {
  ReadText(shown);
  const std::string_view selected = Selected(m_text, selStart, selEnd);
  const int k = virtualKey;
  switch (m_radix) {
    case kBinary:
      return k == vk::kBack || k == 0x30 || k == 0x31;
    case kOctal:
      return k == vk::kBack || (k >= 0x30 && k <= 0x37);
    case kDecimal:
      return k == vk::kDelete || k == vk::kBack || (k >= 0x30 && k <= 0x39) ||
             (k == vk::kInsert && selStart == 0 && m_negativeAllowed &&
              OnceOrReplacing('-', m_text, selected));
    case kHexadecimal:
      return k == vk::kBack || (k >= 0x30 && k <= 0x39) || (k >= 0x41 && k <= 0x46) ||
             (k >= 0x61 && k <= 0x66);
    default:
      return false;
  }
}

bool NumericEdit::ClampIntOnCommit() {
  if (!m_clampOnCommit || (m_intValue <= m_intMaximum && m_intValue >= m_intMinimum)) {
    return false;
  }
  m_intValue = m_intValue > m_intMaximum ? m_intMaximum : m_intMinimum;
  return true;
}

void NumericEdit::CommitDecimal() {
  if (!m_clampOnCommit || (m_value <= m_maximum && m_value >= m_minimum)) {
    // The value keeps its full precision; only the text is rounded.
    m_text = DecimalText(m_value, m_decimals);
    return;
  }
  m_value = m_value > m_maximum ? m_maximum : m_minimum;
  // The bound as shown may round outside the range; then one display step back inside.
  m_text = DecimalText(m_value, m_decimals);
  m_value = number_text::ParseDouble(m_text.c_str());
  const double step = std::pow(0.1, static_cast<double>(m_decimals));
  if (m_value > m_maximum) {
    m_value -= step;
    m_text = DecimalText(m_value, m_decimals);
  } else if (m_value < m_minimum) {
    m_value += step;
    m_text = DecimalText(m_value, m_decimals);
  }
}

void NumericEdit::CommitText(std::string_view shown) {
  const std::string before(shown.substr(0, shown.find('\0')));
  ReadText(before);
  const bool empty = m_text.empty();
  if (empty) {
    if (m_radix == kDecimal) {
      m_value = 0.0;
    } else {
      m_intValue = 0;
    }
    if (m_allowEmpty) return;
  }
  ParseCurrent();
  switch (m_radix) {
    case kBinary: {
      const bool clamped = ClampIntOnCommit();
      if (!empty || clamped || m_minDigits != 0) m_text = BinaryText(m_intValue);
      break;
    }
    case kOctal:
    case kHexadecimal: {
      const bool clamped = ClampIntOnCommit();
      if (clamped || !empty)
        m_text = m_radix == kOctal ? OctalText(m_intValue) : HexText(m_intValue);
      break;
    }
    case kDecimal:
      CommitDecimal();
      break;
    default:
      break;  // the text stays as read
  }
  PadWithZeros();
  if (m_text != before) Show(m_text);
}

void NumericEdit::OnEnable(bool enabled) {
  Show(!enabled && m_hideWhenDisabled ? std::string_view() : std::string_view(m_text));
}

NumericEdit::ColourDecision NumericEdit::OnColour(bool enabled, std::string_view shown) {
  ColourDecision d;
  d.background = enabled ? Background::kWindow : Background::kButtonFace;
  if (!enabled) return d;
  ReadText(shown);
  ParseCurrent();
  bool outside = false;
  if (m_radix == kDecimal) {
    outside = m_value < m_minimum || m_value > m_maximum;
  } else if (IsIntegerKind()) {
    outside = m_intValue < m_intMinimum || m_intValue > m_intMaximum;
  } else {
    return d;
  }
  d.text = outside ? TextColour::kRed : TextColour::kBlack;
  return d;
}

void NumericEdit::SetValue(double value) {
  m_value = value;
  if (m_value < m_minimum) m_value = m_minimum;
  if (m_value > m_maximum) m_value = m_maximum;
  if (m_radix == kDecimal) FormatText();
}

void NumericEdit::SetIntValue(std::uint64_t value) {
  m_intValue = value;
  if (m_intValue < m_intMinimum) m_intValue = m_intMinimum;
  if (m_intValue > m_intMaximum) m_intValue = m_intMaximum;
  if (IsIntegerKind()) FormatText();
}

void NumericEdit::SetRange(double minimum, double maximum, bool clampOnCommit) {
  m_negativeAllowed = minimum < 0.0;
  if (minimum > maximum) minimum = maximum;
  // A value equal to a given bound lies strictly inside the stored range.
  m_minimum = stepDown(minimum);
  m_maximum = stepUp(maximum);
  m_clampOnCommit = clampOnCommit;
  SetValue(m_value);
}

void NumericEdit::SetIntRange(std::uint64_t minimum, std::uint64_t maximum, bool clampOnCommit) {
  m_intMinimum = std::min(minimum, maximum);
  m_intMaximum = maximum;
  m_clampOnCommit = clampOnCommit;
  SetIntValue(m_intValue);
}

void NumericEdit::SetDecimals(unsigned decimals) {
  m_decimals = std::min(decimals, kMaxDecimals);
  if (m_radix == kDecimal) FormatText();
}

void NumericEdit::SetMinDigits(unsigned minDigits) {
  m_minDigits = std::min(minDigits, kMaxMinDigits);
  if (IsIntegerKind() || m_radix == kDecimal) FormatText();
}

void NumericEdit::SetRadix(int radix) {
  if (radix == m_radix) return;
  m_radix = radix;
  FormatText();
}

void NumericEdit::SetHideWhenDisabled(bool hide) {
  if (hide == m_hideWhenDisabled) return;
  m_hideWhenDisabled = hide;
  const bool enabled = m_host == nullptr || m_host->IsEnabled();
  OnEnable(enabled);
}

bool NumericEdit::IsValueInRange() const {
  if (m_radix == kDecimal) return m_minimum <= m_value && m_value <= m_maximum;
  return m_intMinimum <= m_intValue && m_intValue <= m_intMaximum;
}

}  // namespace quillon
