// The real dialog, started as the program starts it, driven with real key presses and mouse
// clicks from inside its modal loop, message boxes answered by the driver; its Starts against
// simulated devices. The same cases on both platforms: on Linux under a private Xvfb, on Windows
// under Wine on the X server that tests/windows/wine.sh starts (gui_environment_*.cpp provide
// the display, the devices and the close box). Windows adds what only it has: the program's own
// resources, the template's layout in dialog units with the system's dialog font, a change of
// DPI, the colours as drawn and the session's end. There wine.sh also names in the environment:
//   QUILLON_TEST_SCREENSHOT   where to write a picture of the dialog (BMP), when set
//   QUILLON_TEST_DPI          the DPI the script has set (Wine's LogPixels), when set

#if defined(_WIN32)
// The toolkit's way to windows.h (winsock2.h before it).
#include <wx/msw/wrapwin.h>
// Then the rest.
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#endif
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/gui/main_dialog.h"
#include "app/gui/service_tool_app.h"
#include "gui/gui_environment.h"
#include "gui/modal_driver.h"
#include "reconfig/messages.h"

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
using testing::TestDevice;
using testing::Text;

constexpr long kErrorBox = wxOK | wxICON_EXCLAMATION;
constexpr long kInformationBox = wxOK | wxICON_INFORMATION;
// The search's answer window is 1000 ms; a Start against a device ends well within this.
constexpr int kStartTimeoutMs = 15000;
// The simulated device's record: its module block and status fields, with 5000 V.
constexpr char kDefaultRecord[] = "1200073412010000881394112003112233440000";

const wxColour kRed(255, 0, 0);
const wxColour kBlack(0, 0, 0);

int Count(const std::vector<std::string>& kinds, const char* kind) {
  return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind));
}

#if defined(_WIN32)
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

HWND Hwnd(const wxWindow* window) {
  return static_cast<HWND>(window->GetHWND());
}

// The window's rectangle in the client coordinates of its dialog.
wxRect RectInDialog(const wxWindow* control) {
  RECT r{};
  ::GetWindowRect(Hwnd(control), &r);
  ::MapWindowPoints(nullptr, Hwnd(control->GetParent()), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

// Dialog base units as Windows computes them for a dialog's font: the average width of the 52
// ASCII letters, rounded, and the font's height.
SIZE DialogBaseUnits(HFONT font) {
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  TEXTMETRICW metrics{};
  ::GetTextMetricsW(dc, &metrics);
  SIZE extent{};
  ::GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &extent);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  return {(extent.cx / 26 + 1) / 2, metrics.tmHeight};
}

// What the window shows now, from its own device context: the client area, or the whole window
// with its frame.
wxImage Capture(wxWindow& window, bool whole) {
  window.Update();
  std::unique_ptr<wxWindowDC> dc =
      whole ? std::make_unique<wxWindowDC>(&window) : std::make_unique<wxClientDC>(&window);
  const wxSize size = dc->GetSize();
  wxBitmap bitmap(size);
  wxMemoryDC memory(bitmap);
  memory.Blit(0, 0, size.x, size.y, dc.get(), 0, 0);
  memory.SelectObject(wxNullBitmap);
  return bitmap.ConvertToImage();
}

// The room the window's text needs in its own font: one line, or wrapped at the window's width.
SIZE TextNeeds(const wxWindow* control, bool wrapped) {
  wchar_t text[512] = {};
  const int length = ::GetWindowTextW(Hwnd(control), text, 512);
  HDC dc = ::GetDC(Hwnd(control));
  HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(Hwnd(control), WM_GETFONT, 0, 0)));
  RECT r{0, 0, control->GetSize().x, 0};
  ::DrawTextW(dc, text, length, &r,
              DT_CALCRECT | DT_NOPREFIX | (wrapped ? DT_WORDBREAK : DT_SINGLELINE));
  ::SelectObject(dc, old);
  ::ReleaseDC(Hwnd(control), dc);
  return {r.right, r.bottom};
}

