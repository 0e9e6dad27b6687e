// The network configuration on POSIX systems, from getifaddrs. There is no registry: the store
// is built in memory in the registry's layout, so the same lookup serves both platforms.

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <bit>
#include <cstring>
#include <string>

#include "search/network_config.h"

namespace quillon {
namespace {

// The interface list, freed on scope exit.
class InterfaceList {
 public:
  InterfaceList() {
    if (::getifaddrs(&m_head) != 0) m_head = nullptr;
  }
  ~InterfaceList() {
    if (m_head) ::freeifaddrs(m_head);
  }
  InterfaceList(const InterfaceList&) = delete;
  InterfaceList& operator=(const InterfaceList&) = delete;

  const ifaddrs* head() const { return m_head; }

 private:
  ifaddrs* m_head = nullptr;
};

bool IsIPv4(const ifaddrs& entry) {
  return entry.ifa_addr && entry.ifa_addr->sa_family == AF_INET && entry.ifa_name;
}

IPv4Bytes BytesOf(const sockaddr* address) {
  // sockaddr_in is copied out rather than cast to: getifaddrs gives no alignment promise.
  sockaddr_in in{};
  std::memcpy(&in, address, sizeof in);
  IPv4Bytes out{};
  std::memcpy(out.data(), &in.sin_addr.s_addr, out.size());
  return out;
}

int PrefixOf(const IPv4Bytes& mask) {
  int bits = 0;
  for (const std::uint8_t byte : mask) bits += std::popcount(byte);
  return bits;
}

// Why the search does not use this address; empty when it does. An interface without carrier
// (a bridge without members, an unplugged cable) sends nothing, a point-to-point link and a
// /31 or /32 have no network to broadcast to, and such an address would be its own
// "broadcast" address.
std::string WhyLeftOut(const ifaddrs& entry) {
  const unsigned flags = entry.ifa_flags;
  if (flags & IFF_LOOPBACK) return "loopback";
  if (!(flags & IFF_UP)) return "interface down";
  if (!(flags & IFF_RUNNING)) return "no carrier";
  if (flags & IFF_POINTOPOINT) return "point-to-point";
  if (!(flags & IFF_BROADCAST)) return "no broadcast";
  if (!entry.ifa_netmask) return "no subnet mask";
  const int prefix = PrefixOf(BytesOf(entry.ifa_netmask));
  if (prefix >= 31) return "a /" + std::to_string(prefix) + " has no broadcast address";
  return {};
}

}  // namespace

std::vector<LocalNetwork> DescribeLocalNetworks() {
  std::vector<LocalNetwork> networks;
  std::size_t used = 0;
  const InterfaceList list;
  for (const ifaddrs* entry = list.head(); entry; entry = entry->ifa_next) {
    if (!IsIPv4(*entry) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    LocalNetwork n;
    n.interfaceName = entry->ifa_name;
    n.address = BytesOf(entry->ifa_addr);
    if (entry->ifa_netmask) {
      const IPv4Bytes mask = BytesOf(entry->ifa_netmask);
      n.prefix = PrefixOf(mask);
      if (n.prefix < 31) n.broadcast = BroadcastOf(n.address, mask);
    }
    n.leftOut = WhyLeftOut(*entry);
    if (n.leftOut.empty() && ++used > kMaxHostAddresses) n.leftOut = "beyond the fourth";
    networks.push_back(std::move(n));
  }
  return networks;
}

std::vector<IPv4Bytes> OwnAddresses() {
  std::vector<IPv4Bytes> own;
  const InterfaceList list;
  for (const ifaddrs* entry = list.head(); entry; entry = entry->ifa_next) {
    if (IsIPv4(*entry)) own.push_back(BytesOf(entry->ifa_addr));
  }
  return own;
}

std::vector<HostAddress> SystemHostAddresses() {
  std::vector<HostAddress> hosts;
  const InterfaceList list;
  for (const ifaddrs* entry = list.head(); entry; entry = entry->ifa_next) {
    if (IsIPv4(*entry) && WhyLeftOut(*entry).empty()) hosts.emplace_back(BytesOf(entry->ifa_addr));
  }
  return hosts;
}

std::unique_ptr<NetworkConfigStore> SystemConfigStore() {
  auto store = std::make_unique<MemoryConfigStore>();
  // The key exists even without interfaces, as it does on every Windows of the NT family.
  store->AddKey(kTcpipInterfacesKey);
  const InterfaceList list;
  for (const ifaddrs* entry = list.head(); entry; entry = entry->ifa_next) {
    if (!IsIPv4(*entry) || !WhyLeftOut(*entry).empty()) continue;
    // One subkey per address: an interface with several addresses gets "name#1", "name#2"...
    // for the second and later ones.
    std::string name = entry->ifa_name;
    for (int n = 1; store->HasSubkey(kTcpipInterfacesKey, name); ++n) {
      name = std::string(entry->ifa_name) + "#" + std::to_string(n);
    }
    const std::string path = std::string(kTcpipInterfacesKey) + "\\" + name;
    store->SetText(path, kValueIPAddress, FormatIPv4(BytesOf(entry->ifa_addr)));
    store->SetText(path, kValueSubnetMask, FormatIPv4(BytesOf(entry->ifa_netmask)));
  }
  return store;
}

}  // namespace quillon
