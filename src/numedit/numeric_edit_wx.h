// The numeric edit field on a wxWidgets text control. NumericEditWx attaches to a text control
// (as a dialog attaches a member object to one of its controls), tells the field model every
// event of that control and carries out the model's answers: which characters may be typed,
// when to notify the parent, the commit on focus loss, the colours.
//
// The toolkit has no colour request that a control answers at each repaint, so the colours (and
// with them the value, which the colour step parses from the shown text) are worked out again
// on every change of the text, after every text the field shows and on enabling and disabling.
#pragma once

#include <wx/event.h>
#include <wx/textctrl.h>

#include <cstdint>
#include <string>

#include "numedit/numeric_edit.h"

namespace quillon {

// Sent to the parent after a key that edits the number: GetInt() is NEN_KEYEDIT, GetId() the
// control's id, the event object the control.
wxDECLARE_EVENT(kEvtNumericEditNotify, wxCommandEvent);

// The key's virtual-key code (Windows numbering) for a toolkit key code; 0 for keys without one
// that the field cares about.
int VirtualKeyFromWx(int wxKeyCode);

// A text control whose text, however it is set (SetValue, ChangeValue), passes the field's
// text-replacement filter. The field's own controls are of this class.
class NumericTextCtrl : public wxTextCtrl {
 public:
  NumericTextCtrl() = default;
  NumericTextCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                  long style = 0);

  // Sets a text that has passed the filter already.
  void ChangeValueUnfiltered(const wxString& value);

 protected:
  void DoSetValue(const wxString& value, int flags) override;

 private:
  bool m_unfiltered = false;
};

class NumericEditWx final : public wxEvtHandler, private NumericEditHost {
 public:
  NumericEditWx();
  ~NumericEditWx() override;
  NumericEditWx(const NumericEditWx&) = delete;
  NumericEditWx& operator=(const NumericEditWx&) = delete;

  // Attaches to the existing text control `id` of `parent`. The control keeps its text until
  // the first setter shows a formatted one. False when there is no such text control.
  bool Attach(wxWindow* parent, int id);
  bool Attach(wxTextCtrl* control);

  // Makes a new right-aligned control with the given value, bounds, decimals and minimum digits
  // (the bounds as given, not widened) and shows the formatted value.
  bool Create(long style, double value, double minimum, double maximum, unsigned decimals,
              unsigned minDigits, const wxRect& rect, wxWindow* parent, wxWindowID id);

  wxTextCtrl* control() const { return m_control; }
  const NumericEdit& model() const { return m_model; }

  // The owner's operations.
  void SetValue(double value);
  void SetIntValue(std::uint64_t value);
  void SetRange(double minimum, double maximum, bool clampOnCommit);
  void SetIntRange(std::uint64_t minimum, std::uint64_t maximum, bool clampOnCommit);
  void SetDecimals(unsigned decimals);
  void SetMinDigits(unsigned minDigits);
  void SetRadix(int radix);
  void SetAllowEmpty(bool allowEmpty);
  void SetHideWhenDisabled(bool hide);
  double GetValue() const { return m_model.GetValue(); }
  std::uint64_t GetIntValue() const { return m_model.GetIntValue(); }
  bool IsValueInRange() const { return m_model.IsValueInRange(); }

  // At most `count` characters can be typed or pasted (0: no limit). Texts that the field or
  // its owner set are not cut.
  void LimitText(unsigned count);
  // Enables or disables the control; a disabled field may hide its text.
  void Enable(bool enable);
  // Sets the shown text as the owner would, through the text-replacement filter.
  void SetWindowText(const wxString& text);
  // Lets the value follow the shown text now (what a repaint does on Windows). The owner calls
  // it before reading the value while the field may still have the focus.
  void UpdateFromText();

 private:
  // NumericEditHost.
  void ShowText(const std::string& text) override;
  bool IsEnabled() const override;

  void OnChar(wxKeyEvent& event);
  void OnKeyDown(wxKeyEvent& event);
  void OnSetFocus(wxFocusEvent& event);
  void OnKillFocus(wxFocusEvent& event);
  void OnText(wxCommandEvent& event);
  void OnPaste(wxClipboardTextEvent& event);
  void OnControlDestroyed(wxWindowDestroyEvent& event);

  void HookControl();
  void UnhookControl();
  std::string ShownText() const;
  void Selection(std::size_t* from, std::size_t* to) const;
  // Puts `text` in place of the selection as typing would, character by character through the
  // field's filter, within the limit.
  void InsertTyped(const wxString& text);
  void ApplyColours();

  wxTextCtrl* m_control = nullptr;
  NumericEdit m_model;
  unsigned m_limit = 0;
  // The colours last applied (NumericEdit::TextColour, NumericEdit::Background); -1: none yet.
  int m_textColour = -1;
  int m_background = -1;
};

}  // namespace quillon
