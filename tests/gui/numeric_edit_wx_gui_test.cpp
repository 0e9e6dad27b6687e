// The numeric field on a real text control under Xvfb: what the control does with the model's
// answers (paste, mended characters, Enter, the key notification, colours, disabling), in
// configurations other than the main dialog's; and every way a text can be put into the main
// dialog's serial-number field: the clipboard, the primary selection, a drop.

#include <gtest/gtest.h>
#include <wx/clipbrd.h>
#include <wx/dialog.h>
#include <wx/settings.h>
#include <wx/uiaction.h>

#include <memory>
#include <string>
#include <vector>

#include "app/gui/main_dialog.h"
#include "app/gui/service_tool_app.h"
#include "gui/gui_environment.h"
#include "gui/modal_driver.h"
#include "numedit/numeric_edit_wx.h"

namespace quillon {
namespace {

using testing::FocusAndWait;
using testing::ModalDriver;
using testing::PumpUntil;

constexpr int kFieldId = 1000;

class NumericEditWxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILLON_REQUIRE_GUI();
    m_window =
        new wxDialog(nullptr, wxID_ANY, "numeric field", wxDefaultPosition, wxSize(300, 120));
    m_window->Bind(kEvtNumericEditNotify, [this](wxCommandEvent& event) {
      m_notifications.push_back({event.GetId(), event.GetInt()});
    });
    m_window->Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
      const int key = event.GetKeyCode();
      if (key != WXK_SHIFT && key != WXK_CONTROL && key != WXK_ALT) ++m_keys;
      event.Skip();
    });
  }

  void TearDown() override {
    if (m_window == nullptr) return;
    delete m_window;  // the field's control goes with it; the field object outlives it
    m_window = nullptr;
  }

  // The field made with Create (defaults of a new field unless given), shown and focused.
  void Make(long style = 0, double value = 500.0, double minimum = 0.0, double maximum = 1000.0,
            unsigned decimals = 2) {
    ASSERT_TRUE(m_field.Create(style, value, minimum, maximum, decimals, 1, wxRect(10, 10, 150, 30),
                               m_window, kFieldId));
    m_window->Show();
    m_window->Raise();  // without a window manager, this is what activates it
    // Focus events of the window's activation come late; let them pass first.
    ASSERT_TRUE(
        PumpUntil([this] { return m_window->IsShownOnScreen() && m_window->IsActive(); }, 5000));
    ASSERT_TRUE(FocusAndWait(control()));
    // Bound after the field's own handler, so called before it, also for what it refuses.
    control()->Bind(wxEVT_TEXT_PASTE, [this](wxClipboardTextEvent& event) {
      ++m_pastes;
      event.Skip();
    });
  }

  wxTextCtrl* control() { return m_field.control(); }
  std::string Text() { return control()->GetValue().utf8_string(); }

  bool Type(const std::string& text) {
    const int target = m_keys + static_cast<int>(text.size());
    wxUIActionSimulator().Text(text.c_str());
    return PumpUntil([this, target] { return m_keys >= target; }, 5000);
  }
  bool Press(int key) {
    const int target = m_keys + 1;
    wxUIActionSimulator().Char(key);
    // The key notification is sent once the key has had its effect.
    return PumpUntil([this, target] { return m_keys >= target; }, 5000) &&
           (testing::PumpFor(20), true);
  }

  static void SetClipboard(const wxString& text) {
    ASSERT_TRUE(wxTheClipboard->Open());
    wxTheClipboard->SetData(new wxTextDataObject(text));
    wxTheClipboard->Close();
  }

  wxDialog* m_window = nullptr;
  NumericEditWx m_field;
  std::vector<std::pair<int, int>> m_notifications;  // id, code
  int m_keys = 0;
  int m_pastes = 0;
};

