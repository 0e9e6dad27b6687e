#include "numedit/numeric_edit_wx.h"

#include <wx/clipbrd.h>
#include <wx/settings.h>
#include <wx/window.h>

namespace quillon {
namespace {

// Virtual-key codes of the cursor keys and of the numeric keypad's digits.
constexpr int kVkEnd = 0x23;
constexpr int kVkHome = 0x24;
constexpr int kVkLeft = 0x25;
constexpr int kVkUp = 0x26;
constexpr int kVkRight = 0x27;
constexpr int kVkDown = 0x28;
constexpr int kVkNumpad0 = 0x60;

}  // namespace

wxDEFINE_EVENT(kEvtNumericEditNotify, wxCommandEvent);

int VirtualKeyFromWx(int key) {
  if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z')) return key;
  if (key >= 'a' && key <= 'z') return key - ('a' - 'A');  // key codes of letters are upper case
  if (key >= WXK_NUMPAD0 && key <= WXK_NUMPAD9) return kVkNumpad0 + (key - WXK_NUMPAD0);
  switch (key) {
    case WXK_BACK:
      return vk::kBack;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      return vk::kReturn;
    case WXK_DELETE:
    case WXK_NUMPAD_DELETE:
      return vk::kDelete;
    case WXK_INSERT:
    case WXK_NUMPAD_INSERT:
      return vk::kInsert;
    case WXK_END:
      return kVkEnd;
    case WXK_HOME:
      return kVkHome;
    case WXK_LEFT:
      return kVkLeft;
    case WXK_UP:
      return kVkUp;
    case WXK_RIGHT:
      return kVkRight;
    case WXK_DOWN:
      return kVkDown;
    default:
      return 0;
  }
}

NumericTextCtrl::NumericTextCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                                 const wxSize& size, long style)
    : wxTextCtrl(parent, id, wxEmptyString, pos, size, style) {}

void NumericTextCtrl::ChangeValueUnfiltered(const wxString& value) {
  m_unfiltered = true;
  ChangeValue(value);
  m_unfiltered = false;
}

void NumericTextCtrl::DoSetValue(const wxString& value, int flags) {
  m_setting = true;
  if (m_unfiltered) {
    wxTextCtrl::DoSetValue(value, flags);
  } else {
    wxTextCtrl::DoSetValue(wxString::FromUTF8(NumericEdit::FilterSetText(value.utf8_string())),
                           flags);
  }
  m_setting = false;
  if (m_textSet) m_textSet();
}

NumericEditWx::NumericEditWx() = default;

NumericEditWx::~NumericEditWx() {
  if (m_control != nullptr) UnhookControl();
  m_model.SetHost(nullptr);
}

bool NumericEditWx::Attach(wxWindow* parent, int id) {
  if (parent == nullptr) return false;
  return Attach(dynamic_cast<wxTextCtrl*>(parent->FindWindow(id)));
}

bool NumericEditWx::Attach(wxTextCtrl* control) {
  if (control == nullptr || m_control != nullptr) return false;
  m_control = control;
  m_model.SetHost(this);
  // Idle time is when the accepted text settles; an application may send idle events only to
  // the windows that ask for them.
  m_control->SetExtraStyle(m_control->GetExtraStyle() | wxWS_EX_PROCESS_IDLE);
  HookControl();
  Settle();
  // The colours of the text the control has, once the owner is done setting it up (on Windows,
  // at the first repaint).
  CallAfter([this] { ApplyColours(); });
  return true;
}

bool NumericEditWx::Create(long style, double value, double minimum, double maximum,
                           unsigned decimals, unsigned minDigits, const wxRect& rect,
                           wxWindow* parent, wxWindowID id) {
  if (m_control != nullptr || parent == nullptr) return false;
  m_model.Create(value, minimum, maximum, decimals, minDigits);
  auto* control =
      new NumericTextCtrl(parent, id, rect.GetPosition(), rect.GetSize(), style | wxTE_RIGHT);
  Attach(control);
  m_model.OnCreate();
  ApplyColours();
  return true;
}

