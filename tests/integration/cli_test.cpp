// The command line's contract: output streams, exit status, the trace and the port listing.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/endpoint.h"
#include "link/serial_port.h"
#include "reconfig/messages.h"
#include "support/posix_fixtures.h"
#include "support/process_runner.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::RunProcess;
using testing::SimulatorProcess;

testing::ProcessResult Cli(std::vector<std::string> args) {
  args.insert(args.begin(), QUILLON_CLI_PATH);
  return RunProcess(args, 30000);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  }
  void StartSim(std::vector<std::string> args) {
    args.insert(args.end(), {"--pty", "--serial", "1234"});
    std::string error;
    ASSERT_TRUE(sim_.Start(args, &error)) << error;
  }
  SimulatorProcess sim_;
};

TEST_F(CliTest, OutcomesGoToTheRightStreamWithTheRightStatus) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    const char* serial;
    int exitCode;
    std::string out, err;
  };
  const Case cases[] = {
      {"success", {}, "1234", 0, "The data has been successfully transfered.\n", ""},
      {"not detected", {}, "999", 1, "", "The specified Quillon has been not detected.\n"},
      {"in use",
       {"--use-count", "3"},
       "1234",
       1,
       "",
       "Error!\n\nThe specified Quillon is already in use by another program.\n"},
      {"unknown error", {"--no-record-echo"}, "1234", 1, "", "Unknown Error!\n"},
  };
  for (const Case& c : cases) {
    StartSim(c.simArgs);
    const auto r = Cli({"--serial", c.serial, "--port", sim_.PtyPath(), "--no-udp"});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;  // no stage lines: standard error is not a terminal
    sim_.Stop();
  }
}

TEST_F(CliTest, UsageErrorsAreOneLineAndStatusTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"--serial", "70000"},
                                               {"--serial", "12", "--frobnicate"},
                                               {"--serial", "1", "--address", "10.0.0.256"}}) {
    const auto r = Cli(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.out.empty());
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  EXPECT_EQ(Cli({"--version"}).out, "quillon-reconfigurator-cli 1.0.0.1\n");
  EXPECT_EQ(Cli({"--help"}).exitCode, 0);
}

TEST_F(CliTest, VerboseTracesEveryRequestAndReply) {
  StartSim({});
  const auto r = Cli({"--serial", "1234", "--port", sim_.PtyPath(), "--no-udp", "--verbose"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find(" ms serial "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("> 12 bytes: A5 5A 01 01 00 00 00 00 00 00 B9 9B"), std::string::npos);
  EXPECT_NE(r.err.find("< 136 bytes: A5 5A"), std::string::npos);
  EXPECT_NE(r.err.find("> 136 bytes: 9C 05 12 00 07 34 12 01 00 00 88 13"),
            std::string::npos);  // the record
}

TEST_F(CliTest, StageLinesWhenStandardErrorIsATerminal) {
  StartSim({});
  testing::PtyPair terminal;
  ASSERT_TRUE(terminal.ok());
  const int slave = terminal.TakeSlave();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(slave, 2);
    ::execl(QUILLON_CLI_PATH, QUILLON_CLI_PATH, "--serial", "1234", "--port",
            sim_.PtyPath().c_str(), "--no-udp", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(slave);
  std::string seen;
  char buf[512];
  for (ssize_t n; (n = ::read(terminal.master(), buf, sizeof buf)) > 0;)
    seen.append(buf, static_cast<std::size_t>(n));
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const char* stage : {"searching", "reading", "service mode", "writing"}) {
    EXPECT_NE(seen.find(stage), std::string::npos) << stage << " in: " << seen;
  }
}

TEST_F(CliTest, ListPortsNamesTheStateOfEachPort) {
  StartSim({});
  auto r = Cli({"--list-ports", "--port", sim_.PtyPath(), "--port", "/nonexistent/ttyX",
                "--address", "127.0.0.98"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("COM1  " + sim_.PtyPath() + "  free"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COM2  /nonexistent/ttyX  missing"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("127.0.0.98:50000"), std::string::npos) << r.out;

  // Held by someone else: busy.
  SystemPlatform::Instance().UseNamedSerialPorts({sim_.PtyPath()});
  LinkEndpoint held;
  held.serialPort = OpenSerialPort(1);
  ASSERT_NE(held.serialPort, kInvalidSerialHandle);
  r = Cli({"--list-ports", "--port", sim_.PtyPath(), "--no-udp"});
  EXPECT_NE(r.out.find("COM1  " + sim_.PtyPath() + "  busy"), std::string::npos) << r.out;
  CloseEndpoint(held);
  SystemPlatform::Instance().UseNamedSerialPorts({});
}

}  // namespace
}  // namespace quillon
