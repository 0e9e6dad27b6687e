// The network search for real: the command line in one network namespace, simulated devices in
// another, joined by a veth pair, found by the identify broadcast to 10.77.0.255.

#include <gtest/gtest.h>

#include "reconfig/messages.h"
#include "support/netns.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::NamespacePair;
using testing::RequestKinds;
using testing::SimulatorProcess;

class NetnsBroadcast : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
    std::string why;
    if (!net_.Create(&why)) GTEST_SKIP() << "no network namespaces here: " << why;
    sim_.SetNetworkNamespace(net_.devices());
  }
  testing::ProcessResult Cli(const std::string& serial) {
    return net_.RunInTool({QUILLON_CLI_PATH, "--serial", serial, "--no-serial", "--verbose"},
                          30000);
  }
  NamespacePair net_;
  SimulatorProcess sim_;
};

TEST_F(NetnsBroadcast, FindsAndReconfiguresTheDeviceByBroadcast) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--udp", "0.0.0.0", "--serial", "1234"}, &error)) << error;
  const auto r = Cli("1234");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kTextSuccess) + "\n");
  // The request went to the network's broadcast address; the device answered from its own.
  EXPECT_NE(r.err.find("udp 10.77.0.255:50000 > 12 bytes: A5 5A 01 01"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("udp 10.77.0.2:50000 > 136 bytes"), std::string::npos) << r.err;
  EXPECT_EQ(RequestKinds(sim_),
            (std::vector<std::string>{"identify", "status", "mode", "svc0", "svc5", "svc4"}));
  EXPECT_EQ(sim_.LastRecordHex(),
            "120007341201000088139411200311223344"
            "0000");
}

TEST_F(NetnsBroadcast, ReportsAnAbsentDevice) {
  std::string error;
  ASSERT_TRUE(sim_.Start({"--udp", "0.0.0.0", "--serial", "1234"}, &error)) << error;
  const auto r = Cli("4321");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find(std::string(kTextNotDetected) + "\n"), std::string::npos) << r.err;
  EXPECT_EQ(RequestKinds(sim_), std::vector<std::string>{"identify"});
}

TEST_F(NetnsBroadcast, FindsOneOf250DevicesAnsweringTheSameBroadcast) {
  std::string why;
  ASSERT_TRUE(net_.AddDeviceAddresses(3, 250, &why)) << why;
  std::string error;
  // Devices 1000..1249 answer from 10.77.0.3 .. 10.77.0.252.
  ASSERT_TRUE(sim_.Start({"--udp", "0.0.0.0", "--serial", "1000", "--devices", "250",
                          "--device-addresses-from", "10.77.0.3"},
                         &error))
      << error;
  constexpr int kTries = 3;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    const int wanted = 1000 + 137 + attempt * 50;
    const auto r = Cli(std::to_string(wanted));
    ASSERT_EQ(r.exitCode, 0) << "try " << attempt << ": " << r.out << r.err;
    const std::string address = "10.77.0." + std::to_string(3 + 137 + attempt * 50);
    EXPECT_NE(r.err.find("udp " + address + ":50000 > 136 bytes"), std::string::npos)
        << "try " << attempt;
  }
}

}  // namespace
}  // namespace quillon