// A paste is taken whole, as typing would take it, or not at all: never through the
// text-replacement filter, never in part, never cut to the length limit. A refused paste leaves
// the text and the selection as they were.
TEST_F(NumericEditWxTest, APasteIsTakenWholeOrNotAtAll) {
  struct Case {
    int radix;
    const char* before;
    long selFrom, selTo;
    const wxString pasted;
    const char* after;
  };
  const Case cases[] = {
      {10, "0", 0, 1, "0x1234", "0"},
      {10, "0", 0, 1, "12ab3", "0"},
      {10, "0", 0, 1, "123456789", "0"},
      {10, "0", 0, 1, "\t42\r\n", "42"},
      {10, "12", 1, 1, "99", "1992"},
      {10, "12", 0, 2, "-3.5", "12"},
      {10, "0", 0, 1, wxString(L"\u00b2\u0663 7"), "0"},
      {10, "0", 0, 1, wxString(200000, '8'), "0"},
      {16, "0", 0, 1, "0x1f", "0"},
      {16, "0", 0, 1, "A0x", "0"},
      {16, "0", 0, 1, "c0fe", "C0FE"},
  };
  ASSERT_NO_FATAL_FAILURE(Make(0, 0.0, 0.0, 40000.0, 0));
  m_field.LimitText(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pasted.utf8_string().substr(0, 20));
    m_field.SetRadix(c.radix);
    control()->ChangeValue(c.before);
    control()->SetSelection(c.selFrom, c.selTo);
    SetClipboard(c.pasted);
    const int pastes = m_pastes;
    control()->Paste();
    ASSERT_TRUE(PumpUntil([&] { return m_pastes > pastes; }, 2000)) << "no paste reached the field";
    // And whatever the field queued while handling it has run: a marker queued behind it.
    bool handled = false;
    control()->CallAfter([&handled] { handled = true; });
    ASSERT_TRUE(PumpUntil([&handled] { return handled; }, 2000));
    EXPECT_EQ(Text(), c.after);
    if (std::string(c.after) == c.before) {
      long from = -1;
      long to = -1;
      control()->GetSelection(&from, &to);
      EXPECT_EQ(from, c.selFrom);
      EXPECT_EQ(to, c.selTo);
    }
  }
}

TEST_F(NumericEditWxTest, EveryTextSetOnTheControlPassesTheReplacementFilter) {
  ASSERT_NO_FATAL_FAILURE(Make());  // a new field's defaults
  EXPECT_EQ(Text(), "500.00");
  EXPECT_EQ(control()->GetForegroundColour(), wxColour(0, 0, 0));
  EXPECT_TRUE(control()->HasFlag(wxTE_RIGHT));
  control()->ChangeValue("0x1F");
  EXPECT_EQ(Text(), "1F");
  control()->SetValue("A0x");
  EXPECT_EQ(Text(), "x");
  m_field.SetWindowText("0x99999");
  EXPECT_EQ(Text(), "99999");
  EXPECT_EQ(control()->GetForegroundColour(), wxColour(255, 0, 0));
}

// A comma types a point and a lower-case hexadecimal letter its upper-case form.
TEST_F(NumericEditWxTest, MendedCharactersAreInsertedInPlaceOfTheTypedOnes) {
  ASSERT_NO_FATAL_FAILURE(Make(0, 12.0, 0.0, 1000.0, 2));
  control()->ChangeValue("12");
  control()->SetInsertionPointEnd();
  ASSERT_TRUE(Type(",5,."));
  EXPECT_EQ(Text(), "12.5");
  m_field.SetRadix(16);
  control()->SelectAll();
  ASSERT_TRUE(Type("c0fg"));
  EXPECT_EQ(Text(), "C0F");
}

// Where the control takes the Enter key itself, Enter reformats the text without a range test.
TEST_F(NumericEditWxTest, EnterReformatsInAFieldThatTakesTheKey) {
  ASSERT_NO_FATAL_FAILURE(Make(wxTE_PROCESS_ENTER, 0.0, 0.0, 10.0, 2));
  control()->SelectAll();
  ASSERT_TRUE(Type("3.14159"));
  ASSERT_TRUE(Press(WXK_RETURN));
  EXPECT_EQ(Text(), "3.14");
  control()->SelectAll();
  ASSERT_TRUE(Type("99"));
  ASSERT_TRUE(Press(WXK_RETURN));
  EXPECT_EQ(Text(), "99.00");
  EXPECT_EQ(control()->GetForegroundColour(), wxColour(255, 0, 0));
}

