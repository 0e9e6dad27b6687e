#include <X11/Xlib.h>
#include <unistd.h>

#include "app/gui/session_end.h"
#include "link/serial_port.h"
#include "search/service_mode_record.h"

namespace quillon {
namespace {

// Xlib ends the process when this returns; GDK's own handler would end it at once. The Start's
// socket and port are still open here: command 4 can go out before the process ends.
int OnDisplayLost(Display* /*display*/) {
  ServiceModeRecord::OfProcess().LeaveAll(LeaveFrom::kProcessEnd);
  ReleaseSerialPortsForExit();
  ::_exit(1);
}

}  // namespace

// On Wayland the handler is never called; there the toolkit ends the process as it does.
void WatchSessionEnd() {
  ::XSetIOErrorHandler(OnDisplayLost);
}

}  // namespace quillon
