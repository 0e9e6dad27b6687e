// --scan lists every Quillon that answers, and where, and sends nothing but identify requests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  const std::vector<std::string> ports = {"--port",         free_one.PtyPath(), "--port",
                                          in_use.PtyPath(), "--port",           twin.PtyPath()};
  auto scan = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv = {QUILLON_CLI_PATH, "--scan"};
    if (extra.empty()) argv.insert(argv.end(), ports.begin(), ports.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    return net.RunInTool(argv, 20000);
  };
  const std::string conflict = "  (conflict: this serial number answers from more than one place)";

  const auto r = scan({});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "1000  COM1 (" + free_one.PtyPath() + ")  free\n" + "2000  COM2 (" +
                       in_use.PtyPath() + ")  in use by another program\n" +
                       "3000  10.77.0.2  free" + conflict + "\n" + "3000  COM3 (" + twin.PtyPath() +
                       ")  not applicable" + conflict + "\n");

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
