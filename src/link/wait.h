// How the link spends the time of a wait: in slices, each blocking at most until the deadline,
// with the link's wait hook between them; an interruption ends every wait at once.
#pragma once

#include "link/deadline.h"
#include "link/link.h"

namespace quillon {

// Whether a wait of the link until the deadline is over: its time has passed, or the user
// interrupted an interruptible link.
bool WaitOver(const Link& link, const Deadline& deadline);
// Runs the link's wait hook, then gives how long the next blocking slice of a wait may take:
// what is left, at most a second (with a wait hook, far less), never below 0.
int NextWaitSliceMs(const Link& link, const Deadline& deadline);

}  // namespace quillon
