// How the link spends the time of a wait: in slices, each blocking at most until the deadline,
// with the wait hook between them; an interruption ends every wait at once.
#pragma once

#include <functional>

#include "link/deadline.h"

namespace quillon {

// Whether a wait until the deadline is over: its time has passed, or the user interrupted.
bool WaitOver(const Deadline& deadline);
// Runs the wait hook, then gives how long the next blocking slice of a wait may take: what is
// left, at most a second (with a wait hook, far less), never below 0.
int NextWaitSliceMs(const Deadline& deadline);

// Called before every blocking slice of a wait of the link, that is at least every few tens of
// milliseconds while one runs: the dialog keeps its window painted there during a Start. Empty:
// none.
void SetWaitHook(std::function<void()> hook);

}  // namespace quillon
