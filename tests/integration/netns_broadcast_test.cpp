// The network search for real: the command line in one network namespace, simulated devices in
// another, joined by a veth pair, found by the identify broadcast to 10.77.0.255.

#include <gtest/gtest.h>

#include <iterator>
#include <memory>

#include "link/platform.h"
#include "reconfig/messages.h"
#include "support/cli_under_test.h"
#include "support/netns.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::NamespacePair;
using testing::RequestKinds;
using testing::SimulatorProcess;
using Kinds = std::vector<std::string>;

const Kinds kFullSequence = {"identify", "status", "mode", "svc0", "svc5", "svc4"};

class NetnsBroadcast : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
    std::string why;
    if (!m_net.Create(&why)) GTEST_SKIP() << "no network namespaces here: " << why;
    m_sim.SetNetworkNamespace(m_net.devices());
    ASSERT_TRUE(testing::UseNetworkUnderWine("10.77.0.1"));
  }
  testing::ProcessResult Cli(const std::string& serial, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--serial", serial, "--no-serial", "--verbose"});
    return testing::RunCli(args, 30000, {}, m_net.tool());
  }
  NamespacePair m_net;
  SimulatorProcess m_sim;
};

// By the network's broadcast address (the listing names it) and by --address.
TEST_F(NetnsBroadcast, FindsAndReconfiguresTheDevice) {
  const auto list = testing::RunCli({"--list-ports", "--no-serial"}, 30000, {}, m_net.tool());
  EXPECT_NE(list.out.find("  10.77.0.255:50000  ("), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("10.77.0.1"), std::string::npos) << list.out;
  for (const auto& [sent_to, args] :
       {std::pair<std::string, std::vector<std::string>>{"10.77.0.255", {}},
        {"10.77.0.2", {"--address", "10.77.0.2"}}}) {
    SCOPED_TRACE(sent_to);
    std::string error;
    ASSERT_TRUE(m_sim.Start({"--udp", "0.0.0.0", "--serial", "1234"}, &error)) << error;
    const auto r = Cli("1234", args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kTextSuccess) + "\n\nThe Quillon was found at 10.77.0.2.\n");
    // The request went to the broadcast address (or the one named); the device answered from
    // its own.
    EXPECT_NE(r.err.find("udp " + sent_to + ":50000 > 12 bytes: A5 5A 01 01"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("udp 10.77.0.2:50000 > 136 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(RequestKinds(m_sim), kFullSequence);
    EXPECT_EQ(m_sim.LastRecordHex(),
              "120007341201000088139411200311223344"
              "0000");
    m_sim.Stop();
  }
}

TEST_F(NetnsBroadcast, ReportsAnAbsentDevice) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--address", "10.77.0.2"}}) {
    std::string error;
    ASSERT_TRUE(m_sim.Start({"--udp", "0.0.0.0", "--serial", "1234"}, &error)) << error;
    const auto r = Cli("4321", args);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(std::string(kTextNotDetected) + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(RequestKinds(m_sim), std::vector<std::string>{"identify"});
    m_sim.Stop();
  }
}

TEST_F(NetnsBroadcast, FindsOneOf250DevicesAnsweringTheSameBroadcast) {
  std::string why;
  ASSERT_TRUE(m_net.AddDeviceAddresses(3, 250, &why)) << why;
  std::string error;
  // Devices 1000..1249 answer from 10.77.0.3 .. 10.77.0.252.
  ASSERT_TRUE(m_sim.Start({"--udp", "0.0.0.0", "--serial", "1000", "--devices", "250",
                           "--device-addresses-from", "10.77.0.3"},
                          &error))
      << error;
  // Three tools at once, each after another device.
  const int attempts[] = {0, 1, 2};
  testing::ForEachRowAtOnce(attempts, [&](int attempt) {
    const int wanted = 1000 + 137 + attempt * 50;
    const auto r = Cli(std::to_string(wanted));
    ASSERT_EQ(r.exitCode, 0) << "try " << attempt << ": " << r.out << r.err;
    const std::string address = "10.77.0." + std::to_string(3 + 137 + attempt * 50);
    EXPECT_NE(r.err.find("udp " + address + ":50000 > 136 bytes"), std::string::npos)
        << "try " << attempt;
  });
}

// A laptop as engineers have them: a bridge without carrier, a /32 and an address with a peer,
// a tun device, a secondary address, then two real networks with the device on the last. Only real
// networks take the four places; nothing goes to the machine itself.
TEST(NetnsLaptop, RealNetworksFirstAndNeverTheMachineItself) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  QUILLON_SKIP_UNDER_WINE("Windows takes its networks from the registry, not from the interfaces");
  testing::TestNetwork net;
  std::string why;
  if (!net.AddHost("tool", &why)) GTEST_SKIP() << "no network namespaces here: " << why;
  // docker0 after its last container: a bridge whose only port has no peer up.
  const std::vector<std::vector<std::string>> laptop = {
      {"link", "add", "qbr0", "type", "bridge"},
      {"link", "add", "qdead0", "type", "veth", "peer", "name", "qdead1"},
      {"link", "set", "qdead0", "master", "qbr0"},
      {"link", "set", "qdead0", "up"},
      {"addr", "add", "172.17.0.1/16", "dev", "qbr0"},
      {"link", "set", "qbr0", "up"},
      {"tuntap", "add", "dev", "qtun0", "mode", "tun"},
      {"addr", "add", "10.8.0.2/24", "dev", "qtun0"},
      {"link", "set", "qtun0", "up"},
  };
  for (const auto& args : laptop) ASSERT_TRUE(net.Ip("tool", args, &why)) << why;
  // A link with carrier that holds only a /32 and an address with a peer.
  ASSERT_TRUE(net.AddHost("stub", &why) && net.AddHost("first", &why) && net.AddHost("last", &why))
      << why;
  ASSERT_TRUE(net.Link("tool", "10.99.0.1/32", "stub", "", &why)) << why;
  ASSERT_TRUE(net.Ip("tool", {"addr", "add", "10.98.0.1", "peer", "10.98.0.2", "dev", "qv0"}, &why))
      << why;
  ASSERT_TRUE(net.Link("tool", "10.77.1.1/24", "first", "10.77.1.2/24", &why)) << why;
  ASSERT_TRUE(net.Ip("tool", {"addr", "add", "10.77.9.1/24", "dev", "qv2"}, &why)) << why;
  ASSERT_TRUE(net.Ip("first", {"addr", "add", "10.77.9.2/24", "dev", "qv3"}, &why)) << why;
  ASSERT_TRUE(net.Link("tool", "10.77.2.1/24", "last", "10.77.2.2/24", &why)) << why;

  SimulatorProcess other, device;
  other.SetNetworkNamespace(net.Namespace("first"));
  device.SetNetworkNamespace(net.Namespace("last"));
  std::string error;
  ASSERT_TRUE(other.Start({"--udp", "0.0.0.0", "--serial", "999"}, &error)) << error;
  ASSERT_TRUE(device.Start({"--udp", "0.0.0.0", "--serial", "1234"}, &error)) << error;

  const auto r = testing::RunCli({"--serial", "1234", "--no-serial", "--verbose"}, 30000, {},
                                 net.Namespace("tool"));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  std::vector<std::string> sent;
  for (std::size_t at = r.err.find("udp "); at != std::string::npos;
       at = r.err.find("udp ", at + 1)) {
    const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
    if (line.find(":50000 > 12 bytes: A5 5A 01 01") != std::string::npos) {
      sent.push_back(line.substr(4, line.find(':') - 4));
    }
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"10.77.1.255", "10.77.9.255", "10.77.2.255"})) << r.err;
  EXPECT_EQ(RequestKinds(other), (std::vector<std::string>{"identify", "identify"}));
  for (const char* left_out :
       {"network qbr0 172.17.0.1/16 left out: no carrier (--address 172.17.255.255 searches it)",
        "network qv0 10.99.0.1/32 left out: a /32 has no broadcast address",
        "network qv0 10.98.0.1/32 left out", "network qtun0 10.8.0.2/24 left out"}) {
    EXPECT_NE(r.err.find(left_out), std::string::npos) << left_out << " in: " << r.err;
  }

  const auto list =
      testing::RunCli({"--list-ports", "--no-serial"}, 10000, {}, net.Namespace("tool"));
  EXPECT_NE(list.out.find("  10.77.2.255:50000  (qv4, 10.77.2.1/24)"), std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("Networks left out:\n  qbr0 172.17.0.1/16 left out: no carrier"),
            std::string::npos)
      << list.out;
}

