// Interrupting the command line leaves the device as it was: the real process, signalled at each
// stage of a Start against the simulator.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/platform.h"
#include "reconfig/messages.h"
#include "support/cli_under_test.h"
#include "support/process_runner.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::RequestKinds;
using testing::SimulatorProcess;
using Kinds = std::vector<std::string>;

// The device answers the identify request again (it is in its command protocol), the port opens
// (no exclusive flag left) and no lock file of ours is left.
void ExpectLeftAsFound(const SimulatorProcess& sim) {
  const auto again =
      testing::RunCli({"--scan", "--port", testing::CliPort(sim.PtyPath()), "--no-udp"}, 15000);
  EXPECT_EQ(again.exitCode, 0) << again.err << " (the port or the device was left behind)";
  const std::string pty = sim.PtyPath();
  const std::string lock = "LCK.." + pty.substr(std::string("/dev/").size());
  for (const char* dir : {"/run/lock/", "/var/lock/"}) {
    std::string name = dir + lock;
    std::replace(name.begin() + static_cast<std::ptrdiff_t>(std::string(dir).size()), name.end(),
                 '/', '_');
    EXPECT_NE(::access(name.c_str(), F_OK), 0) << name << " was left behind";
  }
}

TEST(CliSignals, EachStageLeavesTheDeviceAsItWas) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  struct Case {
    const char* what;
    const char* when;  // the request that, once logged, is the moment to signal
    int signal;
    bool twice;  // a second signal follows command 4 at once
    std::string message;
    Kinds requests;
    int exitCode;
  };
  const Case cases[] = {
      {"searching", "identify", SIGINT, false, std::string(kTextInterruptedUnchanged),
       Kinds{"identify"}, 130},
      {"entering service mode", "mode", SIGTERM, false,
       std::string(kTextInterruptedLeftServiceMode), Kinds{"identify", "status", "mode", "svc4"},
       143},
      {"writing the record", "svc5", SIGINT, false, std::string(kTextInterruptedWriting),
       Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}, 130},
      {"a second signal", "svc5", SIGINT, true, "",
       Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}, 130},
  };
  std::string not_under_wine;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Wine turns SIGINT into the console's Ctrl-C event, but ends the program on SIGTERM
    // without any event it could handle.
    if (testing::CliUnderWine() && c.signal != SIGINT) {
      not_under_wine += std::string(not_under_wine.empty() ? "" : ", ") + c.what;
      continue;
    }
    SimulatorProcess sim;
    std::string error;
    // Slow answers leave time to signal while the tool waits for one.
    ASSERT_TRUE(sim.Start({"--pty", "--serial", "1234", "--reply-delay", "700"}, &error)) << error;
    std::int64_t second_at = 0;
    const auto r =
        testing::RunCli({"--serial", "1234", "--port", testing::CliPort(sim.PtyPath()), "--no-udp"},
                        30000, [&](pid_t pid) {
                          const std::int64_t end = SteadyClockMs() + 15000;
                          auto logged = [&sim](const std::string& kind) {
                            const Kinds kinds = RequestKinds(sim);
                            return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
                          };
                          while (!logged(c.when) && SteadyClockMs() < end) ::usleep(5000);
                          ::kill(pid, c.signal);
                          if (!c.twice) return;
                          while (!logged("svc4") && SteadyClockMs() < end) ::usleep(2000);
                          ::kill(pid, SIGINT);
                          second_at = SteadyClockMs();
                        });
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (c.twice) {
      EXPECT_LT(SteadyClockMs() - second_at, 500) << "a second signal ends the tool at once";
    } else {
      EXPECT_EQ(r.err, c.message + "\n");
    }
    EXPECT_EQ(RequestKinds(sim), c.requests);
    ExpectLeftAsFound(sim);
  }
  if (!not_under_wine.empty()) {
    GTEST_SKIP() << "under Wine, the SIGINT cases ran; not " << not_under_wine
                 << ": Wine ends the program on SIGTERM without a console event";
  }
}

// A reader that goes away (`| head -1` on the trace) never ends a Start midway: the writes fail,
// the exchange goes on to its end, and the exit status says what happened to the device.
TEST(CliSignals, AClosedOutputNeverEndsAStart) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  SimulatorProcess sim;
  std::string error;
  ASSERT_TRUE(sim.Start({"--pty", "--serial", "1234"}, &error)) << error;
  std::vector<std::string> command = {
      "/bin/bash", "-c", "\"$@\" 2>&1 | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", "bash"};
  for (const std::string& arg : testing::CliCommand(
           {"--serial", "1234", "--port", testing::CliPort(sim.PtyPath()), "--no-udp", "-v"})) {
    command.push_back(arg);
  }
  const auto r = testing::RunProcess(command, 30000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(RequestKinds(sim), (Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}));
  ExpectLeftAsFound(sim);
}

}  // namespace
}  // namespace quillon
