// The numeric edit field on a wxWidgets text control. NumericEditWx attaches to a text control
// (as a dialog attaches a member object to one of its controls), tells the field model every
// event of that control and carries out the model's answers: which characters may be typed,
// when to notify the parent, the commit on focus loss, the colours.
//
// The toolkit has no colour request that a control answers at each repaint, so the colours (and
// with them the value, which the colour step parses from the shown text) are worked out again
// on every change of the text, after every text the field shows and on enabling and disabling.
//
// Text reaches a text control by more ways than the key and paste events show: GTK pastes the
// primary selection on a middle click, takes drops and input methods' texts, all without a key
// or paste event. So besides deciding typed characters and pastes beforehand, the field reviews
// every change of the text afterwards against the text it last accepted, and puts that text
// and its selection back when the change inserted what typing could not have.
#pragma once

#include <wx/event.h>
#include <wx/textctrl.h>

#include <cstdint>
#include <functional>
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

  // Called after every text set through SetValue or ChangeValue: texts that the program sets,
  // which the field's review of changes lets pass. True while such a text is being set.
  void SetTextSetHandler(std::function<void()> handler) { m_textSet = std::move(handler); }
  bool IsSettingText() const { return m_setting; }

 protected:
  void DoSetValue(const wxString& value, int flags) override;

 private:
  bool m_unfiltered = false;
  bool m_setting = false;
  std::function<void()> m_textSet;
};

class NumericEditWx final : public wxEvtHandler, private NumericEditHost {
 public:
  NumericEditWx();
  ~NumericEditWx() override;
  NumericEditWx(const NumericEditWx&) = delete;
  NumericEditWx& operator=(const NumericEditWx&) = delete;

  // Attaches to the existing text control `id` of `parent`. The control keeps its text until
  // the first setter shows a formatted one. False when there is no such text control. Only for
  // a NumericTextCtrl are the owner's own SetValue and ChangeValue told apart from input; on
  // any other control they are reviewed like input.
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

  // At most `count` characters can be typed or inserted (0: no limit); an insertion that would
  // go beyond is refused whole, never cut. Texts that the field or its owner set are not cut.
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
  void OnIdle(wxIdleEvent& event);
  void OnControlDestroyed(wxWindowDestroyEvent& event);

  void HookControl();
  void UnhookControl();
  std::string ShownText() const;
  void Selection(std::size_t* from, std::size_t* to) const;
  // Puts `text`, accepted already, in place of the characters from `from` to `to`, with the
  // caret after it.
  void InsertAccepted(const std::string& text, std::size_t from, std::size_t to);
  // The shown text and selection become the ones a refused change returns to.
  void Settle();
  // Shows the last accepted text with its selection again.
  void Restore();
  // Sets the accepted selection now and again once the toolkit has finished the operation that
  // is under way (it places the caret after its own insertion).
  void KeepSelection();
  void ApplyColours();

  wxTextCtrl* m_control = nullptr;
  NumericEdit m_model;
  unsigned m_limit = 0;
  // The text and selection that the field last accepted. Settled when the program sets a text,
  // after an accepted insertion and whenever the toolkit is idle; not after a change that only
  // removes characters, because the toolkit replaces a selection by removing it first and
  // inserting afterwards, and the whole replacement is what is reviewed and undone.
  std::string m_acceptedText;
  long m_acceptedFrom = 0;
  long m_acceptedTo = 0;
  int m_pendingSelections = 0;  // KeepSelection calls still to run: the selection is not settled
  bool m_inserting = false;     // InsertAccepted is changing the text
  // The colours last applied (NumericEdit::TextColour, NumericEdit::Background); -1: none yet.
  int m_textColour = -1;
  int m_background = -1;
};

}  // namespace quillon
