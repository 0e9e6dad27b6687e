// The registry as the network configuration store, against keys this test writes. It changes
// HKEY_LOCAL_MACHINE, so it runs only under Wine, in the throw-away prefix of
// tests/windows/wine.sh; on a real Windows it reports itself skipped.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "search/broadcast_addresses.h"
#include "search/network_config.h"

namespace quillon {
namespace {

constexpr const char* kKeys[] = {kTcpipInterfacesKey, kNetTransKey, kVxdDhcpKey};

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct Value {
  std::string key;  // below one of kKeys, or one of them itself
  std::string name;
  DWORD type;
  std::vector<BYTE> data;
};

Value Text(std::string key, std::string name, const std::string& text, DWORD type = REG_SZ) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  if (type == REG_MULTI_SZ) data.push_back(0);
  return {std::move(key), std::move(name), type, std::move(data)};
}
Value Raw(std::string key, std::string name, std::vector<BYTE> data) {
  return {std::move(key), std::move(name), REG_BINARY, std::move(data)};
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UnderWine()) GTEST_SKIP() << "writes HKEY_LOCAL_MACHINE: only under Wine's test prefix";
    Clear();
  }
  void TearDown() override {
    if (UnderWine()) Clear();
  }
  static void Clear() {
    for (const char* key : kKeys) ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
  }
  static void Write(const std::vector<Value>& values) {
    for (const Value& v : values) {
      HKEY key = nullptr;
      ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, v.key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
                ERROR_SUCCESS)
          << v.key;
      if (!v.name.empty()) {
        EXPECT_EQ(::RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(),
                                   static_cast<DWORD>(v.data.size())),
                  ERROR_SUCCESS)
            << v.key << " " << v.name;
      }
      ::RegCloseKey(key);
    }
  }
  static std::string Broadcast(const std::vector<const char*>& hosts) {
    std::vector<HostAddress> host_addresses;
    for (const char* h : hosts) host_addresses.emplace_back(*ParseIPv4(h));
    const std::unique_ptr<NetworkConfigStore> store = SystemConfigStore();
    std::string out;
    for (const IPv4Bytes& a : GetBroadcastAddresses(host_addresses, *store)) {
      out += (out.empty() ? "" : " ") + FormatIPv4(a);
    }
    return out;
  }
};

const std::string kInterfaces = std::string(kTcpipInterfacesKey) + "\\";
const std::string kNetTrans = std::string(kNetTransKey) + "\\";
const std::string kVxdDhcp = std::string(kVxdDhcpKey) + "\\";

TEST_F(RegistryStoreTest, StaticListDhcpLeaseOverLongValueAndAFifthHost) {
  Write({
      Text(kInterfaces + "{q-static}", "IPAddress",
           std::string("192.0.2.17\0"
                       "192.0.2.99",
                       21),
           REG_MULTI_SZ),
      Text(kInterfaces + "{q-static}", "SubnetMask",
           std::string("255.255.255.0\0"
                       "255.255.0.0",
                       25),
           REG_MULTI_SZ),
      Text(kInterfaces + "{q-dhcp}", "IPAddress", "0.0.0.0", REG_MULTI_SZ),
      Text(kInterfaces + "{q-dhcp}", "DhcpIPAddress", "198.51.100.7"),
      Text(kInterfaces + "{q-dhcp}", "DhcpSubnetMask", "255.255.0.0"),
      Text(kInterfaces + "{q-long}", "IPAddress", "203.0.113.5" + std::string(300, '0')),
      Text(kInterfaces + "{q-long}", "SubnetMask", "255.0.0.0"),
      Text(kInterfaces + "{q-long}", "DhcpIPAddress", "203.0.113.5"),
      Text(kInterfaces + "{q-long}", "DhcpSubnetMask", "255.255.255.128"),
  });
  EXPECT_EQ(Broadcast({"192.0.2.17", "198.51.100.7", "192.0.2.99", "203.0.113.5", "10.1.2.3"}),
            "192.0.2.255 198.51.255.255 0.0.0.0 203.0.113.127");
}

TEST_F(RegistryStoreTest, AnEmptyInterfacesKeyHidesTheOlderKeys) {
  Write({{kTcpipInterfacesKey, "", REG_NONE, {}},
         Text(kNetTrans + "0000", "IPAddress", "192.0.2.17"),
         Text(kNetTrans + "0000", "IPMask", "255.255.255.0")});
  EXPECT_EQ(Broadcast({"192.0.2.17"}), "0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0");
}

TEST_F(RegistryStoreTest, TransportsThenRawDhcpLeasesThatNeverOverride) {
  Write({
      Text(kNetTrans + "0000", "IPAddress", "192.0.2.17"),
      Text(kNetTrans + "0000", "IPMask", "255.255.255.0"),
      Raw(kVxdDhcp + "DhcpInfo00", "DhcpIPAddress", {0xC0, 0x00, 0x02, 0x11}),  // resolved
      Raw(kVxdDhcp + "DhcpInfo00", "DhcpSubnetMask", {0xFF, 0xFF, 0x00, 0x00}),
      Raw(kVxdDhcp + "DhcpInfo01", "DhcpIPAddress", {0xC6, 0x33, 0x64, 0x07}),
      Raw(kVxdDhcp + "DhcpInfo01", "DhcpSubnetMask", {0xFF, 0xFF, 0xFF, 0x00}),
      Raw(kVxdDhcp + "DhcpInfo02", "DhcpIPAddress", {0xCB, 0x00, 0x71, 0x05, 0x00}),  // 5 bytes
      Raw(kVxdDhcp + "DhcpInfo02", "DhcpSubnetMask", {0xFF, 0xFF, 0xFF, 0x00}),
  });
  EXPECT_EQ(Broadcast({"192.0.2.17", "198.51.100.7", "203.0.113.5"}),
            "192.0.2.255 198.51.100.255 0.0.0.0 0.0.0.0");
}

TEST_F(RegistryStoreTest, NoConfigurationKeys) {
  EXPECT_EQ(Broadcast({"192.0.2.17"}), "0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0");
}

}  // namespace
}  // namespace quillon
