// Drives the real dialog from inside its modal loop: message boxes are recorded and answered
// with OK instead of being shown, and a test script runs once the main dialog is on screen.
#pragma once

#include <wx/event.h>
#include <wx/modalhook.h>

#include <functional>
#include <string>
#include <vector>

class wxButton;
class wxDialog;
class wxTextCtrl;
class wxWindow;

namespace quillon {
class MainDialog;
}

namespace quillon::testing {

struct ShownBox {
  std::string text;
  std::string caption;
  long style = 0;
  const wxWindow* parent = nullptr;
  bool busyCursor = false;  // whether the wait cursor was up while it showed
};

class ModalDriver final : public wxModalDialogHook {
 public:
  using Script = std::function<void(MainDialog&)>;

  // Registers the hook; the destructor removes it.
  explicit ModalDriver(Script script = {});
  ~ModalDriver() override;
  ModalDriver(const ModalDriver&) = delete;
  ModalDriver& operator=(const ModalDriver&) = delete;

  std::vector<ShownBox> boxes;
  int dialogsShown = 0;         // main dialogs that were shown
  int dialogResult = 0;         // the end code of the last one
  bool closedByDriver = false;  // the script left the dialog open and the driver ended it

  // The end code with which the driver ends a dialog that the script left open.
  static constexpr int kLeftOpen = 0x7FFF;

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog* dialog) override;

 private:
  void RunScript(MainDialog& dialog);
  Script m_script;
};

// Counts the keys that reach the dialog (modifiers aside). The toolkit handles a key completely
// (the field's filter, the control's insertion, the default button) before it looks at the
// next event, so once the count is reached, every key before has had its effect.
class KeyCounter {
 public:
  explicit KeyCounter(wxWindow& dialog);
  ~KeyCounter();
  KeyCounter(const KeyCounter&) = delete;
  KeyCounter& operator=(const KeyCounter&) = delete;

  // Presses each character of `text` and waits until all have been handled.
  bool Type(const std::string& text);
  bool Press(int key);

 private:
  bool WaitFor(int target);
  void OnKey(wxKeyEvent& event);

  wxWindow& m_dialog;
  int m_count = 0;
};

// Whether the dialog has been ended. On Windows it stays modal until its loop, which runs the
// script, has returned; it is hidden at once.
bool DialogEnded(const wxDialog& dialog);

// The dialog's controls and the field's shown text.
wxButton* StartButton(MainDialog& dialog);
wxTextCtrl* Field(MainDialog& dialog);
std::string Text(MainDialog& dialog);

// Tab from "Start" to the field; gaining the focus selects its whole text.
bool TabIntoField(MainDialog& dialog, KeyCounter& keys);

// Runs the tool as the program does, with these options after the program name.
int RunDialog(const std::vector<std::string>& options);

// A text typed into the field in place of its whole text, and what the field then shows.
struct TypedText {
  const char* typed;
  const char* shown;
};
// Opens the dialog without device traffic, tabs into the field, types each text and checks what
// the field shows, then presses Escape. Returns the dialog's end code.
int TypeIntoTheField(const std::vector<TypedText>& cases);

}  // namespace quillon::testing
