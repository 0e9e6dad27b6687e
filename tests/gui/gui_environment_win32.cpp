// The toolkit's way to windows.h (winsock2.h before it).
#include <wx/msw/wrapwin.h>
// Then the rest.
#include <wx/dialog.h>

#include <cstdlib>

#include "gui/gui_environment.h"

namespace quillon::testing {

// Windows has its display already. Under Wine, a process started without a reachable X server
// gets a desktop without a screen; that is told apart by its size.
bool StartTestDisplay(std::string* error) {
  if (::GetSystemMetrics(SM_CXSCREEN) > 0 && ::GetSystemMetrics(SM_CYSCREEN) > 0) return true;
  *error =
      "no screen: under Wine the dialog tests need an X server (DISPLAY); "
      "tests/windows/wine.sh starts a private Xvfb for them";
  return false;
}

void StopTestDisplay() {}

std::string TestDisplayName() {
  return "the Windows desktop";
}

void PressCloseBox(wxDialog& dialog) {
  ::SendMessageW(static_cast<HWND>(dialog.GetHWND()), WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::optional<std::set<std::string>> OwnUdpSockets() {
  return std::nullopt;
}

struct TestDevice::Simulator {};

TestDevice::TestDevice() = default;
TestDevice::~TestDevice() = default;

std::string TestDevice::Start(State state, bool* skip) {
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  const bool free = state == State::kFree;
  m_port = env(free ? "QUILLON_TEST_COM" : "QUILLON_TEST_COM_IN_USE");
  m_log = env(free ? "QUILLON_TEST_SIM_LOG" : "QUILLON_TEST_SIM_IN_USE_LOG");
  m_record = env(free ? "QUILLON_TEST_SIM_RECORD" : "QUILLON_TEST_SIM_IN_USE_RECORD");
  *skip = m_port.empty() || m_log.empty();
  if (*skip) {
    return "no simulated device: tests/windows/wine.sh --devices maps simulators' "
           "pseudo-terminals to COM ports for this test";
  }
  m_kindsBefore = 0;
  m_kindsBefore = RequestKinds().size();
  return {};
}

}  // namespace quillon::testing
