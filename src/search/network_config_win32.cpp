// The network configuration on Windows: the host name's IPv4 addresses from Winsock, and the
// registry under HKEY_LOCAL_MACHINE, read only.

// Brings windows.h (the registry) too, in the order that Winsock 2 needs.
#include <winsock2.h>

#include <array>
#include <cstring>
#include <string>

#include "link/datagram_socket.h"
#include "search/network_config.h"

namespace quillon {
namespace {

// Name buffer of RegEnumKeyExA, in characters with the terminator; a longer name ends the
// enumeration like any other error.
constexpr DWORD kKeyNameCapacity = 260;
constexpr int kHostNameCapacity = 260;

class RegistryKey final : public ConfigKey {
 public:
  explicit RegistryKey(HKEY key) : m_key(key) {}
  ~RegistryKey() override { ::RegCloseKey(m_key); }

  bool SubkeyName(std::uint32_t index, std::string* name) override {
    char text[kKeyNameCapacity] = {};
    DWORD length = kKeyNameCapacity;
    if (::RegEnumKeyExA(m_key, index, text, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    name->assign(text, length);
    return true;
  }

  std::unique_ptr<ConfigKey> OpenSubkey(const std::string& name) override {
    HKEY sub = nullptr;
    if (::RegOpenKeyExA(m_key, name.c_str(), 0, KEY_QUERY_VALUE, &sub) != ERROR_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<RegistryKey>(sub);
  }

  // RegQueryValueExA leaves the buffer undefined when the value does not fit (ERROR_MORE_DATA),
  // so the usual sizes go through a scratch buffer and buf is only written on success.
  bool QueryValue(const std::string& name, std::uint8_t* buf, std::size_t* size) override {
    std::array<BYTE, kConfigTextCapacity> scratch;
    const bool direct = *size > scratch.size();
    DWORD length = static_cast<DWORD>(*size);
    if (::RegQueryValueExA(m_key, name.c_str(), nullptr, nullptr, direct ? buf : scratch.data(),
                           &length) != ERROR_SUCCESS) {
      return false;
    }
    if (!direct) std::memcpy(buf, scratch.data(), length);
    *size = length;
    return true;
  }

 private:
  HKEY m_key;
};

class RegistryStore final : public NetworkConfigStore {
 public:
  std::unique_ptr<ConfigKey> OpenKey(const std::string& path) override {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key) !=
        ERROR_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<RegistryKey>(key);
  }
};

}  // namespace

std::vector<HostAddress> SystemHostAddresses() {
  std::vector<HostAddress> hosts;
  // Host name resolution needs Winsock started. The search runs with it started, but the port
  // listing does not, so the lookup holds a start of its own.
  const SocketInterface winsock;
  char name[kHostNameCapacity] = {};
  // gethostbyname("") would give the local addresses all the same: an empty name means none.
  if (::gethostname(name, kHostNameCapacity) != 0 || name[0] == '\0') return hosts;
  const hostent* entry = ::gethostbyname(name);
  if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4) return hosts;
  // Only the first four are used; the listing names the others.
  for (int i = 0; entry->h_addr_list[i]; ++i) {
    IPv4Bytes bytes{};
    std::memcpy(bytes.data(), entry->h_addr_list[i], bytes.size());
    hosts.emplace_back(bytes);
  }
  return hosts;
}

std::unique_ptr<NetworkConfigStore> SystemConfigStore() {
  return std::make_unique<RegistryStore>();
}

std::vector<LocalNetwork> DescribeLocalNetworks() {
  const std::vector<HostAddress> hosts = SystemHostAddresses();
  const std::unique_ptr<NetworkConfigStore> store = SystemConfigStore();
  const BroadcastAddresses broadcast = GetBroadcastAddresses(hosts, *store);
  std::vector<LocalNetwork> networks;
  for (std::size_t j = 0; j < hosts.size(); ++j) {
    if (hosts[j].bytes[0] == 127) continue;
    LocalNetwork n;
    n.address = hosts[j].bytes;
    if (j >= kMaxHostAddresses) {
      n.leftOut = "beyond the fourth";
    } else if (IsZeroAddress(broadcast[j])) {
      n.leftOut = "no subnet mask in the registry";
    } else {
      n.broadcast = broadcast[j];
    }
    networks.push_back(std::move(n));
  }
  return networks;
}

std::vector<IPv4Bytes> OwnAddresses() {
  std::vector<IPv4Bytes> own = {IPv4Bytes{127, 0, 0, 1}};
  for (const HostAddress& h : SystemHostAddresses()) own.push_back(h.bytes);
  return own;
}

}  // namespace quillon