void NumericEditWx::HookControl() {
  m_control->Bind(wxEVT_CHAR, &NumericEditWx::OnChar, this);
  m_control->Bind(wxEVT_KEY_DOWN, &NumericEditWx::OnKeyDown, this);
  m_control->Bind(wxEVT_SET_FOCUS, &NumericEditWx::OnSetFocus, this);
  m_control->Bind(wxEVT_KILL_FOCUS, &NumericEditWx::OnKillFocus, this);
  m_control->Bind(wxEVT_TEXT, &NumericEditWx::OnText, this);
  m_control->Bind(wxEVT_TEXT_PASTE, &NumericEditWx::OnPaste, this);
  m_control->Bind(wxEVT_IDLE, &NumericEditWx::OnIdle, this);
  m_control->Bind(wxEVT_DESTROY, &NumericEditWx::OnControlDestroyed, this);
  if (auto* own = dynamic_cast<NumericTextCtrl*>(m_control)) {
    own->SetTextSetHandler([this] { Settle(); });
  }
}

void NumericEditWx::UnhookControl() {
  m_control->Unbind(wxEVT_CHAR, &NumericEditWx::OnChar, this);
  m_control->Unbind(wxEVT_KEY_DOWN, &NumericEditWx::OnKeyDown, this);
  m_control->Unbind(wxEVT_SET_FOCUS, &NumericEditWx::OnSetFocus, this);
  m_control->Unbind(wxEVT_KILL_FOCUS, &NumericEditWx::OnKillFocus, this);
  m_control->Unbind(wxEVT_TEXT, &NumericEditWx::OnText, this);
  m_control->Unbind(wxEVT_TEXT_PASTE, &NumericEditWx::OnPaste, this);
  m_control->Unbind(wxEVT_IDLE, &NumericEditWx::OnIdle, this);
  m_control->Unbind(wxEVT_DESTROY, &NumericEditWx::OnControlDestroyed, this);
  if (auto* own = dynamic_cast<NumericTextCtrl*>(m_control)) own->SetTextSetHandler({});
}

void NumericEditWx::SetValue(double value) {
  m_model.SetValue(value);
  ApplyColours();
}

void NumericEditWx::SetIntValue(std::uint64_t value) {
  m_model.SetIntValue(value);
  ApplyColours();
}

void NumericEditWx::SetRange(double minimum, double maximum, bool clampOnCommit) {
  m_model.SetRange(minimum, maximum, clampOnCommit);
  ApplyColours();
}

void NumericEditWx::SetIntRange(std::uint64_t minimum, std::uint64_t maximum, bool clampOnCommit) {
  m_model.SetIntRange(minimum, maximum, clampOnCommit);
  ApplyColours();
}

void NumericEditWx::SetDecimals(unsigned decimals) {
  m_model.SetDecimals(decimals);
  ApplyColours();
}

void NumericEditWx::SetMinDigits(unsigned minDigits) {
  m_model.SetMinDigits(minDigits);
  ApplyColours();
}

void NumericEditWx::SetRadix(int radix) {
  m_model.SetRadix(radix);
  ApplyColours();
}

void NumericEditWx::SetAllowEmpty(bool allowEmpty) {
  m_model.SetAllowEmpty(allowEmpty);
}

void NumericEditWx::SetHideWhenDisabled(bool hide) {
  m_model.SetHideWhenDisabled(hide);
  ApplyColours();
}

// The field keeps the limit itself rather than the control: GTK would cut a pasted text to
// fit, and wxGTK refuses an insertion that does not fit only after GTK has removed the
// selection it was to replace.
void NumericEditWx::LimitText(unsigned count) {
  m_limit = count;
}

void NumericEditWx::Enable(bool enable) {
  if (m_control == nullptr) return;
  // As the enable message on Windows: only a change of state counts.
  if (!m_control->Enable(enable)) return;
  m_model.OnEnable(enable);
  ApplyColours();
}

void NumericEditWx::SetWindowText(const wxString& text) {
  ShowText(NumericEdit::FilterSetText(text.utf8_string()));
  ApplyColours();
}

void NumericEditWx::UpdateFromText() {
  ApplyColours();
}

void NumericEditWx::ShowText(const std::string& text) {
  if (m_control == nullptr) return;
  // The text has passed the filter already; the control must not apply it a second time.
  const wxString value = wxString::FromUTF8(text);
  if (auto* own = dynamic_cast<NumericTextCtrl*>(m_control)) {
    own->ChangeValueUnfiltered(value);
  } else {
    m_control->ChangeValue(value);
  }
  Settle();
}

