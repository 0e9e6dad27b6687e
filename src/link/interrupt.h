// A request to stop what the tool is doing (the command line's Ctrl-C). Once it is set, every
// wait of the link ends at once, so that the procedure in progress unwinds to a place where it
// can leave the device as it was.
#pragma once

namespace quillon {

// Safe to call from a signal handler.
void RequestInterrupt();
bool InterruptRequested();
void ClearInterrupt();

}  // namespace quillon
