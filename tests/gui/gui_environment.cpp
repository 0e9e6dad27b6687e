#include "gui/gui_environment.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/stopwatch.h>
#include <wx/utils.h>
#include <wx/window.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace quillon::testing {
namespace {

std::string g_skipReason = "the GUI environment was not set up";
bool g_available = false;

class GuiEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string error;
    if (!StartTestDisplay(&error)) {
      g_skipReason = error;
      return;
    }
    static char program[] = "quillon-gui-test";
    static char* argv[] = {program, nullptr};
    int argc = 1;
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv)) {
      g_skipReason = "the toolkit could not start on " + TestDisplayName();
      StopTestDisplay();
      return;
    }
    m_started = true;
    g_available = true;
  }

  void TearDown() override {
    g_available = false;
    if (m_started) wxEntryCleanup();
    m_started = false;
    StopTestDisplay();
  }

 private:
  bool m_started = false;
};

}  // namespace

bool GuiAvailable() {
  return g_available;
}
const std::string& GuiSkipReason() {
  return g_skipReason;
}

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  wxStopWatch watch;
  while (!done()) {
    if (watch.Time() >= timeout_ms) return done();
    wxTheApp->Yield(true);
    wxMilliSleep(2);
  }
  return true;
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

bool FocusAndWait(wxWindow* window) {
  window->SetFocus();
  return PumpUntil([window] { return wxWindow::FindFocus() == window; }, 2000);
}

namespace {

// The simulator's log and record files; Windows' line ends taken off.
std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::vector<std::string> TestDevice::RequestKinds() const {
  // One line per request: "<transport> <kind> <HEX>", where a UDP transport has its sender too.
  std::vector<std::string> kinds;
  for (const std::string& line : ReadLines(m_log)) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.size() >= 2) kinds.push_back(words[words.size() - 2]);
  }
  const auto before = static_cast<std::ptrdiff_t>(std::min(m_kindsBefore, kinds.size()));
  return {kinds.begin() + before, kinds.end()};
}

std::string TestDevice::LastRecordHex() const {
  const std::vector<std::string> lines = ReadLines(m_record);
  return lines.empty() ? std::string() : lines.back();
}

}  // namespace quillon::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quillon::testing::GuiEnvironment);
  return RUN_ALL_TESTS();
}