bool NumericEditWx::IsEnabled() const {
  return m_control == nullptr || m_control->IsEnabled();
}

std::string NumericEditWx::ShownText() const {
  return m_control->GetValue().utf8_string();
}

void NumericEditWx::Selection(std::size_t* from, std::size_t* to) const {
  long f = 0;
  long t = 0;
  m_control->GetSelection(&f, &t);
  *from = f > 0 ? static_cast<std::size_t>(f) : 0;
  *to = t > f ? static_cast<std::size_t>(t) : *from;
}

void NumericEditWx::OnChar(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  if (key == WXK_RETURN || key == WXK_NUMPAD_ENTER) {
    // In a dialog Enter presses the default button; only a control that asks for the key
    // (wxTE_PROCESS_ENTER) has the field reformat its text.
    if (!m_control->HasFlag(wxTE_PROCESS_ENTER)) {
      event.Skip();
      return;
    }
    std::size_t from = 0;
    std::size_t to = 0;
    Selection(&from, &to);
    m_model.OnChar(vk::kReturn, ShownText(), from, to);
    ApplyColours();
    return;
  }
  const int ch = static_cast<int>(event.GetUnicodeKey());
  // Keys that type no character (cursor keys, Delete, Tab, Escape) and keyboard shortcuts (copy,
  // cut, paste, select all, undo) are the control's and the dialog's own. With Alt as well,
  // Control is AltGr on Windows, which types characters.
  const bool shortcut = event.ControlDown() && !event.AltDown();
  if (ch == WXK_NONE || key == WXK_TAB || key == WXK_ESCAPE || key == WXK_DELETE || shortcut) {
    event.Skip();
    return;
  }
  std::size_t from = 0;
  std::size_t to = 0;
  Selection(&from, &to);
  const NumericEdit::CharDecision decision = m_model.OnChar(ch, ShownText(), from, to);
  if (!decision.accept) return;  // dropped silently
  if (decision.ch != WXK_BACK && m_limit != 0 &&
      m_control->GetValue().length() - (to - from) + 1 > m_limit) {
    return;  // the field is full
  }
  if (decision.ch == ch) {
    event.Skip();  // the control inserts it
    return;
  }
  // A mended character (',' as '.', 'c' as 'C'): insert it in place of the typed one.
  InsertAccepted(std::string(1, static_cast<char>(decision.ch)), from, to);
}

void NumericEditWx::OnKeyDown(wxKeyEvent& event) {
  event.Skip();  // the control's own processing of the key comes first
  const int virtualKey = VirtualKeyFromWx(event.GetKeyCode());
  if (virtualKey == 0) return;
  CallAfter([this, virtualKey] {
    if (m_control == nullptr) return;
    std::size_t from = 0;
    std::size_t to = 0;
    Selection(&from, &to);
    if (!m_model.OnKeyDown(virtualKey, ShownText(), from, to)) return;
    wxWindow* parent = m_control->GetParent();
    if (parent == nullptr) return;
    wxCommandEvent notify(kEvtNumericEditNotify, m_control->GetId());
    notify.SetEventObject(m_control);
    notify.SetInt(NEN_KEYEDIT);
    parent->GetEventHandler()->ProcessEvent(notify);
  });
}

void NumericEditWx::OnSetFocus(wxFocusEvent& event) {
  event.Skip();
  // Typing then replaces the whole number. (The control keeps its caret in view by itself.)
  m_control->SelectAll();
}

void NumericEditWx::OnKillFocus(wxFocusEvent& event) {
  event.Skip();
  if (m_control->IsBeingDeleted()) return;
  m_model.CommitText(ShownText());
  ApplyColours();
}

void NumericEditWx::OnText(wxCommandEvent& event) {
  const auto* own = dynamic_cast<NumericTextCtrl*>(m_control);
  if (m_inserting || (own != nullptr && own->IsSettingText())) {
    event.Skip();  // accepted already, or a text the program sets
    ApplyColours();
    return;
  }
  const std::string shown = ShownText();
  const NumericEdit::ChangeDecision decision = m_model.ReviewChange(m_acceptedText, shown, m_limit);
  if (!decision.accept) {
    // Not skipped: for the owner nothing has changed.
    Restore();
    ApplyColours();
    return;
  }
  event.Skip();
  if (decision.text != shown) {
    // The insertion as typing would have made it: without the white space around it, with
    // mended characters.
    ShowText(decision.text);
    m_acceptedFrom = m_acceptedTo = static_cast<long>(decision.caret);
    KeepSelection();
  } else if (decision.inserted) {
    // A change that only removed characters does not settle; see m_acceptedText.
    m_acceptedText = shown;
    m_acceptedFrom = m_acceptedTo = static_cast<long>(decision.caret);
  }
  ApplyColours();
}

