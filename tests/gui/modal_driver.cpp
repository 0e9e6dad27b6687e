#include "gui/modal_driver.h"

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include "app/gui/main_dialog.h"
#include "app/gui/service_tool_app.h"
#include "gui/gui_environment.h"

namespace quillon::testing {

ModalDriver::ModalDriver(Script script) : m_script(std::move(script)) {
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
  if (m_script) m_script(dialog);
  if (!DialogEnded(dialog)) {
    closedByDriver = true;
    dialog.EndModal(kLeftOpen);
  }
}

KeyCounter::KeyCounter(wxWindow& dialog) : m_dialog(dialog) {
  m_dialog.Bind(wxEVT_CHAR_HOOK, &KeyCounter::OnKey, this);
}

KeyCounter::~KeyCounter() {
  m_dialog.Unbind(wxEVT_CHAR_HOOK, &KeyCounter::OnKey, this);
}

bool KeyCounter::Type(const std::string& text) {
  const int target = m_count + static_cast<int>(text.size());
  wxUIActionSimulator().Text(text.c_str());
  return WaitFor(target);
}

bool KeyCounter::Press(int key) {
  const int target = m_count + 1;
  wxUIActionSimulator().Char(key);
  return WaitFor(target);
}

bool KeyCounter::WaitFor(int target) {
  return PumpUntil([this, target] { return m_count >= target; }, 5000);
}

void KeyCounter::OnKey(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  if (key != WXK_SHIFT && key != WXK_CONTROL && key != WXK_ALT) ++m_count;
  event.Skip();
}

bool DialogEnded(const wxDialog& dialog) {
  return !dialog.IsModal() || !dialog.IsShown();
}

wxButton* StartButton(MainDialog& dialog) {
  return dynamic_cast<wxButton*>(dialog.FindWindow(wxID_OK));
}

wxTextCtrl* Field(MainDialog& dialog) {
  return dialog.serialField().control();
}

std::string Text(MainDialog& dialog) {
  return Field(dialog)->GetValue().utf8_string();
}

bool TabIntoField(MainDialog& dialog, KeyCounter& keys) {
  return FocusAndWait(StartButton(dialog)) && keys.Press(WXK_TAB) &&
         wxWindow::FindFocus() == Field(dialog);
}

int RunDialog(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"quillon-reconfigurator"};
  args.insert(args.end(), options.begin(), options.end());
  return RunServiceTool(args, SystemHooks());
}

int TypeIntoTheField(const std::vector<TypedText>& cases) {
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    for (const TypedText& c : cases) {
      SCOPED_TRACE(c.typed);
      Field(dialog)->SelectAll();
      ASSERT_TRUE(keys.Type(c.typed));
      EXPECT_EQ(Text(dialog), c.shown);
    }
    keys.Press(WXK_ESCAPE);
  });
  RunDialog({"--no-serial", "--no-udp"});
  return driver.dialogResult;
}

}  // namespace quillon::testing
