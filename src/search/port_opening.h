// Opening the ports of a search side by side. An open can take seconds (a Bluetooth serial port
// connects to its device first) and would hold up every port after it; so the ports of the table
// open on a few threads at once, and a port still opening (or not yet begun) when the bound has
// passed is not searched: a handle that comes later is closed as soon as its open returns.
#pragma once

#include <vector>

#include "link/link.h"
#include "link/serial_port.h"

namespace quillon {

// How long the search waits for its ports to open.
inline constexpr int kPortOpenBoundMs = 300;

struct PortOpening {
  int number = 0;  // COMn
  SerialPort port;
  SerialOpenResult result;
  bool late = false;  // still opening when the bound passed: not searched
};

// Opens every port of the link's port table, side by side, waiting at most bound_ms of real
// time. In COM order. The platform's OpenSerial and SerialClose must allow calls from several
// threads at once; an open still running when this returns holds on to the platform until it
// ends.
std::vector<PortOpening> OpenPortsSideBySide(const Link& link, int bound_ms = kPortOpenBoundMs);

}  // namespace quillon