struct InkCount {
  int red = 0;   // red text, smoothed edges included
  int dark = 0;  // black or grey text
};

// The field's text as the edit control draws it, without the caret (its black bar would count).
InkCount DrawnInk(MainDialog& dialog) {
  ::HideCaret(Hwnd(Field(dialog)));
  const wxImage image = Capture(*Field(dialog), false);
  ::ShowCaret(Hwnd(Field(dialog)));
  InkCount ink;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) {
      const int r = image.GetRed(x, y);
      const int g = image.GetGreen(x, y);
      const int b = image.GetBlue(x, y);
      if (r >= 160 && g <= r - 80 && b <= r - 80) ++ink.red;
      if (std::max({r, g, b}) < 110 && std::max({r, g, b}) - std::min({r, g, b}) < 30) ++ink.dark;
    }
  }
  return ink;
}

// The dialog as Windows has it (the caption, the focus and the field's text the toolkit reads from
// the windows themselves): the window's styles and icons, the system's dialog font on every
// control, the template's places in dialog units of that font with no text clipped, the default
// push button, and the field's alignment and control id.
void ExpectTheWindowsTemplate(MainDialog& dialog) {
  const HWND hwnd = Hwnd(&dialog);
  const LONG_PTR style = ::GetWindowLongPtrW(hwnd, GWL_STYLE);
  const LONG_PTR exStyle = ::GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME);
  // A taskbar button: not owned by another window, not a tool window.
  EXPECT_EQ(::GetWindow(hwnd, GW_OWNER), nullptr);
  EXPECT_FALSE(exStyle & WS_EX_TOOLWINDOW);
  // The caption's and the taskbar's icons from icon group 128: of its 16, 24, 32, 48 and 256
  // pixel images the smallest that is at least the system's size (at 96 DPI 32 and 16).
  for (const auto& [which, metric] :
       {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
    int size = 256;
    for (const int image : {48, 32, 24, 16}) {
      if (::GetSystemMetrics(metric) <= image) size = image;
    }
    const auto icon = reinterpret_cast<HICON>(::SendMessageW(hwnd, WM_GETICON, which, 0));
    ICONINFO info{};
    ASSERT_TRUE(icon != nullptr && ::GetIconInfo(icon, &info)) << size;
    BITMAP bitmap{};
    ::GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, size);
    ::DeleteObject(info.hbmColor);
    ::DeleteObject(info.hbmMask);
  }

  if (const std::string dpi = Env("QUILLON_TEST_DPI"); !dpi.empty()) {
    EXPECT_EQ(dialog.GetDPI().y, std::stoi(dpi));
  }
  // The system's dialog font (the message font of Windows' own dialogs), on the dialog and on
  // every control; the template's places in dialog units of that font.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
  const SIZE base = DialogBaseUnits(static_cast<HFONT>(dialog.GetFont().GetHFONT()));
  const auto pixels = [base](int x, int y, int w, int h) {
    return wxRect(::MulDiv(x, base.cx, 4), ::MulDiv(y, base.cy, 8), ::MulDiv(w, base.cx, 4),
                  ::MulDiv(h, base.cy, 8));
  };
  RECT client{};
  ::GetClientRect(hwnd, &client);
  EXPECT_EQ(wxSize(client.right, client.bottom), pixels(0, 0, 195, 62).GetSize());
  struct Control {
    const wxWindow* window;
    wxRect place;  // in dialog units
  };
  const wxWindow* intro = nullptr;
  const wxWindow* label = nullptr;
  for (const wxWindow* child : dialog.GetChildren()) {
    if (child->GetLabel().StartsWith("This tool")) intro = child;
    if (child->GetLabel() == "Serial number:") label = child;
  }
  const Control controls[] = {{StartButton(dialog), {145, 40, 40, 12}},
                              {intro, {5, 5, 185, 30}},
                              {label, {5, 42, 75, 10}},
                              {Field(dialog), {80, 40, 40, 12}}};
  for (const Control& c : controls) {
    SCOPED_TRACE(c.place.x);
    ASSERT_NE(c.window, nullptr);
    EXPECT_EQ(RectInDialog(c.window), pixels(c.place.x, c.place.y, c.place.width, c.place.height));
    // Nothing clipped at this DPI: each text fits its control (the button's and the field's with
    // room for their frames).
    const SIZE needs = TextNeeds(c.window, c.window == intro);
    const int frame = c.window == intro || c.window == label ? 0 : 4;
    EXPECT_LE(needs.cx + frame, c.window->GetSize().x);
    EXPECT_LE(needs.cy, c.window->GetSize().y);
    LOGFONTW used{};
    const auto control_font =
        reinterpret_cast<HFONT>(::SendMessageW(Hwnd(c.window), WM_GETFONT, 0, 0));
    ASSERT_TRUE(::GetObjectW(control_font, sizeof used, &used));
    EXPECT_STREQ(used.lfFaceName, metrics.lfMessageFont.lfFaceName);
    EXPECT_EQ(used.lfHeight, metrics.lfMessageFont.lfHeight);
  }

  EXPECT_EQ(::SendMessageW(Hwnd(StartButton(dialog)), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON,
            DLGC_DEFPUSHBUTTON);
  const HWND field = Hwnd(Field(dialog));
  EXPECT_TRUE(::GetWindowLongPtrW(field, GWL_STYLE) & ES_RIGHT);
  EXPECT_EQ(::GetDlgCtrlID(field), kIdSerialField);
}
#endif  // _WIN32

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILLON_REQUIRE_GUI(); }
};

