// The Windows dialog as it runs on Windows (under Wine on the X server that
// tests/windows/wine.sh starts): the program's own resources, the template's layout in dialog
// units with the system's dialog font, the colours as drawn, and Starts against simulators on
// pseudo-terminals that Wine maps to COM ports. The script names the ports and the simulators'
// files in the environment:
//   QUILLON_TEST_COM          a simulated device with serial number 1234
//   QUILLON_TEST_COM_IN_USE   a device with serial number 1234 that is in use
//   QUILLON_TEST_SIM_LOG, QUILLON_TEST_SIM_RECORD
//                             the first simulator's request log and record file
//   QUILLON_TEST_SCREENSHOT   where to write a picture of the dialog (BMP), when set
//   QUILLON_TEST_DPI          the DPI the script has set (Wine's LogPixels), when set

// The toolkit's way to windows.h (winsock2.h before it).
#include <wx/msw/wrapwin.h>
// Then the rest.
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
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
using testing::KeyCounter;
using testing::ModalDriver;
using testing::PumpUntil;
using testing::RunDialog;
using testing::StartButton;
using testing::TabIntoField;
using testing::Text;

constexpr long kErrorBox = wxOK | wxICON_EXCLAMATION;
constexpr long kInformationBox = wxOK | wxICON_INFORMATION;
constexpr int kStartTimeoutMs = 15000;
// The default simulator's record: its module block and status fields, with 5000 V.
constexpr char kDefaultRecord[] = "1200073412010000881394112003112233440000";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// Service command 5 requests in the simulator's log.
int RecordWrites() {
  int count = 0;
  for (const std::string& line : ReadLines(Env("QUILLON_TEST_SIM_LOG"))) {
    if (line.find(" svc5 ") != std::string::npos) ++count;
  }
  return count;
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

InkCount CountInk(const wxImage& image) {
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

class DialogMswTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILLON_REQUIRE_GUI(); }
};

// The COM port of a simulated device, named by the environment variable, or skip.
#define QUILLON_REQUIRE_PORT(variable, port)       \
  const std::string port = Env(variable);          \
  if (port.empty())                                \
  GTEST_SKIP() << variable                         \
      " is not set: tests/windows/wine.sh maps a " \
      "simulator's pseudo-terminal to a COM port for this test"