void NumericEditWx::OnPaste(wxClipboardTextEvent& /*event*/) {
  // Not skipped: the field inserts what it accepts itself, all of it or nothing, and never
  // through the text-replacement filter (that is for the program's own texts).
  wxString text;
  const bool primary = wxTheClipboard->IsUsingPrimarySelection();
  wxTheClipboard->UsePrimarySelection(false);  // Ctrl+V and Shift+Insert paste the clipboard
  if (wxTheClipboard->Open()) {
    wxTextDataObject data;
    if (wxTheClipboard->IsSupported(wxDF_UNICODETEXT) && wxTheClipboard->GetData(data)) {
      text = data.GetText();
    }
    wxTheClipboard->Close();
  }
  wxTheClipboard->UsePrimarySelection(primary);
  std::size_t from = 0;
  std::size_t to = 0;
  Selection(&from, &to);
  const std::optional<std::string> accepted =
      m_model.FilterInsertion(text.utf8_string(), ShownText(), from, to, m_limit);
  if (accepted) InsertAccepted(*accepted, from, to);
}

void NumericEditWx::OnIdle(wxIdleEvent& event) {
  event.Skip();
  if (m_control != nullptr && m_pendingSelections == 0) Settle();
}

void NumericEditWx::OnControlDestroyed(wxWindowDestroyEvent& event) {
  event.Skip();
  if (event.GetEventObject() != m_control) return;
  m_control = nullptr;
  m_model.SetHost(nullptr);
}

void NumericEditWx::InsertAccepted(const std::string& text, std::size_t from, std::size_t to) {
  // One text event for the owner, as for a paste the control makes itself.
  const wxString value = wxString::FromUTF8(text);
  m_inserting = true;
  m_control->Replace(static_cast<long>(from), static_cast<long>(to), value);
  m_inserting = false;
  m_control->SetInsertionPoint(static_cast<long>(from + value.length()));
  Settle();
  ApplyColours();
}

void NumericEditWx::Settle() {
  if (m_control == nullptr) return;
  m_acceptedText = ShownText();
  m_control->GetSelection(&m_acceptedFrom, &m_acceptedTo);
}

void NumericEditWx::Restore() {
  const std::string text = m_acceptedText;
  const long from = m_acceptedFrom;
  const long to = m_acceptedTo;
  ShowText(text);
  m_acceptedFrom = from;
  m_acceptedTo = to;
  KeepSelection();
}

void NumericEditWx::KeepSelection() {
  m_control->SetSelection(m_acceptedFrom, m_acceptedTo);
  ++m_pendingSelections;
  CallAfter([this] {
    --m_pendingSelections;
    if (m_control != nullptr) m_control->SetSelection(m_acceptedFrom, m_acceptedTo);
  });
}

void NumericEditWx::ApplyColours() {
  if (m_control == nullptr) return;
  const NumericEdit::ColourDecision d = m_model.OnColour(m_control->IsEnabled(), ShownText());
  bool changed = false;
  if (static_cast<int>(d.text) != m_textColour) {
    m_textColour = static_cast<int>(d.text);
    switch (d.text) {
      case NumericEdit::TextColour::kRed:
        m_control->SetForegroundColour(wxColour(255, 0, 0));
        break;
      case NumericEdit::TextColour::kBlack:
        m_control->SetForegroundColour(wxColour(0, 0, 0));
        break;
      case NumericEdit::TextColour::kUnset:
        m_control->SetForegroundColour(wxNullColour);  // the platform's
        break;
    }
    changed = true;
  }
  if (static_cast<int>(d.background) != m_background) {
    m_background = static_cast<int>(d.background);
    m_control->SetBackgroundColour(wxSystemSettings::GetColour(
        d.background == NumericEdit::Background::kWindow ? wxSYS_COLOUR_WINDOW
                                                         : wxSYS_COLOUR_BTNFACE));
    changed = true;
  }
  if (changed) m_control->Refresh();
}

}  // namespace quillon
