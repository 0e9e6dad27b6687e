// Drives the real dialog from inside its modal loop: message boxes are recorded and answered
// with OK instead of being shown, and a test script runs once the main dialog is on screen.
#pragma once

#include <wx/modalhook.h>

#include <functional>
#include <string>
#include <vector>

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
  Script script_;
};

}  // namespace quillon::testing