TEST_F(DialogTest, OpensShowingZeroWithTheFocusOnStartInTheTemplatesLayout) {
  ModalDriver driver([](MainDialog& dialog) {
    EXPECT_EQ(dialog.GetTitle().utf8_string(), kCaption);
    EXPECT_FALSE(dialog.HasFlag(wxMINIMIZE_BOX));
    EXPECT_FALSE(dialog.HasFlag(wxMAXIMIZE_BOX));
    EXPECT_TRUE(dialog.HasFlag(wxCLOSE_BOX));
    // The caption's and the taskbar's sizes at least (Windows' icon group has 24, 48 and 256 too).
    EXPECT_TRUE(dialog.GetIcons().GetIconOfExactSize(wxSize(16, 16)).IsOk());
    EXPECT_TRUE(dialog.GetIcons().GetIconOfExactSize(wxSize(32, 32)).IsOk());
    EXPECT_EQ(dialog.GetClientSize(), dialog.ConvertDialogToPixels(wxSize(195, 62)));

    // Tab order: "Start" first, so it has the focus; the field shows '0', right-aligned.
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
#if defined(_WIN32)
    ExpectTheWindowsTemplate(dialog);
#endif

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
  TestDevice device;
  QUILLON_START_DEVICE(device, TestDevice::State::kFree);
  for (const bool escape : {true, false}) {
    SCOPED_TRACE(escape ? "Escape" : "close box");
    const auto before = testing::OwnUdpSockets();
    std::optional<std::set<std::string>> during;
    ModalDriver driver([&](MainDialog& dialog) {
      EXPECT_NE(dialog.socket(), nullptr);
      during = testing::OwnUdpSockets();
      KeyCounter keys(dialog);
      ASSERT_TRUE(TabIntoField(dialog, keys));
      ASSERT_TRUE(keys.Type("1234"));
      if (escape) {
        keys.Press(WXK_ESCAPE);
      } else {
        testing::PressCloseBox(dialog);
      }
      PumpUntil([&dialog] { return testing::DialogEnded(dialog); }, 2000);
    });
    EXPECT_EQ(RunDialog({"--port", device.port(), "--address", "127.0.0.1"}), kExitDone);
    EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
    EXPECT_FALSE(driver.closedByDriver);
    EXPECT_TRUE(driver.boxes.empty());
    if (before && during) {
      EXPECT_EQ(during->size(), before->size() + 1) << "the dialog's socket";
      EXPECT_EQ(testing::OwnUdpSockets(), before) << "the socket is closed with the dialog";
    }
  }
  testing::PumpFor(300);
  EXPECT_TRUE(device.RequestKinds().empty()) << "nothing reached the device";
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
// text. On Windows also as the edit control draws it: the pixels of the text in a picture of
// the field.
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
#if defined(_WIN32)
      const InkCount ink = DrawnInk(dialog);
      EXPECT_GT(c.red ? ink.red : ink.dark, 5);
      EXPECT_EQ(c.red ? ink.dark : ink.red, 0);
#endif
    }
#if defined(_WIN32)
    if (const std::string screenshot = Env("QUILLON_TEST_SCREENSHOT"); !screenshot.empty()) {
      Field(dialog)->SelectAll();
      keys.Type("1234");
      ::HideCaret(Hwnd(Field(dialog)));
      EXPECT_TRUE(Capture(dialog, true).SaveFile(screenshot, wxBITMAP_TYPE_BMP));
      ::ShowCaret(Hwnd(Field(dialog)));
    }
#endif
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
  TestDevice device;
  QUILLON_START_DEVICE(device, TestDevice::State::kFree);
  bool busyAfter = true;
  long long start_ms = -1;
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    ASSERT_TRUE(keys.Type("1234"));
    const auto pressed = std::chrono::steady_clock::now();
    wxUIActionSimulator().Char(WXK_RETURN);
    ASSERT_TRUE(PumpUntil([&driver] { return !driver.boxes.empty(); }, kStartTimeoutMs));
    start_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - pressed)
                   .count();
    EXPECT_TRUE(PumpUntil([&dialog] { return testing::DialogEnded(dialog); }, 2000));
    busyAfter = wxIsBusy();
  });
  EXPECT_EQ(RunDialog({"--port", device.port(), "--no-udp"}), kExitDone);
  EXPECT_EQ(driver.dialogResult, wxID_OK);
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextSuccess);
  EXPECT_EQ(driver.boxes[0].caption, kCaption);
  EXPECT_EQ(driver.boxes[0].style, kInformationBox);
  EXPECT_NE(driver.boxes[0].parent, nullptr) << "owned by the dialog";
  EXPECT_FALSE(driver.boxes[0].busyCursor) << "the message box has the normal cursor";
  EXPECT_FALSE(busyAfter);
  EXPECT_EQ(Count(device.RequestKinds(), "svc5"), 1);
  EXPECT_EQ(device.LastRecordHex(), kDefaultRecord);
  // For CTest's output, beside the command line's Start.
  std::printf("TIMING dialog Start %lld ms\n", start_ms);
  RecordProperty("start_ms", std::to_string(start_ms));
}

