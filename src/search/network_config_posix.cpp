// The network configuration on POSIX systems, from getifaddrs. There is no registry: the store
// is built in memory in the registry's layout, so the same lookup serves both platforms.

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "search/network_config.h"

namespace quillon {
namespace {

// The interface list, freed on scope exit.
class InterfaceList {
 public:
  InterfaceList() {
    if (::getifaddrs(&head_) != 0) head_ = nullptr;
  }
  ~InterfaceList() {
    if (head_) ::freeifaddrs(head_);
  }
  InterfaceList(const InterfaceList&) = delete;
  InterfaceList& operator=(const InterfaceList&) = delete;

  const ifaddrs* head() const { return head_; }

 private:
  ifaddrs* head_ = nullptr;
};

// Only interfaces that are up and can broadcast: loopback and point-to-point links have no
// network to broadcast to.
bool IsBroadcastIPv4(const ifaddrs& entry) {
  return entry.ifa_addr && entry.ifa_addr->sa_family == AF_INET && entry.ifa_name &&
         (entry.ifa_flags & IFF_UP) && (entry.ifa_flags & IFF_BROADCAST);
}

IPv4Bytes BytesOf(const sockaddr* address) {
  // sockaddr_in is copied out rather than cast to: getifaddrs gives no alignment promise.
  sockaddr_in in{};
  std::memcpy(&in, address, sizeof in);
  IPv4Bytes out{};
  std::memcpy(out.data(), &in.sin_addr.s_addr, out.size());
  return out;
}

}  // namespace

std::vector<HostAddress> SystemHostAddresses() {
  std::vector<HostAddress> hosts;
  const InterfaceList list;
  for (const ifaddrs* entry = list.head(); entry; entry = entry->ifa_next) {
    if (IsBroadcastIPv4(*entry)) hosts.emplace_back(BytesOf(entry->ifa_addr));
  }
  return hosts;
}

std::unique_ptr<NetworkConfigStore> SystemConfigStore() {
  auto store = std::make_unique<MemoryConfigStore>();
  // The key exists even without interfaces, as it does on every Windows of the NT family.
  store->AddKey(kTcpipInterfacesKey);
  const InterfaceList list;
  for (const ifaddrs* entry = list.head(); entry; entry = entry->ifa_next) {
    if (!IsBroadcastIPv4(*entry)) continue;
    // One subkey per address: an interface with several addresses gets "name#1", "name#2"...
    // for the second and later ones.
    std::string name = entry->ifa_name;
    for (int n = 1; store->HasSubkey(kTcpipInterfacesKey, name); ++n) {
      name = std::string(entry->ifa_name) + "#" + std::to_string(n);
    }
    const std::string path = std::string(kTcpipInterfacesKey) + "\\" + name;
    store->SetText(path, kValueIPAddress, FormatIPv4(BytesOf(entry->ifa_addr)));
    // Without a mask the address stays unresolved, as an interface without "SubnetMask" would.
    if (entry->ifa_netmask) {
      store->SetText(path, kValueSubnetMask, FormatIPv4(BytesOf(entry->ifa_netmask)));
    }
  }
  return store;
}

}  // namespace quillon
