#include "search/broadcast_addresses.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "search/network_config.h"

namespace quillon {
namespace {

IPv4Bytes Ip(const char* text) {
  const std::optional<IPv4Bytes> bytes = ParseIPv4(text);
  EXPECT_TRUE(bytes) << text;
  return bytes.value_or(IPv4Bytes{});
}

std::string I(const char* name) {
  return std::string(kTcpipInterfacesKey) + "\\" + name;
}
std::string N(const char* name) {
  return std::string(kNetTransKey) + "\\" + name;
}
std::string D(const char* name) {
  return std::string(kVxdDhcpKey) + "\\" + name;
}

using Data = std::vector<std::uint8_t>;

// A text value with its terminator, padded with zeros to `total` bytes.
Data T(std::string_view text, std::size_t total = 0) {
  Data data(text.begin(), text.end());
  data.resize(std::max(total, data.size() + 1), 0);
  return data;
}
// Several texts in one value, as the registry lists addresses.
Data List(std::initializer_list<std::string_view> texts) {
  Data data;
  for (std::string_view t : texts) {
    const Data one = T(t);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.push_back(0);
  return data;
}
Data Raw(const char* ip) {
  const IPv4Bytes b = Ip(ip);
  return {b.begin(), b.end()};
}

// A key with up to two values; with neither, the key alone.
struct Entry {
  std::string key;
  const char* first = nullptr;
  Data firstData{};
  const char* second = nullptr;
  Data secondData{};
  bool locked = false;
};

TEST(IPv4Text, FormatsAndParses) {
  const std::uint8_t raw[4] = {192, 0, 2, 255};
  EXPECT_EQ(FormatIPv4(raw), "192.0.2.255");
  EXPECT_EQ(FormatIPv4(IPv4Bytes{0, 0, 0, 0}), "0.0.0.0");
  EXPECT_EQ(FormatIPv4(IPv4Bytes{255, 255, 255, 255}), "255.255.255.255");
  EXPECT_EQ(ParseIPv4("10.0.200.7"), (IPv4Bytes{10, 0, 200, 7}));
  EXPECT_EQ(ParseIPv4("255.255.255.255"), (IPv4Bytes{255, 255, 255, 255}));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1..2.3", ".1.2.3",
                          " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "01.2.3.4", "1.2.3.0x1", "a.b.c.d",
                          "1234.1.1.1", "1.2.3.-4", "host"}) {
    EXPECT_FALSE(ParseIPv4(bad)) << bad;
  }
}

TEST(MaskText, ReadsFourConversionsWhereverThePreviousStopped) {
  const struct {
    const char* text;
    IPv4Bytes mask;
  } cases[] = {
      {"255.255.255.0", {255, 255, 255, 0}},
      {"1.2.3.4", {1, 2, 3, 4}},  // written order is memory order
      {"255,255;255 0", {255, 255, 255, 0}},
      {" 255. 255.+255.0", {255, 255, 255, 0}},
      {"255.255.255.0.9", {255, 255, 255, 0}},
      {"255..255.0", {255, 0, 255, 0}},  // the empty field stops in place, skipping one character
      {"a.b.c.d", {0, 0, 0, 0}},
      {"256.0.0.0", {0, 1, 0, 0}},  // the sum runs modulo 2^32
      {"4294967295.0.0.0", {255, 255, 255, 255}},
      {"99999999999.0.0.0", {255, 255, 255, 255}},  // overflow saturates as a 32-bit strtoul
      {"-1.0.0.0", {255, 255, 255, 255}},
      {"-99999999999.0.0.0", {255, 255, 255, 255}},
      // Texts that end early: the missing numbers are 0, nothing past the end is read.
      {"255.255.255", {255, 255, 255, 0}},
      {"255.255.255.", {255, 255, 255, 0}},
      {"255", {255, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseMaskText(c.text), c.mask) << '"' << c.text << '"';
}

struct Case {
  const char* name;
  std::vector<const char*> hosts;
  std::vector<Entry> store;
  std::array<const char*, 4> expected;  // nullptr: no broadcast address
};

const char* const kIP = kValueIPAddress;
const char* const kMask = kValueSubnetMask;
const char* const kDhcpIP = kValueDhcpIPAddress;
const char* const kDhcpMask = kValueDhcpSubnetMask;

const Case kCases[] = {
    {"masks, first four hosts only, whole text compared",
     {"192.168.1.17", "192.168.1.18", "10.0.0.1", "10.0.0.2", "10.0.0.3"},
     {{I("a"), kIP, T("192.168.1.17"), kMask, T("255.255.255.0")},
      {I("b"), kIP, T("192.168.1.18"), kMask, T("255.255.0.0")},
      {I("c"), kIP, T("10.0.0.10"), kMask, T("255.0.0.0")},
      {I("d"), kIP, T("10.0.0.2"), kMask, T("255.255.255")},
      {I("e"), kIP, T("10.0.0.3"), kMask, T("255.0.0.0")}},
     {"192.168.1.255", "192.168.255.255", nullptr, "10.0.0.255"}},
    {"only the first string of a list",
     {"192.168.1.17", "10.1.2.3"},
     {{I("a"), kIP, List({"10.1.2.3", "192.168.1.17"}), kMask, List({"255.0.0.0", "255.255.0.0"})}},
     {nullptr, "10.255.255.255"}},
    {"DHCP values only when the interface's own did not match",
     {"192.168.1.17", "10.0.0.1", "10.0.0.2"},
     {{I("a"), kIP, T("0.0.0.0"), kMask, T("0.0.0.0")},
      {I("a"), kDhcpIP, T("192.168.1.17"), kDhcpMask, T("255.255.255.0")},
      {I("b"), kIP, T("10.0.0.1"), kMask, T("255.255.255.0")},
      {I("b"), kDhcpIP, T("10.0.0.1"), kDhcpMask, T("255.0.0.0")},
      {I("c"), kIP, T("10.0.0.2")},
      {I("c"), kDhcpIP, T("10.0.0.2"), kDhcpMask, T("255.255.0.0")}},
     {"192.168.1.255", "10.0.0.255", "10.0.255.255"}},
    {"later interface overwrites; locked one skipped, enumeration goes on",
     {"10.0.0.1", "10.0.0.2"},
     {{I("a"), kIP, T("10.0.0.1"), kMask, T("255.0.0.0")},
      {I("b"), kIP, T("10.0.0.1"), kMask, T("255.255.0.0")},
      {I("locked"), kIP, T("10.0.0.1"), kMask, T("255.255.255.0"), true},
      {I("c"), kIP, T("10.0.0.2"), kMask, T("255.255.255.0")}},
     {"10.0.255.255", "10.0.0.255"}},
    {"only the second host resolved",
     {"10.0.0.1", "172.16.5.9"},
     {{I("a"), kIP, T("172.16.5.9"), kMask, T("255.255.0.0")}},
     {nullptr, "172.16.255.255"}},
    {"no hosts", {}, {{I("a"), kIP, T("192.168.1.17"), kMask, T("255.255.255.0")}}, {}},
    {"texts of 260 bytes read, longer ones do not, unterminated ones end with their data",
     {"10.0.0.1", "10.0.0.2", "10.0.0.3"},
     {{I("a"), kIP, T("10.0.0.1", 260), kMask, T("255.255.255.0", 260)},
      {I("b"), kIP, T("10.0.0.2", 261), kMask, T("255.0.0.0")},
      {I("c"), kIP, T("10.0.0.2"), kMask, T("255.0.0.0", 261)},
      {I("d"), kIP, Data{'1', '0', '.', '0', '.', '0', '.', '3'}, kMask, Data{'2', '5', '5'}}},
     {"10.0.0.255", nullptr, "10.255.255.255"}},
    {"interfaces key blocks the older keys even when empty",
     {"192.168.1.17"},
     {{kTcpipInterfacesKey},
      {N("0000"), kIP, T("192.168.1.17"), kValueIPMask, T("255.255.255.0")},
      {D("00"), kDhcpIP, Raw("192.168.1.17"), kDhcpMask, Raw("255.255.255.0")}},
     {}},
    {"a locked interfaces key counts as absent",
     {"192.168.1.17"},
     {{I("a"), kIP, T("192.168.1.17"), kMask, T("255.255.0.0")},
      {kTcpipInterfacesKey, nullptr, {}, nullptr, {}, true},
      {N("0000"), kIP, T("192.168.1.17"), kValueIPMask, T("255.255.255.0")}},
     {"192.168.1.255"}},
    {"transports read IPMask only, without fallback",
     {"10.0.0.1", "10.0.0.2", "10.0.0.3"},
     {{N("0000"), kIP, T("10.0.0.1"), kValueIPMask, T("255.0.0.0")},
      {N("0001"), kIP, T("10.0.0.2"), kMask, T("255.0.0.0")},
      {N("0002"), kDhcpIP, T("10.0.0.3"), kDhcpMask, T("255.0.0.0")}},
     {"10.255.255.255"}},
    {"leases fill only what the transports left, with exactly 4 bytes",
     {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"},
     {{N("0000"), kIP, T("10.0.0.1"), kValueIPMask, T("255.255.255.0")},
      {D("00"), kDhcpIP, Raw("10.0.0.1"), kDhcpMask, Raw("255.255.0.0")},
      {D("01"), kDhcpIP, Raw("10.0.0.2"), kDhcpMask, Raw("255.255.0.0")},
      {D("02"), kDhcpIP, Data{10, 0, 0, 3, 0}, kDhcpMask, Raw("255.0.0.0")},
      {D("03"), kDhcpIP, T("10.0.0.3"), kDhcpMask, Raw("255.0.0.0")},
      {D("04"), kDhcpIP, Raw("10.0.0.4"), kDhcpMask, Data{255, 0}}},
     {"10.0.0.255", "10.0.255.255"}},
    {"no transports key: leases unread",
     {"10.0.0.1"},
     {{D("00"), kDhcpIP, Raw("10.0.0.1"), kDhcpMask, Raw("255.0.0.0")}},
     {}},
};

TEST(BroadcastAddresses, FromStoreLayouts) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    MemoryConfigStore store;
    for (const Entry& e : c.store) {
      store.AddKey(e.key);
      if (e.first) store.SetValue(e.key, e.first, e.firstData);
      if (e.second) store.SetValue(e.key, e.second, e.secondData);
      if (e.locked) store.SetUnopenable(e.key);
    }
    std::vector<HostAddress> hosts;
    for (const char* h : c.hosts) hosts.emplace_back(Ip(h));
    const BroadcastAddresses result = GetBroadcastAddresses(hosts, store);
    std::vector<std::string> targets;
    for (std::size_t j = 0; j < 4; ++j) {
      const char* want = c.expected[j];
      EXPECT_EQ(FormatIPv4(result[j]), want ? want : "0.0.0.0") << "entry " << j;
      if (want) targets.push_back(want);
    }
    EXPECT_EQ(BroadcastTargetTexts(result), targets);
  }
}

// A broadcast address that is one of the computer's own addresses is never a target.
TEST(BroadcastAddresses, TheComputerItselfIsNoTarget) {
  const BroadcastAddresses result = {Ip("10.0.0.255"), Ip("192.168.7.1"), {}, Ip("10.1.255.255")};
  EXPECT_EQ(BroadcastTargetTexts(result, {Ip("192.168.7.1"), Ip("127.0.0.1")}),
            (std::vector<std::string>{"10.0.0.255", "10.1.255.255"}));
}

// The store that POSIX builds from getifaddrs. On Windows the store is the registry, which this
// program does not lay out; tests/windows checks it against keys written for the test.
#ifndef _WIN32
TEST(SystemNetworkConfig, ListsBroadcastInterfacesWithTheirMasks) {
  const std::vector<HostAddress> hosts = SystemHostAddresses();
  for (const HostAddress& h : hosts) EXPECT_NE(h.bytes[0], 127) << h.text;
  if (hosts.empty()) GTEST_SKIP() << "no interface that is up and can broadcast";

  const std::unique_ptr<NetworkConfigStore> store = SystemConfigStore();
  const std::unique_ptr<ConfigKey> interfaces = store->OpenKey(kTcpipInterfacesKey);
  ASSERT_TRUE(interfaces);
  std::set<std::string> names;
  std::multiset<std::string> withMask;
  std::string name;
  for (std::uint32_t i = 0; i < 1024 && interfaces->SubkeyName(i, &name); ++i) {
    EXPECT_TRUE(names.insert(name).second) << "duplicate subkey " << name;
    const std::unique_ptr<ConfigKey> sub = interfaces->OpenSubkey(name);
    ASSERT_TRUE(sub) << name;
    std::uint8_t buf[kConfigTextCapacity];
    std::size_t size = sizeof buf;
    ASSERT_TRUE(sub->QueryValue(kValueIPAddress, buf, &size)) << name;
    const std::uint8_t* begin = buf;
    const std::string address(begin, std::find(begin, begin + size, std::uint8_t{0}));
    size = sizeof buf;
    if (sub->QueryValue(kValueSubnetMask, buf, &size)) withMask.insert(address);
  }
  EXPECT_EQ(names.size(), hosts.size());
  for (const HostAddress& h : hosts) {
    const auto same = [&](const HostAddress& o) { return o.text == h.text; };
    EXPECT_EQ(withMask.count(h.text), std::count_if(hosts.begin(), hosts.end(), same)) << h.text;
  }

  const BroadcastAddresses result = GetBroadcastAddresses();
  for (std::size_t j = 0; j < std::min(hosts.size(), kMaxHostAddresses); ++j) {
    EXPECT_FALSE(IsZeroAddress(result[j])) << hosts[j].text;
  }
}
#endif

}  // namespace
}  // namespace quillon
