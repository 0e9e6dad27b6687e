#include <windows.h>

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

}  // namespace quillon::testing
