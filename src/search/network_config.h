// Where the broadcast addresses come from on this computer: its IPv4 addresses and its network
// configuration store. One implementation per platform:
//   Windows: the host name's addresses (gethostname/gethostbyname) and the registry.
//   POSIX:   the IPv4 addresses of the interfaces that are up and can broadcast, in getifaddrs
//            order, and an in-memory store laid out as the registry's interfaces key, with one
//            subkey per such address holding its "IPAddress" and "SubnetMask" texts.
#pragma once

#include <memory>
#include <vector>

#include "search/broadcast_addresses.h"

namespace quillon {

// The computer's IPv4 addresses in the system's order; empty when none can be learnt.
std::vector<HostAddress> SystemHostAddresses();

// The system's network configuration store, read only. Never null.
std::unique_ptr<NetworkConfigStore> SystemConfigStore();

// The broadcast addresses of the local networks, from the system's own inputs.
inline BroadcastAddresses GetBroadcastAddresses() {
  const std::unique_ptr<NetworkConfigStore> store = SystemConfigStore();
  return GetBroadcastAddresses(SystemHostAddresses(), *store);
}

}  // namespace quillon
