// What every GUI test needs: a display (on Linux a private Xvfb on a free display) and the toolkit
// started on it, once per test process; and small helpers that let the toolkit run until something
// has happened, always with a time limit.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class wxDialog;
class wxWindow;

namespace quillon::testing {

// True when Xvfb and the toolkit are up; otherwise GuiSkipReason() says why.
bool GuiAvailable();
const std::string& GuiSkipReason();

// Lets the toolkit handle its events until `done` holds or timeout_ms has passed. Returns done().
bool PumpUntil(const std::function<bool()>& done, int timeout_ms);
// Lets the toolkit handle its events for `ms` milliseconds.
void PumpFor(int ms);

// Gives `window` the keyboard focus and waits until the toolkit reports it.
bool FocusAndWait(wxWindow* window);

// The display the windows show on, one file per platform: on Linux a private Xvfb that the test
// process starts itself; on Windows the system's (under Wine, the X server that
// tests/windows/wine.sh starts). Start gives false with the reason when there is none.
bool StartTestDisplay(std::string* error);
void StopTestDisplay();
std::string TestDisplayName();

// What the user's click on the close box sends the dialog, as the platform sends it.
void PressCloseBox(wxDialog& dialog);

// The UDP sockets this process holds (their inodes), or nothing where the system does not tell.
std::optional<std::set<std::string>> OwnUdpSockets();

// A simulated device with serial number 1234 for a Start from the dialog. On Linux a simulator
// on a pseudo-terminal, started for the test and ended with it; on Windows (under Wine) one of
// the two that tests/windows/wine.sh maps to COM ports for the whole test program, of which a
// test sees the requests from its Start on.
class TestDevice {
 public:
  enum class State { kFree, kInUse };

  TestDevice();
  ~TestDevice();
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  // Empty when the device is there; else why not, with *skip set when the platform has no such
  // device for the test (rather than one that failed to start).
  std::string Start(State state, bool* skip);
  // The port as --port names it.
  const std::string& port() const { return m_port; }
  // The kinds of the requests it received since Start, in order: identify, status, mode, svc0 ...
  std::vector<std::string> RequestKinds() const;
  // The last record written to it, as upper-case hex; empty when none.
  std::string LastRecordHex() const;

 private:
  struct Simulator;  // the simulator a test starts itself, where it does
  std::unique_ptr<Simulator> m_simulator;
  std::string m_port;
  std::string m_log;
  std::string m_record;
  std::size_t m_kindsBefore = 0;  // requests logged before Start
};

}  // namespace quillon::testing

// In a test: the device in this state, or skip (or fail) with the reason.
#define QUILLON_START_DEVICE(device, state)                 \
  do {                                                      \
    bool skip_ = false;                                     \
    const std::string why_ = (device).Start(state, &skip_); \
    if (skip_) GTEST_SKIP() << why_;                        \
    ASSERT_EQ(why_, "");                                    \
  } while (0)

// In each GUI test's SetUp: skip with the reason when there is no display.
#define QUILLON_REQUIRE_GUI()                                                                     \
  do {                                                                                            \
    if (!::quillon::testing::GuiAvailable()) GTEST_SKIP() << ::quillon::testing::GuiSkipReason(); \
  } while (0)
