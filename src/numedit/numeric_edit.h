// The numeric edit field without its window: one number of one kind (binary, octal, decimal
// with fixed decimals, hexadecimal), its bounds and its text form, and every decision the edit
// control has to take. The control that shows the field (a thin toolkit adapter) tells the model
// each event together with what only the toolkit knows (the shown text, the selection, the
// enabled state) and carries out the answer; the model calls no toolkit.
//
// Texts are UTF-8; selection positions count characters, as the toolkit reports them. Texts have
// no length limit: the whole shown text is read (a device field never holds more than a few
// characters, but a 64-character binary text must read back as itself), and formatted texts are
// never cut (1e300 with 18 decimals is 320 characters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Code of the key notification that the control sends its parent after a key that edits the
// number (one above the Windows WM_USER; owners compare against it).
inline constexpr int NEN_KEYEDIT = 1025;

// Virtual-key codes, Windows numbering, that the key-down decision tests. Keys 0-9 are
// 0x30-0x39, A-F 0x41-0x46, the numeric keypad 0x60-0x69.
namespace vk {
inline constexpr int kBack = 0x08;
inline constexpr int kReturn = 0x0D;
inline constexpr int kInsert = 0x2D;
inline constexpr int kDelete = 0x2E;
}  // namespace vk

// The next double toward negative / positive infinity, stepped on the bit pattern. Zero steps
// across to the subnormal of the other sign closest to zero; an infinity in the direction of
// the step stays (so does the most negative finite double stepped down, which becomes -inf),
// and NaN is returned unchanged.
double stepDown(double x);
double stepUp(double x);

// What the model needs from the control that shows it.
class NumericEditHost {
 public:
  // Set the control's text. The text has passed NumericEdit::FilterSetText already.
  virtual void ShowText(const std::string& text) = 0;
  // Whether the control is enabled now (also false while its parent is disabled).
  virtual bool IsEnabled() const = 0;

 protected:
  ~NumericEditHost() = default;
};

class NumericEdit {
 public:
  // Number kinds (m_radix). Any other value is kept as given: no text is parsed or formatted
  // for it and every typed character is refused.
  static constexpr int kBinary = 2;
  static constexpr int kOctal = 8;
  static constexpr int kDecimal = 10;
  static constexpr int kHexadecimal = 16;

  static constexpr unsigned kMaxDecimals = 18;
  static constexpr unsigned kMaxMinDigits = 64;

  // Answer to a typed character. When accepted, the control inserts `ch` in place of the
  // selection (backspace: deletes as usual). `ch` differs from the typed character when the
  // field mends it (',' becomes '.', 'a'-'f' become 'A'-'F' in the hexadecimal kind); the control
  // must then insert `ch` itself instead of the typed one.
  struct CharDecision {
    bool accept = false;
    int ch = 0;
  };

  enum class TextColour { kUnset, kBlack, kRed };  // kUnset: leave it to the platform
  enum class Background { kWindow, kButtonFace };  // system colours COLOR_WINDOW / BTNFACE
  struct ColourDecision {
    TextColour text = TextColour::kUnset;
    Background background = Background::kWindow;
  };

  NumericEdit() = default;
  NumericEdit(const NumericEdit&) = delete;
  NumericEdit& operator=(const NumericEdit&) = delete;

  // Where shown texts go. Without a host nothing is shown and the control counts as enabled.
  void SetHost(NumericEditHost* host) { m_host = host; }

  // Creation: stores the arguments with their fix-ups (minimum not above maximum, value within
  // them, at most 18 decimals and 64 digits); the bounds are taken as given, not widened. Shows
  // nothing: once the window exists, OnCreate shows the formatted value.
  void Create(double value, double minimum, double maximum, unsigned decimals, unsigned minDigits);
  void OnCreate() { FormatText(); }

  // --- Events from the control ---

  // A typed character, with the text and selection before it is inserted. Enter (13) reads,
  // parses and reformats the text in place (shown through the host), no range test, and is
  // then refused.
  CharDecision OnChar(int ch, std::string_view shown, std::size_t selStart, std::size_t selEnd);
  // After the control's default processing of a key (virtual-key code): whether to send the
  // parent the key notification NEN_KEYEDIT.
  bool OnKeyDown(int virtualKey, std::string_view shown, std::size_t selStart, std::size_t selEnd);
  // Focus gain needs no model: the control selects its whole text (0 to the end) and scrolls
  // the caret into view, so that typing replaces the number.
  // Focus loss: commit the shown text. Rewrites the text only when its normal form differs.
  void CommitText(std::string_view shown);
  // The enabled state changed: shows an empty text while disabled with m_hideWhenDisabled,
  // else the last text read or formatted.
  void OnEnable(bool enabled);
  // Colours for the current text. An enabled control parses the shown text first (so the value
  // follows the text while it is typed); a disabled one keeps its value.
  ColourDecision OnColour(bool enabled, std::string_view shown);
  // The text a control really sets when the program sets it (never typed or inserted text):
  // one that contains "0x" loses its first two characters.
  static std::string FilterSetText(std::string_view text);