TEST_F(DialogMswTest, OpensShowingZeroWithTheFocusOnStartInTheTemplatesLayout) {
  ModalDriver driver([](MainDialog& dialog) {
    const HWND hwnd = Hwnd(&dialog);
    wchar_t caption[64] = {};
    ::GetWindowTextW(hwnd, caption, 64);
    EXPECT_EQ(wxString(caption).utf8_string(), kCaption);
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
    // The caption's and the taskbar's icons from icon group 128: of its 32 and 16 pixel images
    // the smallest that is at least the system's size (at 96 DPI 32 and 16), else the largest.
    for (const auto& [which, metric] :
         {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
      const int size = ::GetSystemMetrics(metric) <= 16 ? 16 : 32;
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
    // The system's dialog font (the message font of Windows' own dialogs), on the dialog and
    // on every control; the template's places in dialog units of that font.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const auto font = static_cast<HFONT>(dialog.GetFont().GetHFONT());
    const SIZE base = DialogBaseUnits(font);
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
      EXPECT_EQ(RectInDialog(c.window),
                pixels(c.place.x, c.place.y, c.place.width, c.place.height));
      // Nothing clipped at this DPI: each text fits its control (the button's and the field's
      // with room for their frames).
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

    // Tab order: "Start" first, so it has the focus; the field is an edit control showing '0',
    // right-aligned.
    EXPECT_EQ(::GetFocus(), Hwnd(StartButton(dialog)));
    EXPECT_EQ(::SendMessageW(Hwnd(StartButton(dialog)), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON,
              DLGC_DEFPUSHBUTTON);
    const HWND field = Hwnd(Field(dialog));
    wchar_t text[16] = {};
    ::GetWindowTextW(field, text, 16);
    EXPECT_STREQ(text, L"0");
    EXPECT_TRUE(::GetWindowLongPtrW(field, GWL_STYLE) & ES_RIGHT);
    EXPECT_EQ(::GetDlgCtrlID(field), kIdSerialField);

    KeyCounter keys(dialog);
    keys.Press(WXK_ESCAPE);
  });
  EXPECT_EQ(RunDialog({"--no-serial", "--no-udp"}), kExitDone);
  EXPECT_EQ(driver.dialogsShown, 1);
  EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
  EXPECT_TRUE(driver.boxes.empty());
}

// Windows sends WM_DPICHANGED when the dialog moves to a monitor of another scale, with a
// rectangle that scales the old pixels; the toolkit gives the controls the fonts of the new DPI
// and sends wxEVT_DPI_CHANGED, and the dialog must place them again from the template, at its
// own size, keeping its centre. Wine has one DPI for every monitor and does not report the
// per-monitor (v2) awareness the toolkit waits for before it passes the message on, so the
// toolkit's event is sent to the dialog here, after the controls and the window have been moved
// and sized as they might be.
TEST_F(DialogMswTest, AChangeOfDpiPlacesTheControlsAgainFromTheTemplate) {
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

// Typed into the field (Tab from "Start" selects its '0', so typing replaces it): digits only,
// at most five.
TEST_F(DialogMswTest, TheFieldTakesAtMostFiveDigits) {
  EXPECT_EQ(testing::TypeIntoTheField(
                {{"12a3", "123"}, {"-5", "5"}, {"4.2", "42"}, {"x 9", "9"}, {"123456", "12345"}}),
            wxID_CANCEL);
}

// The colour as the edit control draws it: the pixels of the text in a picture of the field.
TEST_F(DialogMswTest, ANumberAboveTheRangeIsDrawnRed) {
  struct Case {
    const char* typed;
    bool red;
  };
  const Case cases[] = {{"40000", false}, {"40001", true}, {"99999", true}, {"0", false}};
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    for (const Case& c : cases) {
      SCOPED_TRACE(c.typed);
      Field(dialog)->SelectAll();
      ASSERT_TRUE(keys.Type(c.typed));
      ::HideCaret(Hwnd(Field(dialog)));  // its black bar would count as text
      const InkCount ink = CountInk(Capture(*Field(dialog), false));
      ::ShowCaret(Hwnd(Field(dialog)));
      if (c.red) {
        EXPECT_GT(ink.red, 5);
        EXPECT_EQ(ink.dark, 0);
      } else {
        EXPECT_GT(ink.dark, 5);
        EXPECT_EQ(ink.red, 0);
      }
    }
    const std::string screenshot = Env("QUILLON_TEST_SCREENSHOT");
    if (!screenshot.empty()) {
      Field(dialog)->SelectAll();
      keys.Type("1234");
      ::HideCaret(Hwnd(Field(dialog)));
      EXPECT_TRUE(Capture(dialog, true).SaveFile(screenshot, wxBITMAP_TYPE_BMP));
      ::ShowCaret(Hwnd(Field(dialog)));
    }
    keys.Press(WXK_ESCAPE);
  });
  RunDialog({"--no-serial", "--no-udp"});
}

// A click on "Start" against the device on the COM port: the record reaches it, the success
// message shows and the dialog closes.
TEST_F(DialogMswTest, StartReconfiguresTheDeviceOnTheComPort) {
  QUILLON_REQUIRE_PORT("QUILLON_TEST_COM", port);
  const int writes_before = RecordWrites();
  long long start_ms = -1;
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    ASSERT_TRUE(keys.Type("1234"));
    wxButton* start = StartButton(dialog);
    wxUIActionSimulator mouse;
    mouse.MouseMove(start->GetScreenRect().GetPosition() + start->GetSize() / 2);
    const auto pressed = std::chrono::steady_clock::now();
    mouse.MouseClick();
    ASSERT_TRUE(PumpUntil([&driver] { return !driver.boxes.empty(); }, kStartTimeoutMs));
    start_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - pressed)
                   .count();
    EXPECT_TRUE(PumpUntil([&dialog] { return testing::DialogEnded(dialog); }, 2000));
  });
  EXPECT_EQ(RunDialog({"--port", port, "--no-udp"}), kExitDone);
  EXPECT_EQ(driver.dialogResult, wxID_OK);
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextSuccess);
  EXPECT_EQ(driver.boxes[0].caption, kCaption);
  EXPECT_EQ(driver.boxes[0].style, kInformationBox);
  EXPECT_NE(driver.boxes[0].parent, nullptr) << "owned by the dialog";
  EXPECT_EQ(RecordWrites(), writes_before + 1);
  const std::vector<std::string> record = ReadLines(Env("QUILLON_TEST_SIM_RECORD"));
  ASSERT_EQ(record.size(), 1u);
  EXPECT_EQ(record[0], kDefaultRecord);
  // For CTest's output, beside the command line's Start.
  std::printf("TIMING dialog Start %lld ms\n", start_ms);
  RecordProperty("start_ms", std::to_string(start_ms));
}