// A Start that fails shows its one message and leaves everything as it was: the dialog open,
// the number in the field, the same socket, nothing written; and Start can be pressed again,
// with a click and with Enter.
TEST_F(DialogTest, AFailedStartLeavesTheDialogFieldAndSocketAsTheyWere) {
  struct Case {
    TestDevice::State state;
    const char* serial;
    std::string_view text;
    long style;
  };
  const Case cases[] = {{TestDevice::State::kFree, "31337", kTextNotDetected, kInformationBox},
                        {TestDevice::State::kInUse, "1234", kTextInUse, kErrorBox}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TestDevice device;
    QUILLON_START_DEVICE(device, c.state);
    const DatagramSocket* socketBefore = nullptr;
    ModalDriver driver([&](MainDialog& dialog) {
      KeyCounter keys(dialog);
      ASSERT_TRUE(TabIntoField(dialog, keys));
      ASSERT_TRUE(keys.Type(c.serial));
      socketBefore = dialog.socket();
      ASSERT_NE(socketBefore, nullptr);
      wxButton* start = StartButton(dialog);
      for (std::size_t press = 1; press <= 2; ++press) {
        if (press == 1) {  // a click
          wxUIActionSimulator mouse;
          mouse.MouseMove(start->GetScreenRect().GetPosition() + start->GetSize() / 2);
          mouse.MouseClick();
        } else {  // Enter on the focused "Start"
          ASSERT_TRUE(FocusAndWait(start));
          wxUIActionSimulator().Char(WXK_RETURN);
        }
        ASSERT_TRUE(
            PumpUntil([&driver, press] { return driver.boxes.size() == press; }, kStartTimeoutMs));
        testing::PumpFor(50);
        EXPECT_FALSE(testing::DialogEnded(dialog));
        EXPECT_EQ(Text(dialog), c.serial);
        EXPECT_EQ(dialog.serialField().GetValue(), std::stod(c.serial));
        EXPECT_EQ(dialog.socket(), socketBefore);
        EXPECT_FALSE(wxIsBusy());
      }
    });
    RunDialog({"--port", device.port(), "--address", "127.0.0.1"});
    EXPECT_TRUE(driver.closedByDriver);
    ASSERT_EQ(driver.boxes.size(), 2u);
    for (const testing::ShownBox& box : driver.boxes) {
      EXPECT_EQ(box.text, c.text);
      EXPECT_EQ(box.caption, kCaption);
      EXPECT_EQ(box.style, c.style);
      EXPECT_NE(box.parent, nullptr);
    }
    EXPECT_EQ(Count(device.RequestKinds(), "svc5"), 0);
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

// Without the socket interface only its message shows, owned by nobody; on Windows it is
// string 103 of the program's string table.
TEST_F(DialogTest, WithoutTheSocketInterfaceOnlyTheMessageShows) {
#if defined(_WIN32)
  wchar_t resource[128] = {};
  ASSERT_GT(::LoadStringW(::GetModuleHandleW(nullptr), 103, resource, 128), 0);
  EXPECT_EQ(wxString(resource).utf8_string(), kTextSocketInitFailed);
#endif
  g_stops = 0;
  const auto before = testing::OwnUdpSockets();
  ModalDriver driver;
  EXPECT_EQ(RunServiceTool({"quillon-reconfigurator"}, {&FailingStart, &CountingStop}),
            kExitSocketFailure);
  EXPECT_EQ(driver.dialogsShown, 0);
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextSocketInitFailed);
  EXPECT_EQ(driver.boxes[0].caption, kCaption);
  EXPECT_EQ(driver.boxes[0].style, kErrorBox);
  EXPECT_EQ(driver.boxes[0].parent, nullptr);
  EXPECT_EQ(g_stops, 0);
  EXPECT_EQ(testing::OwnUdpSockets(), before);
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
    // A short sentence and the reason; the console's help does not fit a message box.
    EXPECT_NE(driver.boxes[0].text.find(std::string("\n\n") + c.reason), std::string::npos)
        << driver.boxes[0].text;
    EXPECT_EQ(driver.boxes[0].text.find("usage:"), std::string::npos) << driver.boxes[0].text;
    EXPECT_EQ(driver.boxes[0].style, kErrorBox);
  }
}

