// What ends the dialog's process without unwinding a Start in progress: on Linux the loss of the
// display connection, on Windows the end of the user's session (logoff, shutdown). Each sends
// the device command 4 first when it may be in its service mode. One implementation per toolkit
// platform (session_end_gtk.cpp, session_end_msw.cpp).
#pragma once

namespace quillon {

// Once per process; later calls do nothing.
void WatchSessionEnd();

}  // namespace quillon