// Three hosts on one bridge: the tool, the device and another host. What the other host does must
// never get its values written, nor the record written to it, nor hold the search open.
TEST(NetnsOtherHost, OnlyTheDeviceTheUserNamedIsWritten) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  struct Case {
    const char* what;
    std::vector<std::string> device, other;  // the simulators' arguments beyond --udp
    bool cable;  // the device is on its cable too (a pseudo-terminal) and the tool searches it
    int exitCode;
    std::string message;  // the start of what the tool says
    Kinds deviceRequests, otherRequests;
    std::string record;  // what the device holds afterwards; empty: nothing written
  };
  const std::string device_record =
      "120007341201000088139411200311223344"
      "0000";
  const Case cases[] = {
      {"an impostor answers with the same serial number",
       {"--serial", "1234"},
       {"--serial", "1234", "--reply-delay", "300"},
       false,
       1,
       std::string(kTextTwoDevices) + " 10.77.5.2 and 10.77.5.3.",  // on the first network
       {"identify"},
       {"identify"},
       ""},
      {"another host forges the status reply while the device answers late",
       {"--serial", "1234", "--status-delay", "500"},
       {"--serial", "999", "--forge-status", "100:8", "--status-fields", "0102030405060708"},
       false,
       0,
       std::string(kTextSuccess),
       kFullSequence,
       {"identify"},
       device_record},
      {"a chatty host keeps sending",
       {"--serial", "1234"},
       {"--serial", "999", "--trickle", "450"},
       false,
       0,
       std::string(kTextSuccess),
       kFullSequence,
       {"identify"},
       device_record},
      {"the device on its cable and on the network: the cable decides",
       {"--serial", "1234", "--pty"},
       {"--serial", "999"},
       true,
       0,
       std::string(kTextSuccess),
       kFullSequence,
       {"identify"},
       device_record},
  };
  // Each row on a network of its own (10.77.5.0/24, 10.77.6.0/24, ...), so that the rows run at
  // once: the chatty host's row alone holds the window open for its 10 s.
  constexpr std::size_t kRows = std::size(cases);
  std::unique_ptr<testing::TestNetwork> nets[kRows];
  std::string why;
  for (std::size_t i = 0; i < kRows; ++i) {
    nets[i] = std::make_unique<testing::TestNetwork>();
    testing::TestNetwork& net = *nets[i];
    if (!net.AddHost("tool", &why)) GTEST_SKIP() << "no network namespaces here: " << why;
    const std::string subnet = "10.77." + std::to_string(5 + i) + ".";
    ASSERT_TRUE(
        net.AddHost("switch", &why) && net.AddHost("device", &why) && net.AddHost("other", &why) &&
        net.Bridge(
            "switch",
            {{"tool", subnet + "1/24"}, {"device", subnet + "2/24"}, {"other", subnet + "3/24"}},
            &why))
        << why;
  }
  testing::ForEachRowAtOnce(cases, [&](const Case& c) {
    SCOPED_TRACE(c.what);
    const std::size_t i = static_cast<std::size_t>(&c - cases);
    const testing::TestNetwork& net = *nets[i];
    ASSERT_TRUE(testing::UseNetworkUnderWine("10.77." + std::to_string(5 + i) + ".1"));
    SimulatorProcess device, other;
    device.SetNetworkNamespace(net.Namespace("device"));
    other.SetNetworkNamespace(net.Namespace("other"));
    std::vector<std::string> args = {"--udp", "0.0.0.0"};
    std::string error;
    args.insert(args.end(), c.device.begin(), c.device.end());
    ASSERT_TRUE(device.Start(args, &error)) << error;
    args = {"--udp", "0.0.0.0"};
    args.insert(args.end(), c.other.begin(), c.other.end());
    ASSERT_TRUE(other.Start(args, &error)) << error;
    const std::int64_t start = SteadyClockMs();
    const auto r =
        testing::RunCli({"--serial", "1234",
                         c.cable ? "--port=" + testing::CliPort(device.PtyPath()) : "--no-serial"},
                        30000, {}, net.Namespace("tool"));
    const std::int64_t took = SteadyClockMs() - start;
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_EQ((r.exitCode == 0 ? r.out : r.err).rfind(c.message, 0), 0u) << r.out << r.err;
    if (c.cable) {
      EXPECT_EQ(RequestKinds(device, "serial"), c.deviceRequests);
      EXPECT_EQ(RequestKinds(device, "udp"), Kinds{"identify"});
      EXPECT_NE(r.out.find("also answered at 10.77." + std::to_string(5 + i) + ".2:"),
                std::string::npos)
          << r.out;
    } else {
      EXPECT_EQ(RequestKinds(device), c.deviceRequests);
    }
    EXPECT_EQ(RequestKinds(other), c.otherRequests);
    EXPECT_EQ(device.LastRecordHex(), c.record);
    EXPECT_EQ(other.LastRecordHex(), "");
    // A trickle every 450 ms would keep the window open for ever; it ends 10 s after the
    // broadcast (then the status request, the mode switch's second of silence, the write):
    // about 12 s, and a few more for starting the Windows program under Wine on a busy machine.
    // A window held open runs to the 30 s limit.
    EXPECT_LT(took, 20000);
  });
}

}  // namespace
}  // namespace quillon