#if defined(_WIN32)
// Windows sends WM_DPICHANGED when the dialog moves to a monitor of another scale, with a
// rectangle that scales the old pixels; the toolkit gives the controls the fonts of the new DPI
// and sends wxEVT_DPI_CHANGED, and the dialog must place them again from the template, at its
// own size, keeping its centre. Wine has one DPI for every monitor and does not report the
// per-monitor (v2) awareness the toolkit waits for before it passes the message on, so the
// toolkit's event is sent to the dialog here, after the controls and the window have been moved
// and sized as they might be.
TEST_F(DialogTest, AChangeOfDpiPlacesTheControlsAgainFromTheTemplate) {
  ModalDriver driver([](MainDialog& dialog) {
    // The manifest makes the process aware of each monitor's DPI.
    using GetContext = void*(WINAPI*)();
    using GetAwareness = int(WINAPI*)(void*);
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    // Through void(*)(), the one function pointer type a FARPROC converts to without a warning.
    const auto find = [user32](const char* name) {
      return reinterpret_cast<void (*)()>(::GetProcAddress(user32, name));
    };
    const auto context = reinterpret_cast<GetContext>(find("GetThreadDpiAwarenessContext"));
    const auto awareness =
        reinterpret_cast<GetAwareness>(find("GetAwarenessFromDpiAwarenessContext"));
    ASSERT_TRUE(context != nullptr && awareness != nullptr);
    EXPECT_EQ(awareness(context()), 2) << "DPI_AWARENESS_PER_MONITOR_AWARE";

    const HWND hwnd = Hwnd(&dialog);
    std::vector<std::pair<const wxWindow*, wxRect>> placed;
    for (const wxWindow* child : dialog.GetChildren()) {
      placed.emplace_back(child, RectInDialog(child));
    }
    RECT client{};
    ::GetClientRect(hwnd, &client);
    for (const auto& [child, place] : placed) ::MoveWindow(Hwnd(child), 0, 0, 3, 3, FALSE);
    RECT window{};
    ::GetWindowRect(hwnd, &window);
    ::SetWindowPos(hwnd, nullptr, 0, 0, 2 * (window.right - window.left),
                   2 * (window.bottom - window.top), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::GetWindowRect(hwnd, &window);

    wxDPIChangedEvent event(dialog.GetDPI(), dialog.GetDPI());
    event.SetEventObject(&dialog);
    EXPECT_TRUE(dialog.ProcessWindowEvent(event)) << "handled, so the toolkit does not resize";

    for (const auto& [child, place] : placed) {
      SCOPED_TRACE(child->GetLabel().utf8_string());
      EXPECT_EQ(RectInDialog(child), place);
    }
    RECT after{};
    ::GetClientRect(hwnd, &after);
    EXPECT_EQ(after.right, client.right);
    EXPECT_EQ(after.bottom, client.bottom);
    RECT moved{};
    ::GetWindowRect(hwnd, &moved);
    EXPECT_LE(std::abs(moved.left + moved.right - window.left - window.right), 1) << "the centre";
    EXPECT_LE(std::abs(moved.top + moved.bottom - window.top - window.bottom), 1);
    KeyCounter(dialog).Press(WXK_ESCAPE);
  });
  EXPECT_EQ(RunDialog({"--no-serial", "--no-udp"}), kExitDone);
  EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
}

// A logoff or shutdown during a Start (WM_QUERYENDSESSION) once the mode switch has gone out:
// command 4 reaches the device before the dialog agrees to the session's end; should the
// session go on, the Start unwinds as after Ctrl-C, without a second command 4. (On Linux the
// session manager's SIGTERM: dialog_start_gui_test.cpp.)
TEST_F(DialogTest, ASessionEndDuringAStartLeavesServiceModeFirst) {
  TestDevice device;
  QUILLON_START_DEVICE(device, TestDevice::State::kFree);
  LRESULT agreed = -1;
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    ASSERT_TRUE(keys.Type("1234"));
    // The Start runs inside the key's handler; the timer fires in its waits.
    wxTimer timer;
    timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      if (agreed != -1 || Count(device.RequestKinds(), "mode") == 0) return;
      agreed = ::SendMessageW(Hwnd(&dialog), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    });
    timer.Start(20);
    wxUIActionSimulator().Char(WXK_RETURN);
    ASSERT_TRUE(PumpUntil([&driver] { return !driver.boxes.empty(); }, kStartTimeoutMs));
    timer.Stop();
    testing::PumpFor(50);
  });
  RunDialog({"--port", device.port(), "--no-udp"});
  EXPECT_EQ(agreed, TRUE) << "the session may end";
  EXPECT_EQ(device.RequestKinds(),
            (std::vector<std::string>{"identify", "status", "mode", "svc4"}));
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextInterruptedLeftServiceMode);
}
#endif  // _WIN32

}  // namespace
}  // namespace quillon
