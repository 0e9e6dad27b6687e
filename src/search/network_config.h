// Where the broadcast addresses come from on this computer: its IPv4 addresses and its network
// configuration store. One implementation per platform:
//   Windows: the host name's addresses (gethostname/gethostbyname) and the registry.
//   POSIX:   the IPv4 addresses, in getifaddrs order, of the interfaces that are up, running
//            (they have a carrier) and can broadcast, are neither loopback nor point-to-point,
//            and whose prefix is shorter than /31 (a /31 or /32 has no broadcast address); and
//            an in-memory store laid out as the registry's interfaces key, with one subkey per
//            such address holding its "IPAddress" and "SubnetMask" texts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "search/broadcast_addresses.h"

namespace quillon {

// The computer's IPv4 addresses that the search may use, in the system's order; empty when none
// can be learnt.
std::vector<HostAddress> SystemHostAddresses();

// One IPv4 address of this computer as the port listing shows it, and whether the search sends
// the identify request to its network.
struct LocalNetwork {
  std::string interfaceName;  // empty where the system does not tell
  IPv4Bytes address{};
  int prefix = -1;        // -1 where unknown
  IPv4Bytes broadcast{};  // zero when it has none (or none is known)
  std::string leftOut;    // why the search does not send there; empty when it does
};
// Every IPv4 address of this computer but loopback, in the search's order.
std::vector<LocalNetwork> DescribeLocalNetworks();

// Every IPv4 address of this computer, loopback included: no identify request goes there.
std::vector<IPv4Bytes> OwnAddresses();

// The system's network configuration store, read only. Never null.
std::unique_ptr<NetworkConfigStore> SystemConfigStore();

// The broadcast addresses of the local networks, from the system's own inputs.
inline BroadcastAddresses GetBroadcastAddresses() {
  const std::unique_ptr<NetworkConfigStore> store = SystemConfigStore();
  return GetBroadcastAddresses(SystemHostAddresses(), *store);
}

}  // namespace quillon
