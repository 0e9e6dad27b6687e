// The broadcast address of each local IPv4 network, worked out from the host's own addresses and
// the subnet masks that the network configuration store (the registry on Windows) holds for them.
// The identify request of the device search goes to each of these addresses.
//
// The computation is pure: it sees the host addresses and the store only through their types, so
// every layout the store can have is testable with MemoryConfigStore.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "search/config_store.h"
#include "search/ipv4.h"

namespace quillon {

// At most this many host addresses are used, and as many broadcast addresses are given.
inline constexpr std::size_t kMaxHostAddresses = 4;

// Entry j belongs to host address j; all four bytes zero means none.
using BroadcastAddresses = std::array<IPv4Bytes, kMaxHostAddresses>;

// Keys and value names of the store, as the Windows registry lays them out under
// HKEY_LOCAL_MACHINE. One subkey per interface (NT family), per network transport and per DHCP
// lease (the older family).
inline constexpr char kTcpipInterfacesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
inline constexpr char kNetTransKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\NetTrans";
inline constexpr char kVxdDhcpKey[] = "SYSTEM\\CurrentControlSet\\Services\\VxD\\DHCP";
inline constexpr char kValueIPAddress[] = "IPAddress";
inline constexpr char kValueSubnetMask[] = "SubnetMask";
inline constexpr char kValueDhcpIPAddress[] = "DhcpIPAddress";
inline constexpr char kValueDhcpSubnetMask[] = "DhcpSubnetMask";
inline constexpr char kValueIPMask[] = "IPMask";

// Text values are read through a buffer of this many bytes (terminator included); longer values
// do not read.
inline constexpr std::size_t kConfigTextCapacity = 260;

// One IPv4 address of this computer, with its dotted text as the store writes addresses.
struct HostAddress {
  explicit HostAddress(const IPv4Bytes& address) : bytes(address), text(FormatIPv4(address)) {}

  IPv4Bytes bytes;
  std::string text;
};

// The broadcast address of each of the first four host addresses, from the subnet mask that the
// store gives for it. The store is searched in one of two ways: the interfaces key of the NT
// family when it opens, else the network transports and then the DHCP leases of the older
// family. Failures of the store skip what they touch; they are never reported.
BroadcastAddresses GetBroadcastAddresses(const std::vector<HostAddress>& hosts,
                                         NetworkConfigStore& store);

// The texts to send the identify request to: the nonzero entries, in index order, but none that
// is one of the computer's own addresses.
std::vector<std::string> BroadcastTargetTexts(const BroadcastAddresses& addresses,
                                              const std::vector<IPv4Bytes>& own = {});

// A subnet mask text "a.b.c.d": four unsigned decimal conversions, each starting one character
// after the place where the previous one stopped. Numbers missing at the end of the text are 0.
IPv4Bytes ParseMaskText(std::string_view text);

// (address AND mask) OR NOT mask, byte by byte.
IPv4Bytes BroadcastOf(const IPv4Bytes& address, const IPv4Bytes& mask);

}  // namespace quillon
