// What every GUI test needs: a display (on Linux a private Xvfb on a free display) and the toolkit
// started on it, once per test process; and small helpers that let the toolkit run until something
// has happened, always with a time limit.
#pragma once

#include <functional>
#include <string>

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

}  // namespace quillon::testing

// In each GUI test's SetUp: skip with the reason when there is no display.
#define QUILLON_REQUIRE_GUI()                                                                     \
  do {                                                                                            \
    if (!::quillon::testing::GuiAvailable()) GTEST_SKIP() << ::quillon::testing::GuiSkipReason(); \
  } while (0)