// Failed Starts show their one message and leave the dialog open; nothing is written.
TEST_F(DialogMswTest, AFailedStartShowsItsMessageAndLeavesTheDialogOpen) {
  QUILLON_REQUIRE_PORT("QUILLON_TEST_COM", port);
  QUILLON_REQUIRE_PORT("QUILLON_TEST_COM_IN_USE", in_use_port);
  struct Case {
    std::string port;
    const char* serial;
    std::string_view text;
    long style;
  };
  const Case cases[] = {{port, "4321", kTextNotDetected, kInformationBox},
                        {in_use_port, "1234", kTextInUse, kErrorBox}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const int writes_before = RecordWrites();
    ModalDriver driver([&](MainDialog& dialog) {
      KeyCounter keys(dialog);
      ASSERT_TRUE(TabIntoField(dialog, keys));
      ASSERT_TRUE(keys.Type(c.serial));
      wxUIActionSimulator().Char(WXK_RETURN);
      ASSERT_TRUE(PumpUntil([&driver] { return !driver.boxes.empty(); }, kStartTimeoutMs));
      testing::PumpFor(50);
      EXPECT_FALSE(testing::DialogEnded(dialog));
      EXPECT_EQ(Text(dialog), c.serial);
    });
    RunDialog({"--port", c.port, "--no-udp"});
    EXPECT_TRUE(driver.closedByDriver);
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].text, c.text);
    EXPECT_EQ(driver.boxes[0].caption, kCaption);
    EXPECT_EQ(driver.boxes[0].style, c.style);
    EXPECT_EQ(RecordWrites(), writes_before);
  }
}

