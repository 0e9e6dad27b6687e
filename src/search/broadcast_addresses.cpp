#include "search/broadcast_addresses.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace quillon {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strtoul(text + start, &end, 10) as the runtime does it with a 32-bit unsigned long, so that a
// mask text gives the same mask on every platform: white space and one sign are skipped, no
// digits means 0 with nothing consumed, an overflow gives all ones, a minus sign negates.
// *stop is where the conversion stopped.
std::uint32_t ConvertUnsigned(std::string_view text, std::size_t start, std::size_t* stop) {
  std::size_t pos = start;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t digits_start = pos;
  std::uint64_t value = 0;
  bool overflow = false;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;
    }
    ++pos;
  }
  if (pos == digits_start) {
    *stop = start;
    return 0;
  }
  *stop = pos;
  if (overflow) return 0xFFFFFFFFu;
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? 0u - result : result;
}

// A text value as a string up to its first terminator. Reads through the fixed buffer, so a
// longer value does not read; a value without terminator ends with its data.
std::optional<std::string> ReadText(ConfigKey& key, const char* name) {
  std::uint8_t buf[kConfigTextCapacity];
  std::size_t size = sizeof buf;
  if (!key.QueryValue(name, buf, &size)) return std::nullopt;
  const std::uint8_t* begin = buf;
  const std::uint8_t* end = std::find(begin, begin + std::min(size, sizeof buf), std::uint8_t{0});
  return std::string(begin, end);
}

// A value of exactly 4 bytes. Longer values do not fit the buffer; shorter ones would leave part
// of the address undefined, so they do not read either.
std::optional<IPv4Bytes> ReadFourBytes(ConfigKey& key, const char* name) {
  IPv4Bytes out{};
  std::size_t size = out.size();
  if (!key.QueryValue(name, out.data(), &size) || size != out.size()) return std::nullopt;
  return out;
}

// Every subkey that opens, by index from 0 until the enumeration fails.
template <typename Visit>
void ForEachSubkey(ConfigKey& base, Visit visit) {
  std::string name;
  for (std::uint32_t index = 0; base.SubkeyName(index, &name); ++index) {
    if (std::unique_ptr<ConfigKey> sub = base.OpenSubkey(name)) visit(*sub);
  }
}

class Resolver {
 public:
  explicit Resolver(const std::vector<HostAddress>& hosts)
      : m_hosts(hosts), m_count(std::min(hosts.size(), kMaxHostAddresses)) {}

  // The address text of value address_name against the host addresses; a host that equals it
  // takes its mask from mask_name. True when some host took a mask.
  bool MatchText(ConfigKey& key, const char* address_name, const char* mask_name) {
    const std::optional<std::string> address = ReadText(key, address_name);
    if (!address) return false;
    bool matched = false;
    for (std::size_t j = 0; j < m_count; ++j) {
      if (m_hosts[j].text != *address) continue;
      const std::optional<std::string> mask = ReadText(key, mask_name);
      if (!mask) continue;
      m_resolved[j] = true;
      matched = true;
      m_result[j] = BroadcastOf(m_hosts[j].bytes, ParseMaskText(*mask));
    }
    return matched;
  }

  // A DHCP lease of the older family: raw 4-byte address and mask. Hosts already resolved from a
  // text value keep their result.
  void MatchLease(ConfigKey& key) {
    const std::optional<IPv4Bytes> address = ReadFourBytes(key, kValueDhcpIPAddress);
    if (!address) return;
    for (std::size_t j = 0; j < m_count; ++j) {
      if (m_resolved[j] || m_hosts[j].bytes != *address) continue;
      if (const std::optional<IPv4Bytes> mask = ReadFourBytes(key, kValueDhcpSubnetMask)) {
        m_result[j] = BroadcastOf(m_hosts[j].bytes, *mask);
      }
    }
  }

  const BroadcastAddresses& result() const { return m_result; }

 private:
  const std::vector<HostAddress>& m_hosts;
  std::size_t m_count;
  std::array<bool, kMaxHostAddresses> m_resolved{};
  BroadcastAddresses m_result{};
};

}  // namespace

IPv4Bytes ParseMaskText(std::string_view text) {
  std::uint32_t mask = 0;
  std::size_t pos = 0;
  for (unsigned i = 0; i < 4; ++i) {
    // Once a conversion has stopped at the end of the text, the next one would start past it:
    // the numbers still missing are 0.
    if (pos > text.size()) break;
    std::size_t stop = pos;
    mask += ConvertUnsigned(text, pos, &stop) << (8 * i);
    pos = stop + 1;
  }
  return {static_cast<std::uint8_t>(mask), static_cast<std::uint8_t>(mask >> 8),
          static_cast<std::uint8_t>(mask >> 16), static_cast<std::uint8_t>(mask >> 24)};
}

IPv4Bytes BroadcastOf(const IPv4Bytes& address, const IPv4Bytes& mask) {
  IPv4Bytes out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>((address[i] & mask[i]) | (~mask[i] & 0xFF));
  }
  return out;
}

BroadcastAddresses GetBroadcastAddresses(const std::vector<HostAddress>& hosts,
                                         NetworkConfigStore& store) {
  Resolver resolver(hosts);
  if (hosts.empty()) return resolver.result();

  // NT family: one subkey per interface. When this key exists the older keys are not looked at,
  // even if it yields nothing.
  if (std::unique_ptr<ConfigKey> interfaces = store.OpenKey(kTcpipInterfacesKey)) {
    ForEachSubkey(*interfaces, [&](ConfigKey& sub) {
      // An interface on DHCP keeps 0.0.0.0 in "IPAddress" and its lease in the Dhcp values.
      if (!resolver.MatchText(sub, kValueIPAddress, kValueSubnetMask)) {
        resolver.MatchText(sub, kValueDhcpIPAddress, kValueDhcpSubnetMask);
      }
    });
    return resolver.result();
  }

  // Older family: the network transports, then the DHCP leases for what is still unresolved.
  {
    std::unique_ptr<ConfigKey> transports = store.OpenKey(kNetTransKey);
    if (!transports) return resolver.result();
    ForEachSubkey(*transports,
                  [&](ConfigKey& sub) { resolver.MatchText(sub, kValueIPAddress, kValueIPMask); });
  }
  if (std::unique_ptr<ConfigKey> leases = store.OpenKey(kVxdDhcpKey)) {
    ForEachSubkey(*leases, [&](ConfigKey& sub) { resolver.MatchLease(sub); });
  }
  return resolver.result();
}

std::vector<std::string> BroadcastTargetTexts(const BroadcastAddresses& addresses,
                                              const std::vector<IPv4Bytes>& own) {
  std::vector<std::string> texts;
  for (const IPv4Bytes& address : addresses) {
    if (IsZeroAddress(address) || std::find(own.begin(), own.end(), address) != own.end()) continue;
    texts.push_back(FormatIPv4(address));
  }
  return texts;
}

}  // namespace quillon
