// The real dialog under Xvfb: started as the program starts it, driven with real key presses
// and mouse clicks from inside its modal loop, message boxes answered by the driver.

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/button.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/gui/main_dialog.h"
#include "app/gui/service_tool_app.h"
#include "gui/gui_environment.h"
#include "gui/modal_driver.h"
#include "reconfig/messages.h"
#include "support/posix_fixtures.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::Field;
using testing::FocusAndWait;
using testing::KeyCounter;
using testing::ModalDriver;
using testing::PumpUntil;
using testing::RunDialog;
using testing::StartButton;
using testing::TabIntoField;
using testing::Text;

constexpr long kErrorBox = wxOK | wxICON_EXCLAMATION;
constexpr long kInformationBox = wxOK | wxICON_INFORMATION;
// The search's answer window is 1000 ms; a Start against a device ends well within this.
constexpr int kStartTimeoutMs = 15000;

const wxColour kRed(255, 0, 0);
const wxColour kBlack(0, 0, 0);

// Inodes of the UDP sockets that this process holds.
std::set<std::string> OwnUdpSockets() {
  std::set<std::string> own;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      char target[128] = {};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
      const std::string link(target, n > 0 ? static_cast<std::size_t>(n) : 0);
      if (link.rfind("socket:[", 0) == 0) own.insert(link.substr(8, link.size() - 9));
    }
    ::closedir(dir);
  }
  std::set<std::string> udp;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 10 && fields >> field; ++i) {
    }
    if (own.count(field) != 0) udp.insert(field);
  }
  return udp;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILLON_REQUIRE_GUI(); }

  void StartSimulator(const std::vector<std::string>& args) {
    if (!testing::SimulatorProcess::Available()) GTEST_SKIP() << "the simulator was not built";
    std::string error;
    ASSERT_TRUE(m_sim.Start(args, &error)) << error;
  }

  testing::SimulatorProcess m_sim;
};

TEST_F(DialogTest, OpensShowingZeroWithTheFocusOnStart) {
  ModalDriver driver([](MainDialog& dialog) {
    EXPECT_EQ(dialog.GetTitle().utf8_string(), kCaption);
    EXPECT_FALSE(dialog.HasFlag(wxMINIMIZE_BOX));
    EXPECT_FALSE(dialog.HasFlag(wxMAXIMIZE_BOX));
    EXPECT_TRUE(dialog.HasFlag(wxCLOSE_BOX));
    EXPECT_EQ(dialog.GetIcons().GetIconCount(), 2u);
    EXPECT_EQ(dialog.GetClientSize(), dialog.ConvertDialogToPixels(wxSize(195, 62)));

    wxButton* start = StartButton(dialog);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->GetLabel(), "Start");
    EXPECT_EQ(dialog.GetDefaultItem(), start);
    EXPECT_EQ(start->GetPosition(), dialog.ConvertDialogToPixels(wxPoint(145, 40)));
    EXPECT_EQ(wxWindow::FindFocus(), start);

    ASSERT_NE(Field(dialog), nullptr);
    EXPECT_EQ(Field(dialog)->GetId(), kIdSerialField);
    EXPECT_TRUE(Field(dialog)->HasFlag(wxTE_RIGHT));
    EXPECT_EQ(Text(dialog), "0");
    EXPECT_EQ(Field(dialog)->GetForegroundColour(), kBlack);
    EXPECT_EQ(dialog.serialField().GetValue(), 0.0);

    KeyCounter keys(dialog);
    keys.Press(WXK_ESCAPE);
  });
  EXPECT_EQ(RunDialog({"--no-serial", "--no-udp"}), kExitDone);
  EXPECT_EQ(driver.dialogsShown, 1);
  EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
  EXPECT_TRUE(driver.boxes.empty());
}

// Escape and the close box end the dialog with the cancel code, send nothing to the device and
// close the socket. (Left to the toolkit's default, Escape would press "Start".)
TEST_F(DialogTest, EscapeAndTheCloseBoxEndWithoutDeviceTraffic) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--pty", "--serial", "1234"}));
  for (const bool escape : {true, false}) {
    SCOPED_TRACE(escape ? "Escape" : "close box");
    const std::set<std::string> before = OwnUdpSockets();
    std::set<std::string> during;
    ModalDriver driver([&](MainDialog& dialog) {
      EXPECT_NE(dialog.socket(), nullptr);
      during = OwnUdpSockets();
      KeyCounter keys(dialog);
      ASSERT_TRUE(TabIntoField(dialog, keys));
      ASSERT_TRUE(keys.Type("1234"));
      if (escape) {
        keys.Press(WXK_ESCAPE);
      } else {
        dialog.Close();  // what the close box does
      }
      PumpUntil([&dialog] { return !dialog.IsModal(); }, 2000);
    });
    EXPECT_EQ(RunDialog({"--port", m_sim.PtyPath(), "--address", "127.0.0.1"}), kExitDone);
    EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
    EXPECT_FALSE(driver.closedByDriver);
    EXPECT_TRUE(driver.boxes.empty());
    EXPECT_EQ(during.size(), before.size() + 1) << "the dialog's socket";
    EXPECT_EQ(OwnUdpSockets(), before) << "the socket is closed with the dialog";
  }
  EXPECT_TRUE(m_sim.WaitForLogLines(1, 300).empty()) << "nothing reached the device";
}