  // Text that enters the field other than by one typed key: a paste, a drop, an input method's
  // text. `inserted` goes in place of the selection of `shown`. White space around it is
  // dropped; every character left must be one that typing would accept at its place as the text
  // grows (control characters never are), and the text must then hold at most `limit`
  // characters (0: no limit). Returns the characters to insert, mended as typing mends them
  // (',' as '.', 'c' as 'C'), or nothing when the insertion is refused whole: a number kept in
  // part or cut to the limit would be another number.
  std::optional<std::string> FilterInsertion(std::string_view inserted, std::string_view shown,
                                             std::size_t selStart, std::size_t selEnd,
                                             std::size_t limit) const;

  // A change that the control made to its text by itself, seen only afterwards (a paste by the
  // mouse, a drop, an input method): `before` is the text the field last accepted, `after` the
  // text now. The change is read as the one replacement that turns `before` into `after`. A
  // change that only removes characters stands; an insertion stands as FilterInsertion lets it.
  struct ChangeDecision {
    bool accept = false;
    bool inserted = false;  // the change inserted characters (and may have removed some)
    std::string text;       // what the field is to show: `after` mended, or `before` if refused
    std::size_t caret = 0;  // accepted: the position right after the inserted characters
  };
  ChangeDecision ReviewChange(std::string_view before, std::string_view after,
                              std::size_t limit) const;

  // --- The owner's operations ---

  void SetValue(double value);
  void SetIntValue(std::uint64_t value);
  void SetRange(double minimum, double maximum, bool clampOnCommit);
  void SetIntRange(std::uint64_t minimum, std::uint64_t maximum, bool clampOnCommit);
  void SetDecimals(unsigned decimals);
  void SetMinDigits(unsigned minDigits);
  void SetRadix(int radix);
  void SetAllowEmpty(bool allowEmpty) { m_allowEmpty = allowEmpty; }
  void SetHideWhenDisabled(bool hide);

  double GetValue() const { return m_value; }
  std::uint64_t GetIntValue() const { return m_intValue; }
  bool IsValueInRange() const;

  // The two text rules. ParseText reads `text` into m_text and the value of the current kind;
  // FormatText writes the value into m_text, fills leading zeros up to m_minDigits and shows it.
  void ParseText(std::string_view text);
  void FormatText();

  // State, for the adapter and the tests.
  const std::string& text() const { return m_text; }
  double minimum() const { return m_minimum; }
  double maximum() const { return m_maximum; }
  std::uint64_t intMinimum() const { return m_intMinimum; }
  std::uint64_t intMaximum() const { return m_intMaximum; }
  unsigned decimals() const { return m_decimals; }
  unsigned minDigits() const { return m_minDigits; }
  int radix() const { return m_radix; }
  bool negativeAllowed() const { return m_negativeAllowed; }
  bool clampOnCommit() const { return m_clampOnCommit; }
  bool allowEmpty() const { return m_allowEmpty; }
  bool hideWhenDisabled() const { return m_hideWhenDisabled; }

 private:
  bool IsIntegerKind() const;
  void ReadText(std::string_view shown);
  void ParseCurrent();
  std::string KindText() const;
  void PadWithZeros();
  bool ClampIntOnCommit();
  void CommitDecimal();
  CharDecision Decide(int ch, std::string_view text, std::size_t selStart,
                      std::size_t selEnd) const;
  void Show(std::string_view text);

  NumericEditHost* m_host = nullptr;

  bool m_allowEmpty = false;
  bool m_hideWhenDisabled = false;
  bool m_clampOnCommit = false;
  std::string m_text;  // working copy of the shown text
  bool m_negativeAllowed = false;
  double m_minimum = 0.0;
  double m_maximum = 1000.0;
  double m_value = 500.0;
  unsigned m_decimals = 2;
  unsigned m_minDigits = 1;
  std::uint64_t m_intMinimum = 0;
  std::uint64_t m_intMaximum = UINT64_MAX;
  std::uint64_t m_intValue = 0;
  int m_radix = kDecimal;
};

}  // namespace quillon
