// The broadcast address of each local IPv4 network, worked out from the host's own addresses and
// the subnet masks that the network configuration store (the registry on Windows) holds for them.
// The identify request of the device search goes to each of these addresses.
//
// The computation is pure: it sees the host addresses and the store only through the types below,
// so every layout the store can have is testable with MemoryConfigStore.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// An IPv4 address or mask: 4 bytes in network order (first octet first).
using IPv4Bytes = std::array<std::uint8_t, 4>;

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

// "%u.%u.%u.%u" of the four bytes in order.
std::string FormatIPv4(const std::uint8_t (&bytes)[4]);
std::string FormatIPv4(const IPv4Bytes& bytes);

// Exactly four decimal numbers 0..255 separated by dots, nothing else: no spaces, no sign, no
// leading zeros (which some resolvers read as octal), no trailing dot.
std::optional<IPv4Bytes> ParseIPv4(std::string_view text);

inline bool IsZeroAddress(const IPv4Bytes& a) {
  return a == IPv4Bytes{};
}

// One IPv4 address of this computer, with its dotted text as the store writes addresses.
struct HostAddress {
  explicit HostAddress(const IPv4Bytes& address) : bytes(address), text(FormatIPv4(address)) {}

  IPv4Bytes bytes;
  std::string text;
};

// An open key of the store. Destroying it closes it.
class ConfigKey {
 public:
  ConfigKey() = default;
  virtual ~ConfigKey() = default;
  ConfigKey(const ConfigKey&) = delete;
  ConfigKey& operator=(const ConfigKey&) = delete;

  // Name of the subkey at index (from 0). False at the end of the list or on any error.
  virtual bool SubkeyName(std::uint32_t index, std::string* name) = 0;
  // Opens a direct subkey for reading its values; null when it does not open.
  virtual std::unique_ptr<ConfigKey> OpenSubkey(const std::string& name) = 0;
  // Copies the raw data of a value into buf, whose capacity is *size bytes, and sets *size to the
  // data's length. False, with buf untouched, when the value is absent or longer than the buffer.
  virtual bool QueryValue(const std::string& name, std::uint8_t* buf, std::size_t* size) = 0;
};

// The read-only store of network configuration under the local-machine root.
class NetworkConfigStore {
 public:
  NetworkConfigStore() = default;
  virtual ~NetworkConfigStore() = default;
  NetworkConfigStore(const NetworkConfigStore&) = delete;
  NetworkConfigStore& operator=(const NetworkConfigStore&) = delete;

  // Opens a key by its backslash-separated path; null when it does not open.
  virtual std::unique_ptr<ConfigKey> OpenKey(const std::string& path) = 0;
};

// A store held in memory: keys form a tree, subkeys are listed in the order they were added,
// values are raw bytes (a text value carries its terminator, as the registry stores it). The
// keys it hands out point into the store, which must outlive them.
class MemoryConfigStore final : public NetworkConfigStore {
 public:
  MemoryConfigStore();
  ~MemoryConfigStore() override;

  // Creates the key and any missing key on its path.
  void AddKey(const std::string& path);
  // Creates the key if needed and sets (or replaces) a value.
  void SetValue(const std::string& path, const std::string& name, std::vector<std::uint8_t> data);
  // A text value: the characters and one terminator.
  void SetText(const std::string& path, const std::string& name, std::string_view text);
  // A list of texts: each with its terminator, then one more terminator.
  void SetTextList(const std::string& path, const std::string& name,
                   const std::vector<std::string>& texts);
  // Creates the key if needed; it stays listed by its parent but refuses to open.
  void SetUnopenable(const std::string& path);
  // Whether a direct subkey of path has this name.
  bool HasSubkey(const std::string& path, const std::string& name) const;

  std::unique_ptr<ConfigKey> OpenKey(const std::string& path) override;

 private:
  struct Node {
    std::string name;
    bool openable = true;
    std::map<std::string, std::vector<std::uint8_t>> values;
    std::vector<std::unique_ptr<Node>> children;
  };
  class Key;

  static Node* ChildNamed(const Node& node, const std::string& name);
  Node* Find(const std::string& path) const;
  Node* FindOrCreate(const std::string& path);

  std::unique_ptr<Node> root_;
};

// The broadcast address of each of the first four host addresses, from the subnet mask that the
// store gives for it. The store is searched in one of two ways: the interfaces key of the NT
// family when it opens, else the network transports and then the DHCP leases of the older
// family. Failures of the store skip what they touch; they are never reported.
BroadcastAddresses GetBroadcastAddresses(const std::vector<HostAddress>& hosts,
                                         NetworkConfigStore& store);

// The texts to send the identify request to: the nonzero entries, in index order.
std::vector<std::string> BroadcastTargetTexts(const BroadcastAddresses& addresses);

// A subnet mask text "a.b.c.d": four unsigned decimal conversions, each starting one character
// after the place where the previous one stopped. Numbers missing at the end of the text are 0.
IPv4Bytes ParseMaskText(std::string_view text);

// (address AND mask) OR NOT mask, byte by byte.
IPv4Bytes BroadcastOf(const IPv4Bytes& address, const IPv4Bytes& mask);

}  // namespace quillon