// Typed into the field (Tab from "Start" selects its '0', so typing replaces it): digits only,
// at most five.
TEST_F(DialogTest, TheFieldTakesAtMostFiveDigits) {
  EXPECT_EQ(testing::TypeIntoTheField({{"12a3", "123"},
                                       {"-5", "5"},
                                       {"4.2", "42"},
                                       {"4,2", "42"},
                                       {"x 9", "9"},
                                       {"1e3", "13"},
                                       {"123456", "12345"},
                                       {"99999999", "99999"}}),
            wxID_CANCEL);
}

// The number turns red above 40000 as it is typed, before any commit; the value follows the
// text.
TEST_F(DialogTest, TheTextTurnsRedAboveTheRange) {
  struct Case {
    const char* typed;
    double value;
    bool red;
  };
  const Case cases[] = {
      {"40000", 40000, false},
      {"40001", 40001, true},
      {"99999", 99999, true},
      {"0", 0, false},
  };
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    for (const Case& c : cases) {
      SCOPED_TRACE(c.typed);
      Field(dialog)->SelectAll();
      ASSERT_TRUE(keys.Type(c.typed));
      EXPECT_EQ(Field(dialog)->GetForegroundColour(), c.red ? kRed : kBlack);
      EXPECT_EQ(dialog.serialField().GetValue(), c.value);
      EXPECT_EQ(dialog.serialField().IsValueInRange(), !c.red);
    }
    keys.Press(WXK_ESCAPE);
  });
  RunDialog({"--no-serial", "--no-udp"});
}

// Leaving the field commits its text: leading zeros go, an empty text becomes 0, a number out
// of range stays as typed.
TEST_F(DialogTest, LeavingTheFieldWritesTheNumberInItsNormalForm) {
  struct Case {
    const char* typed;  // "\b": backspace
    const char* shown;
  };
  const Case cases[] = {{"007", "7"}, {"\b", "0"}, {"50000", "50000"}, {"00000", "0"}};
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.shown);
      ASSERT_TRUE(TabIntoField(dialog, keys));
      if (std::string(c.typed) == "\b") {
        ASSERT_TRUE(keys.Press(WXK_BACK));
        EXPECT_EQ(Text(dialog), "");
      } else {
        ASSERT_TRUE(keys.Type(c.typed));
        EXPECT_EQ(Text(dialog), c.typed);
      }
      ASSERT_TRUE(keys.Press(WXK_TAB));  // on to "Start"
      EXPECT_EQ(wxWindow::FindFocus(), StartButton(dialog));
      EXPECT_EQ(Text(dialog), c.shown);
    }
    keys.Press(WXK_ESCAPE);
  });
  RunDialog({"--no-serial", "--no-udp"});
}

// Enter in the field presses "Start" with the number as typed (no commit has run); the device
// is reconfigured, the success message shows, and the dialog closes after it.
TEST_F(DialogTest, EnterStartsAndASuccessfulStartClosesTheDialog) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--pty", "--serial", "1234"}));
  bool busyAfter = true;
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    ASSERT_TRUE(keys.Type("1234"));
    wxUIActionSimulator().Char(WXK_RETURN);
    EXPECT_TRUE(PumpUntil([&dialog] { return !dialog.IsModal(); }, kStartTimeoutMs));
    busyAfter = wxIsBusy();
  });
  EXPECT_EQ(RunDialog({"--port", m_sim.PtyPath(), "--no-udp"}), kExitDone);
  EXPECT_EQ(driver.dialogResult, wxID_OK);
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextSuccess);
  EXPECT_EQ(driver.boxes[0].caption, kCaption);
  EXPECT_EQ(driver.boxes[0].style, kInformationBox);
  EXPECT_NE(driver.boxes[0].parent, nullptr) << "owned by the dialog";
  EXPECT_FALSE(driver.boxes[0].busyCursor) << "the message box has the normal cursor";
  EXPECT_FALSE(busyAfter);
  const std::string record = m_sim.LastRecordHex();
  ASSERT_EQ(record.size(), 40u);
  EXPECT_EQ(record.substr(16, 4), "8813") << "maximum high voltage 5000 V";
}

