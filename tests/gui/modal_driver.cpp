#include "gui/modal_driver.h"

#include <wx/msgdlg.h>
#include <wx/utils.h>

#include "app/gui/main_dialog.h"
#include "gui/gui_environment.h"

namespace quillon::testing {

ModalDriver::ModalDriver(Script script) : script_(std::move(script)) {
  Register();
}

ModalDriver::~ModalDriver() {
  Unregister();
}

int ModalDriver::Enter(wxDialog* dialog) {
  if (auto* box = dynamic_cast<wxMessageDialog*>(dialog)) {
    boxes.push_back({std::string(box->GetMessage().utf8_str()),
                     std::string(box->GetCaption().utf8_str()), box->GetMessageDialogStyle(),
                     box->GetParent(), wxIsBusy()});
    return wxID_OK;  // as if the user had pressed OK
  }
  if (auto* main = dynamic_cast<MainDialog*>(dialog)) {
    ++dialogsShown;
    main->CallAfter([this, main] { RunScript(*main); });
  }
  return wxID_NONE;  // show it
}

void ModalDriver::Exit(wxDialog* dialog) {
  if (dynamic_cast<MainDialog*>(dialog) != nullptr) dialogResult = dialog->GetReturnCode();
}

void ModalDriver::RunScript(MainDialog& dialog) {
  // Focus events of the dialog's activation come late; let them pass first.
  PumpUntil([&dialog] { return dialog.IsShownOnScreen() && dialog.IsActive(); }, 5000);
  PumpFor(20);
  if (script_) script_(dialog);
  if (dialog.IsModal()) {
    closedByDriver = true;
    dialog.EndModal(kLeftOpen);
  }
}

}  // namespace quillon::testing