TEST_F(NumericEditWxTest, TheParentHearsOfKeysThatEditTheNumber) {
  struct Case {
    int key;
    std::size_t notifications;
  };
  const Case cases[] = {
      {'5', 1},      {WXK_BACK, 1},    {WXK_DELETE, 1}, {WXK_LEFT, 0},
      {WXK_HOME, 0}, {WXK_NUMPAD5, 0}, {'a', 0},
  };
  ASSERT_NO_FATAL_FAILURE(Make(0, 100.0, 0.0, 1000.0, 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    m_notifications.clear();
    ASSERT_TRUE(Press(c.key));
    ASSERT_EQ(m_notifications.size(), c.notifications);
    for (const auto& [id, code] : m_notifications) {
      EXPECT_EQ(id, kFieldId);
      EXPECT_EQ(code, NEN_KEYEDIT);
    }
  }
}

// Disabled: button-face background, the platform's text colour, the value kept; hidden when
// asked, and the text back on enabling.
TEST_F(NumericEditWxTest, ADisabledFieldKeepsItsValueAndMayHideItsText) {
  ASSERT_NO_FATAL_FAILURE(Make(0, 0.0, 0.0, 100.0, 0));
  const wxColour window = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW);
  const wxColour face = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE);
  m_field.SetWindowText("250");  // out of range: red
  EXPECT_EQ(control()->GetForegroundColour(), wxColour(255, 0, 0));
  EXPECT_EQ(control()->GetBackgroundColour(), window);

  m_field.SetHideWhenDisabled(true);
  m_field.Enable(false);
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(control()->GetBackgroundColour(), face);
  EXPECT_NE(control()->GetForegroundColour(), wxColour(255, 0, 0));
  EXPECT_EQ(m_field.GetValue(), 250.0) << "a disabled field does not parse its empty text";

  m_field.Enable(true);
  EXPECT_EQ(Text(), "250");
  EXPECT_EQ(control()->GetForegroundColour(), wxColour(255, 0, 0));
  EXPECT_EQ(control()->GetBackgroundColour(), window);

  m_field.SetHideWhenDisabled(false);
  m_field.Enable(false);
  EXPECT_EQ(Text(), "250");
}

// The field object may outlive its control (a dialog destroys its controls after its members).
TEST_F(NumericEditWxTest, TheFieldOutlivesItsControl) {
  ASSERT_NO_FATAL_FAILURE(Make());
  delete m_window;
  m_window = nullptr;
  EXPECT_EQ(m_field.control(), nullptr);
  m_field.SetValue(3.0);  // nothing to show it on
  EXPECT_EQ(m_field.GetValue(), 3.0);
}

// ---------------------------------------------------------------------------------------------
// The main dialog's field, started as the program starts it, holding 7 with the caret in front.
// However a text comes in, the field takes all of it as typing would, or keeps its text, caret
// and number: "1234 (0x04D2)" must not become 34004, another device's serial number.

enum class Way { kCtrlV, kShiftInsert, kPrimarySelection, kDrop };
struct PasteCase {
  Way way;
  const char* text;
  const char* shown;  // the field's text afterwards
};

struct FieldState {
  std::string text;
  long from = 0, to = 0;
  double value = 0.0;
};

FieldState StateOf(NumericEditWx& field) {
  FieldState s;
  s.text = field.control()->GetValue().utf8_string();
  field.control()->GetSelection(&s.from, &s.to);
  field.UpdateFromText();
  s.value = field.GetValue();
  return s;
}

// Presses the left button at `from` and lets it go at `to`, in steps, so that the toolkit sees
// a drag begin and the pointer pass over the target.
void Drag(const wxPoint& from, const wxPoint& to) {
  constexpr int kSteps = 12;
  wxUIActionSimulator mouse;
  mouse.MouseMove(from);
  testing::PumpFor(20);
  mouse.MouseDown();
  for (int i = 1; i <= kSteps; ++i) {
    testing::PumpFor(20);
    mouse.MouseMove(from + (to - from) * i / kSteps);
  }
  testing::PumpFor(20);
  mouse.MouseUp();
}

class NumericEditInDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILLON_REQUIRE_GUI(); }
  void Run(const std::vector<PasteCase>& cases);
};

