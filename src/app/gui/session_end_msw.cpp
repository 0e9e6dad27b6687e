#include <windows.h>
#include <wx/app.h>
#include <wx/event.h>
#include <wx/window.h>

#include "app/console.h"
#include "app/gui/session_end.h"
#include "link/interrupt.h"
#include "link/serial_port.h"
#include "search/device_search.h"

namespace quillon {

// Windows asks every window before a logoff or shutdown (WM_QUERYENDSESSION) and may end the
// process soon after it agreed. During a Start the device gets command 4 before the answer, with
// a block reason on the shutdown screen while it does; the Start, should the session go on after
// all, unwinds as after Ctrl-C.
void WatchSessionEnd(wxWindow& dialog) {
  const HWND hwnd = static_cast<HWND>(dialog.GetHWND());
  wxTheApp->Bind(wxEVT_QUERY_END_SESSION, [hwnd](wxCloseEvent& event) {
    if (!StartInProgress()) {
      event.Skip();
      return;
    }
    ::ShutdownBlockReasonCreate(hwnd, L"Telling the Quillon to leave its service mode");
    RequestInterrupt();
    LeaveServiceModeNow();
    ::ShutdownBlockReasonDestroy(hwnd);
  });
  wxTheApp->Bind(wxEVT_END_SESSION, [](wxCloseEvent& event) {
    if (StartInProgress()) {
      LeaveServiceModeNow();
      ReleaseSerialPortsForExit();
    }
    event.Skip();
  });
}

}  // namespace quillon