// A Start that finds nothing shows one message and leaves everything as it was: the dialog
// open, the number in the field, the same socket; and Start can be pressed again.
TEST_F(DialogTest, AFailedStartLeavesTheDialogFieldAndSocketAsTheyWere) {
  testing::PtyPair silent;  // a serial port with no device behind it
  ASSERT_TRUE(silent.ok());
  const DatagramSocket* socketBefore = nullptr;
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    ASSERT_TRUE(keys.Type("31337"));
    socketBefore = dialog.socket();
    ASSERT_NE(socketBefore, nullptr);

    // A click on "Start".
    wxButton* start = StartButton(dialog);
    wxUIActionSimulator mouse;
    mouse.MouseMove(start->GetScreenRect().GetPosition() + start->GetSize() / 2);
    mouse.MouseClick();
    ASSERT_TRUE(PumpUntil([&driver] { return driver.boxes.size() == 1; }, kStartTimeoutMs));
    testing::PumpFor(50);
    EXPECT_TRUE(dialog.IsModal());
    EXPECT_EQ(Text(dialog), "31337");
    EXPECT_EQ(dialog.serialField().GetValue(), 31337.0);
    EXPECT_EQ(dialog.socket(), socketBefore);
    EXPECT_FALSE(wxIsBusy());

    // Again, with Enter on the focused "Start".
    ASSERT_TRUE(FocusAndWait(start));
    wxUIActionSimulator().Char(WXK_RETURN);
    ASSERT_TRUE(PumpUntil([&driver] { return driver.boxes.size() == 2; }, kStartTimeoutMs));
    testing::PumpFor(50);
    EXPECT_TRUE(dialog.IsModal());
    EXPECT_EQ(Text(dialog), "31337");
    EXPECT_EQ(dialog.socket(), socketBefore);
    keys.Press(WXK_ESCAPE);
  });
  RunDialog({"--port", silent.slavePath(), "--address", "127.0.0.1"});
  EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
  ASSERT_EQ(driver.boxes.size(), 2u);
  for (const testing::ShownBox& box : driver.boxes) {
    EXPECT_EQ(box.text, kTextNotDetected);
    EXPECT_EQ(box.style, kInformationBox);
    EXPECT_NE(box.parent, nullptr);
  }
}

int g_stops = 0;
bool FailingStart() {
  return false;
}
bool WorkingStart() {
  return true;
}
void CountingStop() {
  ++g_stops;
}

TEST_F(DialogTest, WithoutTheSocketInterfaceOnlyTheMessageShows) {
  g_stops = 0;
  const std::set<std::string> before = OwnUdpSockets();
  ModalDriver driver;
  EXPECT_EQ(RunServiceTool({"quillon-reconfigurator"}, {&FailingStart, &CountingStop}),
            kExitSocketFailure);
  EXPECT_EQ(driver.dialogsShown, 0);
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextSocketInitFailed);
  EXPECT_EQ(driver.boxes[0].caption, kCaption);
  EXPECT_EQ(driver.boxes[0].style, kErrorBox);
  EXPECT_EQ(g_stops, 0);
  EXPECT_EQ(OwnUdpSockets(), before);
}

TEST_F(DialogTest, CommandLineErrorsShowTheReasonAndNoDialog) {
  struct Case {
    std::vector<std::string> args;
    const char* reason;  // empty: no error
    int status;
  };
  const Case cases[] = {
      {{"--serial", "5"}, "--serial is not an option of the dialog", kExitUsage},
      {{"--bogus"}, "unknown option '--bogus'", kExitUsage},
      {{"--port"}, "--port needs a path", kExitUsage},
      {{"--address", "300.1.1.1"}, "--address: '300.1.1.1' is not an IPv4 address", kExitUsage},
      {{"--verbose"}, "--verbose is an option of quillon-reconfigurator-cli", kExitUsage},
      {{"--list-ports"}, "--list-ports is an option of quillon-reconfigurator-cli", kExitUsage},
      {{"--version"}, "", kExitDone},
      {{"--help"}, "", kExitDone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    g_stops = 0;
    ModalDriver driver;
    std::vector<std::string> args = {"quillon-reconfigurator"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(RunServiceTool(args, {&WorkingStart, &CountingStop}), c.status);
    EXPECT_EQ(driver.dialogsShown, 0);
    EXPECT_EQ(g_stops, 1);
    if (*c.reason == '\0') {
      EXPECT_TRUE(driver.boxes.empty());
      continue;
    }
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].text.rfind(c.reason, 0), 0u) << driver.boxes[0].text;
    EXPECT_EQ(driver.boxes[0].style, kErrorBox);
  }
}

}  // namespace
}  // namespace quillon