void NumericEditInDialogTest::Run(const std::vector<PasteCase>& cases) {
  ModalDriver driver([&](MainDialog& dialog) {
    wxTextCtrl* field = dialog.serialField().control();
    int pastes = 0;
    int changes = 0;
    // Bound after the field's own handlers, so called before them, also for what it refuses.
    field->Bind(wxEVT_TEXT_PASTE, [&pastes](wxClipboardTextEvent& e) {
      ++pastes;
      e.Skip();
    });
    field->Bind(wxEVT_TEXT, [&changes](wxCommandEvent& e) {
      ++changes;
      e.Skip();
    });
    // The drag source: a text control below the dialog's own, its text in the middle.
    const wxSize client = dialog.GetClientSize();
    dialog.SetClientSize(client + wxSize(0, 40));
    auto* source = new wxTextCtrl(&dialog, wxID_ANY, "", wxPoint(10, client.y + 5),
                                  wxSize(client.x - 20, 30), wxTE_CENTRE);
    for (const PasteCase& c : cases) {
      SCOPED_TRACE(c.text);
      field->ChangeValue("7");
      ASSERT_TRUE(FocusAndWait(field));
      field->SetInsertionPoint(0);
      if (c.way == Way::kDrop) {
        source->ChangeValue(c.text);
        source->SelectAll();
      } else {
        wxTheClipboard->UsePrimarySelection(c.way == Way::kPrimarySelection);
        ASSERT_TRUE(wxTheClipboard->Open());
        wxTheClipboard->SetData(new wxTextDataObject(c.text));
        wxTheClipboard->Close();
        wxTheClipboard->UsePrimarySelection(false);
      }
      // A key paste raises a paste event; the others only change the text, which the field
      // then undoes or mends.
      const bool keyPaste = c.way == Way::kCtrlV || c.way == Way::kShiftInsert;
      // A press soon after the last one would be a double click, which neither pastes nor drags.
      if (!keyPaste) testing::PumpFor(wxSystemSettings::GetMetric(wxSYS_DCLICK_MSEC) + 100);
      const FieldState before = StateOf(dialog.serialField());
      const int pastesBefore = pastes;
      const int changesBefore = changes;
      // In the text area (its frame takes no clicks), left of the right-aligned text.
      const wxRect area = field->GetScreenRect();
      const wxPoint target(area.x + area.width / 4, area.y + area.height / 2);
      wxUIActionSimulator input;
      switch (c.way) {
        case Way::kCtrlV:
          input.Char('v', wxMOD_CONTROL);
          break;
        case Way::kShiftInsert:
          input.Char(WXK_INSERT, wxMOD_SHIFT);
          break;
        case Way::kPrimarySelection:
          input.MouseMove(target);
          input.MouseClick(wxMOUSE_BTN_MIDDLE);
          break;
        case Way::kDrop:
          Drag(source->GetScreenRect().GetPosition() + source->GetSize() / 2, target);
          break;
      }
      const bool arrived = PumpUntil(
          [&] { return keyPaste ? pastes > pastesBefore : changes > changesBefore; }, 3000);
      testing::PumpFor(50);
      if (!arrived && c.way == Way::kDrop && &c == &cases.front()) {
        dialog.Close();
        GTEST_SKIP() << "no drop reached the field: drag and drop cannot be driven here";
      }
      ASSERT_TRUE(arrived) << "the text reached the field";
      const FieldState after = StateOf(dialog.serialField());
      EXPECT_EQ(after.text, c.shown);
      if (before.text == c.shown) {
        EXPECT_EQ(after.from, before.from);
        EXPECT_EQ(after.to, before.to);
        EXPECT_EQ(after.value, before.value);
      } else {
        EXPECT_EQ(after.value, std::stod(c.shown));
      }
    }
    dialog.Close();
  });
  RunServiceTool({"quillon-reconfigurator", "--no-serial", "--no-udp"}, SystemHooks());
  EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
  wxTheClipboard->UsePrimarySelection(false);
}

TEST_F(NumericEditInDialogTest, ClipboardPastesAreTakenWholeOrNotAtAll) {
  Run({{Way::kCtrlV, "1234 (0x04D2)", "7"},
       {Way::kShiftInsert, "1234 (0x04D2)", "7"},
       {Way::kCtrlV, "  42 ", "427"},
       {Way::kShiftInsert, "12345", "7"}});  // six digits: refused, not cut
}

// A middle click pastes the X11 primary selection, without a paste event.
TEST_F(NumericEditInDialogTest, PrimarySelectionPastesAreTakenWholeOrNotAtAll) {
  Run({{Way::kPrimarySelection, "  42 ", "427"},
       {Way::kPrimarySelection, "1234 (0x04D2)", "7"},
       {Way::kPrimarySelection, "9x-8", "7"},
       {Way::kPrimarySelection, "12345", "7"}});
}

// The first drop is one the field takes: a skip then means that no drop could be driven, not
// that one was refused.
TEST_F(NumericEditInDialogTest, DroppedTextsAreTakenWholeOrNotAtAll) {
  Run({{Way::kDrop, "42", "427"},
       {Way::kDrop, "1234 (0x04D2)", "7"},
       {Way::kDrop, "-5", "7"},
       {Way::kDrop, "12345", "7"}});
}

}  // namespace
}  // namespace quillon
