// Interrupting the command line leaves the device as it was: the real process, signalled at each
// stage of a Start against the simulator.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
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

// What the tool changes on a port: its line settings and the exclusive flag (root opens a port
// whatever the flag says, so it is asked for).
struct PortState {
  bool read = false;
  termios settings{};
  int exclusive = 0;
};

PortState ReadPortState(const std::string& path) {
  PortState state;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return state;
  state.read = ::tcgetattr(fd, &state.settings) == 0;
  ::ioctl(fd, TIOCGEXCL, &state.exclusive);
  ::close(fd);
  return state;
}

// The device answers the identify request again (it is in its command protocol), the port is as
// it was found (line settings, no exclusive flag) and no lock file of ours is left.
void ExpectLeftAsFound(const SimulatorProcess& sim, const PortState& found) {
  if (!testing::CliUnderWine()) {
    const PortState now = ReadPortState(sim.PtyPath());
    ASSERT_TRUE(found.read && now.read) << "the port's settings could not be read";
    EXPECT_EQ(now.exclusive, 0) << "the exclusive flag was left set";
    EXPECT_EQ(now.settings.c_cflag, found.settings.c_cflag);
    EXPECT_EQ(now.settings.c_iflag, found.settings.c_iflag);
    EXPECT_EQ(now.settings.c_oflag, found.settings.c_oflag);
    EXPECT_EQ(now.settings.c_lflag, found.settings.c_lflag);
    EXPECT_EQ(::cfgetospeed(&now.settings), ::cfgetospeed(&found.settings));
  }
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
    int second;              // a second signal (0: none)
    const char* secondWhen;  // once this request is logged; null: together with the first
    std::string message;     // for a single signal
    Kinds requests;
    int exitCode;
    // Two signals pending at once are delivered lowest number first: either may be the first.
    int orExitCode = -1;
  };
  const std::string left(kTextInterruptedLeftServiceMode);
  const Kinds left_kinds = {"identify", "status", "mode", "svc4"};
  const Case cases[] = {
      {"searching", "identify", SIGINT, 0, nullptr, std::string(kTextInterruptedUnchanged),
       Kinds{"identify"}, 130},
      {"entering service mode", "mode", SIGTERM, 0, nullptr, left, left_kinds, 143},
      {"writing the record", "svc5", SIGINT, 0, nullptr, std::string(kTextInterruptedWriting),
       Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}, 130},
      {"a second signal", "svc5", SIGINT, SIGINT, "svc4", "",
       Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}, 130},
      {"two signals together", "mode", SIGTERM, SIGHUP, nullptr, "", left_kinds, 143, 129},
      {"Ctrl-\\", "mode", SIGQUIT, 0, nullptr, left, left_kinds, 131},
      {"SIGUSR1", "mode", SIGUSR1, 0, nullptr, left, left_kinds, 138},
      {"SIGALRM", "mode", SIGALRM, 0, nullptr, left, left_kinds, 142},
  };
  std::string not_under_wine;
  testing::ForEachRowAtOnce(cases, [&](const Case& c) {
    SCOPED_TRACE(c.what);
    // Wine turns SIGINT into the console's Ctrl-C event, but ends the program on SIGTERM
    // without any event it could handle.
    if (testing::CliUnderWine() && c.signal != SIGINT) {
      not_under_wine += std::string(not_under_wine.empty() ? "" : ", ") + c.what;
      return;
    }
    SimulatorProcess sim;
    std::string error;
    // Slow answers leave time to signal while the tool waits for one.
    ASSERT_TRUE(sim.Start({"--pty", "--serial", "1234", "--reply-delay", "700"}, &error)) << error;
    const PortState found = ReadPortState(sim.PtyPath());
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
                          if (c.second == 0) return;
                          while (c.secondWhen && !logged(c.secondWhen) && SteadyClockMs() < end) {
                            ::usleep(2000);
                          }
                          ::kill(pid, c.second);
                          second_at = SteadyClockMs();
                        });
    EXPECT_TRUE(r.exitCode == c.exitCode || r.exitCode == c.orExitCode) << r.exitCode << r.err;
    if (c.second != 0) {
      EXPECT_LT(SteadyClockMs() - second_at, 500) << "a second signal ends the tool at once";
      // The tool did not wait for command 4's answer: the device may still be reading it.
      sim.WaitForLogLines(c.requests.size(), 3000);
    } else {
      EXPECT_EQ(r.err, c.message + "\n");
    }
    EXPECT_EQ(RequestKinds(sim), c.requests);
    ExpectLeftAsFound(sim, found);
  });
  if (!not_under_wine.empty()) {
    GTEST_SKIP() << "under Wine, the SIGINT cases ran; not " << not_under_wine
                 << ": Wine ends the program on SIGTERM without a console event";
  }
}

