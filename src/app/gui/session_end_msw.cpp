// The toolkit's way to windows.h (winsock2.h before it).
#include <wx/msw/wrapwin.h>
// Then the rest.
#include <wx/app.h>
#include <wx/event.h>
#include <wx/window.h>

#include "app/console.h"
#include "app/gui/session_end.h"
#include "link/interrupt.h"
#include "link/serial_port.h"
#include "search/service_mode_record.h"

namespace quillon {
namespace {

HWND TopWindow() {
  wxWindow* top = wxTheApp->GetTopWindow();
  return top != nullptr ? static_cast<HWND>(top->GetHWND()) : nullptr;
}

}  // namespace

// Windows asks every window before a logoff or shutdown (WM_QUERYENDSESSION) and may end the
// process soon after it agreed. During a Start the device gets command 4 before the answer, with
// a block reason on the shutdown screen while it does; the Start, should the session go on after
// all, unwinds as after Ctrl-C.
void WatchSessionEnd() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  wxTheApp->Bind(wxEVT_QUERY_END_SESSION, [](wxCloseEvent& event) {
    if (!StartInProgress()) {
      event.Skip();
      return;
    }
    const HWND hwnd = TopWindow();
    if (hwnd) ::ShutdownBlockReasonCreate(hwnd, L"Telling the Quillon to leave its service mode");
    RequestInterrupt();
    ServiceModeRecord::OfProcess().LeaveAll(LeaveFrom::kProcessEnd);
    if (hwnd) ::ShutdownBlockReasonDestroy(hwnd);
  });
  wxTheApp->Bind(wxEVT_END_SESSION, [](wxCloseEvent& event) {
    if (StartInProgress()) {
      ServiceModeRecord::OfProcess().LeaveAll(LeaveFrom::kProcessEnd);
      ReleaseSerialPortsForExit();
    }
    event.Skip();
  });
}

}  // namespace quillon
