// Several devices in one Start (the command line's --serial given more than once): one search
// window finds them all, then every usable device goes through its exchanges at the same time as
// the others, on a thread and a link of its own, so that no exchange drains another's reply.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "link/datagram_socket.h"
#include "link/link.h"
#include "reconfig/messages.h"
#include "reconfig/reconfig_session.h"
#include "search/device_search.h"

namespace quillon {

struct DeviceStart {
  std::uint16_t serialNumber = 0;
  StartReport report;
};

struct SeveralStarts {
  Platform& platform;
  // The search window's socket; null: no network.
  DatagramSocket* searchSocket = nullptr;
  SearchOptions options;
  // The front end's wire trace and notes (each device's lines carry its serial number); may be
  // null. Its wait hook does not run on the devices' threads.
  const LinkHooks* hooks = nullptr;
  Wording wording = Wording::kCommandLine;
  // The socket of a device reached over the network: its own, so that its replies reach it alone.
  std::function<std::unique_ptr<DatagramSocket>()> makeSocket = CreateLinkSocket;
};

// Reconfigures the devices with these numbers side by side. `ended` is told of each device as it
// ends, one call at a time. Gives every device's report in the order the numbers were named.
std::vector<DeviceStart> StartSeveral(const SeveralStarts& setup,
                                      const std::vector<std::uint16_t>& numbers,
                                      const std::function<void(const DeviceStart&)>& ended);

}  // namespace quillon
