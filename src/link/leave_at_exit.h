// What a path that ends the process at once (a further signal while the tool is already leaving,
// a crash) sends before it goes: the ready-made command 4 frame to every device that may be in
// service mode, on its port or through its socket, without waiting for an answer. Fixed-size and
// lock-free, so that a signal handler can read it while other threads arm and disarm devices.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/endpoint.h"
#include "link/link.h"

namespace quillon {

// From the mode-switch request on: the device may be in service mode. A device over the network
// is armed only when the link's socket has a system handle.
void ArmLeaveAtExit(const Link& link, const LinkEndpoint& endpoint);
// The device has left service mode, or its port or socket is about to close.
void DisarmLeaveAtExit(const LinkEndpoint& endpoint);
// Everything armed on this port or socket (called as it closes, so that nothing is ever written
// to a closed or reused descriptor).
void DisarmLeaveAtExitPort(SerialHandle port);
void DisarmLeaveAtExitSocket(std::intptr_t socket);
// Sends command 4 to every armed device, once each. Only async-signal-safe calls. Returns how
// many devices it went to.
std::size_t LeaveAtExitNow();
// Whether command 4 is armed for this port: noted as in service mode and not closed since.
bool ArmedAtExit(SerialHandle port);
// How many devices are armed.
std::size_t ArmedAtExit();

}  // namespace quillon
