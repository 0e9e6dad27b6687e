// --scan lists every Quillon that answers, and where, and sends nothing but identify requests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_under_test.h"
#include "support/netns.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::RequestKinds;
using testing::SimulatorProcess;

TEST(CliScan, ListsEveryDeviceAndChangesNothing) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  testing::NamespacePair net;
  std::string why;
  if (!net.Create(&why)) GTEST_SKIP() << "no network namespaces here: " << why;
  SimulatorProcess free_one, in_use, on_network, twin;
  on_network.SetNetworkNamespace(net.devices());
  std::string error;
  ASSERT_TRUE(free_one.Start({"--pty", "--serial", "1000"}, &error)) << error;
  ASSERT_TRUE(in_use.Start({"--pty", "--serial", "2000", "--use-count", "1"}, &error)) << error;
  ASSERT_TRUE(on_network.Start({"--udp", "0.0.0.0", "--serial", "3000"}, &error)) << error;
  ASSERT_TRUE(twin.Start({"--pty", "--serial", "3000", "--applicability-a", "2"}, &error)) << error;
  ASSERT_TRUE(testing::UseNetworkUnderWine("10.77.0.1"));
  const std::string free_port = testing::CliPort(free_one.PtyPath(), 0);
  const std::string in_use_port = testing::CliPort(in_use.PtyPath(), 1);
  const std::string twin_port = testing::CliPort(twin.PtyPath(), 2);
  const std::vector<std::string> ports = {"--port",    free_port, "--port",
                                          in_use_port, "--port",  twin_port};
  auto scan = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"--scan"};
    if (extra.empty()) args.insert(args.end(), ports.begin(), ports.end());
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::RunCli(args, 20000, {}, net.tool());
  };
  const std::string conflict = "  (conflict: this serial number answers from more than one place)";

  const auto r = scan({});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "1000  " + testing::CliPortName(free_port, 1) + "  free\n" + "2000  " +
                       testing::CliPortName(in_use_port, 2) + "  in use by another program\n" +
                       "3000  10.77.0.2  free" + conflict + "\n" + "3000  " +
                       testing::CliPortName(twin_port, 3) + "  not applicable" + conflict + "\n");

  const auto json = scan({"--json", "--no-serial"});
  EXPECT_EQ(json.exitCode, 0) << json.err;
  EXPECT_EQ(json.out,
            "[{\"serialNumber\": 3000, \"transport\": \"udp\", \"port\": null, \"address\": "
            "\"10.77.0.2\", \"state\": \"free\", \"conflict\": false}]\n");

  for (SimulatorProcess* sim : {&free_one, &in_use, &twin}) {
    EXPECT_EQ(RequestKinds(*sim), std::vector<std::string>{"identify"});
  }
  EXPECT_EQ(RequestKinds(on_network), (std::vector<std::string>{"identify", "identify"}));

  const auto none = scan({"--no-serial", "--address", "10.77.0.9"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_EQ(none.out, "");
}

}  // namespace
}  // namespace quillon