// A reader that goes away (`| head -1` on the trace) never ends a Start midway: the writes fail,
// the exchange goes on to its end, and the exit status says what happened to the device. With
// standard error closed, the port must not become descriptor 2: the device would get the trace.
TEST(CliSignals, AClosedOutputNeverEndsAStart) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  const char* shells[] = {"\"$@\" 2>&1 | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}",
                          "\"$@\" 2>&- </dev/null", "\"$@\" 1>&- 2>&- 0<&-"};
  std::string not_under_wine;
  for (const char* shell : shells) {
    SCOPED_TRACE(shell);
    // Wine's own start-up needs its standard descriptors: that row is the POSIX programs'.
    if (testing::CliUnderWine() && std::string(shell).find("0<&-") != std::string::npos) {
      not_under_wine = shell;
      continue;
    }
    SimulatorProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--pty", "--serial", "1234"}, &error)) << error;
    const PortState found = ReadPortState(sim.PtyPath());
    std::vector<std::string> command = {"/bin/bash", "-c", shell, "bash"};
    for (const std::string& arg : testing::CliCommand(
             {"--serial", "1234", "--port", testing::CliPort(sim.PtyPath()), "--no-udp", "-v"})) {
      command.push_back(arg);
    }
    const auto r = testing::RunProcess(command, 30000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(RequestKinds(sim), (Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}));
    ExpectLeftAsFound(sim, found);
  }
  if (!not_under_wine.empty()) {
    GTEST_SKIP() << "under Wine, the other rows ran; not " << not_under_wine
                 << ": Wine itself does not start without its standard descriptors";
  }
}

// SIGKILL cannot be caught: the device stays in service mode and answers no search. The user's
// way back without a power cycle is command 4 alone, to the address (or port) named.
TEST(CliSignals, ADeviceLeftInServiceModeIsToldToLeaveIt) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  SimulatorProcess sim;
  std::string error;
  ASSERT_TRUE(
      sim.Start({"--udp", "127.0.0.89", "--serial", "1234", "--reply-delay", "700"}, &error))
      << error;
  const auto killed = testing::RunCli(
      {"--serial", "1234", "--no-serial", "--address", "127.0.0.89"}, 30000, [&sim](pid_t pid) {
        const std::int64_t end = SteadyClockMs() + 15000;
        while (SteadyClockMs() < end) {
          const Kinds kinds = RequestKinds(sim);
          if (std::find(kinds.begin(), kinds.end(), "mode") != kinds.end()) break;
          ::usleep(5000);
        }
        ::kill(pid, SIGKILL);
      });
  EXPECT_EQ(killed.signal, SIGKILL);
  const std::vector<std::string> leave = {"--leave-service-mode", "--address", "127.0.0.89"};
  const auto left = testing::RunCli(leave, 30000);
  EXPECT_EQ(left.exitCode, 0) << left.err;
  EXPECT_EQ(left.out, "The Quillon at 127.0.0.89 has left its service mode.\n");
  EXPECT_EQ(RequestKinds(sim), (Kinds{"identify", "status", "mode", "svc4"}));
  const auto again = testing::RunCli(leave, 30000);
  EXPECT_EQ(again.exitCode, 3) << "no device in service mode answers any more";
  EXPECT_EQ(again.err, "No Quillon in service mode answered at 127.0.0.89.\n");
}

}  // namespace
}  // namespace quillon