// A logoff or shutdown during a Start (WM_QUERYENDSESSION) once the mode switch has gone out:
// command 4 reaches the device before the dialog agrees to the session's end; should the
// session go on, the Start unwinds as after Ctrl-C, without a second command 4.
TEST_F(DialogMswTest, ASessionEndDuringAStartLeavesServiceModeFirst) {
  QUILLON_REQUIRE_PORT("QUILLON_TEST_COM", port);
  const std::size_t before = ReadLines(Env("QUILLON_TEST_SIM_LOG")).size();
  const auto requests = [before] {
    std::vector<std::string> kinds;
    const std::vector<std::string> lines = ReadLines(Env("QUILLON_TEST_SIM_LOG"));
    for (std::size_t i = before; i < lines.size(); ++i) {
      for (const char* kind : {"identify", "status", "mode", "svc0", "svc4", "svc5"}) {
        if (lines[i].find(std::string(" ") + kind + " ") != std::string::npos)
          kinds.push_back(kind);
      }
    }
    return kinds;
  };
  LRESULT agreed = -1;
  ModalDriver driver([&](MainDialog& dialog) {
    KeyCounter keys(dialog);
    ASSERT_TRUE(TabIntoField(dialog, keys));
    ASSERT_TRUE(keys.Type("1234"));
    // The Start runs inside the key's handler; the timer fires in its waits.
    wxTimer timer;
    timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      const std::vector<std::string> kinds = requests();
      if (agreed != -1 || std::find(kinds.begin(), kinds.end(), "mode") == kinds.end()) return;
      agreed = ::SendMessageW(Hwnd(&dialog), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    });
    timer.Start(20);
    wxUIActionSimulator().Char(WXK_RETURN);
    ASSERT_TRUE(PumpUntil([&driver] { return !driver.boxes.empty(); }, kStartTimeoutMs));
    timer.Stop();
    testing::PumpFor(50);
  });
  RunDialog({"--port", port, "--no-udp"});
  EXPECT_EQ(agreed, TRUE) << "the session may end";
  EXPECT_EQ(requests(), (std::vector<std::string>{"identify", "status", "mode", "svc4"}));
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextInterruptedLeftServiceMode);
}

// Escape and the close box end the dialog with the cancel code and send nothing to the device.
TEST_F(DialogMswTest, EscapeAndTheCloseBoxEndWithoutDeviceTraffic) {
  QUILLON_REQUIRE_PORT("QUILLON_TEST_COM", port);
  const std::size_t requests_before = ReadLines(Env("QUILLON_TEST_SIM_LOG")).size();
  for (const bool escape : {true, false}) {
    SCOPED_TRACE(escape ? "Escape" : "close box");
    ModalDriver driver([&](MainDialog& dialog) {
      EXPECT_NE(dialog.socket(), nullptr);
      KeyCounter keys(dialog);
      ASSERT_TRUE(TabIntoField(dialog, keys));
      ASSERT_TRUE(keys.Type("1234"));
      if (escape) {
        keys.Press(WXK_ESCAPE);
      } else {
        ::SendMessageW(Hwnd(&dialog), WM_SYSCOMMAND, SC_CLOSE, 0);  // what the close box sends
      }
      PumpUntil([&dialog] { return testing::DialogEnded(dialog); }, 2000);
    });
    EXPECT_EQ(RunDialog({"--port", port, "--address", "127.0.0.1"}), kExitDone);
    EXPECT_EQ(driver.dialogResult, wxID_CANCEL);
    EXPECT_FALSE(driver.closedByDriver);
    EXPECT_TRUE(driver.boxes.empty());
  }
  testing::PumpFor(300);
  EXPECT_EQ(ReadLines(Env("QUILLON_TEST_SIM_LOG")).size(), requests_before)
      << "nothing reached the device";
}

bool FailingStart() {
  return false;
}
void NoStop() {}

// Without the socket interface, string 103 of the program's string table is all there is.
TEST_F(DialogMswTest, WithoutTheSocketInterfaceOnlyString103Shows) {
  wchar_t resource[128] = {};
  ASSERT_GT(::LoadStringW(::GetModuleHandleW(nullptr), 103, resource, 128), 0);
  EXPECT_EQ(wxString(resource).utf8_string(), kTextSocketInitFailed);

  ModalDriver driver;
  EXPECT_EQ(RunServiceTool({"quillon-reconfigurator"}, {&FailingStart, &NoStop}),
            kExitSocketFailure);
  EXPECT_EQ(driver.dialogsShown, 0);
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextSocketInitFailed);
  EXPECT_EQ(driver.boxes[0].caption, kCaption);
  EXPECT_EQ(driver.boxes[0].style, kErrorBox);
  EXPECT_EQ(driver.boxes[0].parent, nullptr);
}

}  // namespace
}  // namespace quillon
