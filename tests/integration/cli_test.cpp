// The command line's contract: output streams, exit status, the trace and the port listing.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>

#include "link/endpoint.h"
#include "link/platform.h"
#include "link/serial_port.h"
#include "link/system_platform.h"
#include "reconfig/messages.h"
#include "support/cli_under_test.h"
#include "support/netns.h"
#include "support/posix_fixtures.h"
#include "support/process_runner.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::RunProcess;
using testing::SimulatorProcess;

testing::ProcessResult Cli(const std::vector<std::string>& args) {
  return testing::RunCli(args, 30000);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  }
  void StartSim(std::vector<std::string> args) {
    args.insert(args.end(), {"--pty", "--serial", "1234"});
    std::string error;
    ASSERT_TRUE(m_sim.Start(args, &error)) << error;
  }
  SimulatorProcess m_sim;
};

// Each outcome has its own exit status; the text goes to standard output on success and to
// standard error otherwise, and --json gives one object on standard output instead.
TEST_F(CliTest, OutcomesHaveTheirExitStatusAndJson) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    std::vector<std::string> cliArgs;
    int exitCode;
    std::string out, err;  // "@" stands for the port's name
  };
  const Case cases[] = {
      {"success",
       {},
       {"--serial=1234"},
       0,
       "The data has been successfully transfered.\n\nThe Quillon was found at @.\n",
       ""},
      {"not detected",
       {},
       {"--serial", "999"},
       3,
       "",
       "The specified Quillon has been not detected.\n"},
      {"in use",
       {"--use-count", "3"},
       {"--serial", "1234"},
       4,
       "",
       "Error!\n\nThe specified Quillon is already in use by another program.\n"},
      {"not applicable",
       {"--applicability-b", "2"},
       {"--serial", "1234"},
       5,
       "",
       "Error!\n\nThe specified Quillon is not applicable.\n"},
      {"unknown error", {"--no-record-echo"}, {"--serial", "1234"}, 6, "", "Unknown Error!\n"},
      {"json",
       {},
       {"--serial", "1234", "--json"},
       0,
       "{\"serialNumber\": 1234, \"outcome\": \"reconfigured\", \"message\": \"The data has "
       "been successfully transfered.\", \"transport\": \"serial\", \"port\": \"@\", "
       "\"address\": null, \"alsoAt\": [], \"record\": \"120007341201000088139411200311223344"
       "0000\", \"stagesMs\": {",
       ""},
      {"json, not detected",
       {},
       {"--serial", "999", "--json"},
       3,
       "{\"serialNumber\": 999, \"outcome\": \"not detected\", \"message\": \"The specified "
       "Quillon has been not detected.\", \"transport\": null, \"port\": null, \"address\": "
       "null, \"alsoAt\": [], \"record\": null, \"stagesMs\": {\"searching for the device\": ",
       ""},
  };
  testing::ForEachRowAtOnce(cases, [&](const Case& c) {
    SCOPED_TRACE(c.what);
    SimulatorProcess sim;
    std::vector<std::string> sim_args = c.simArgs;
    sim_args.insert(sim_args.end(), {"--pty", "--serial", "1234"});
    std::string error;
    ASSERT_TRUE(sim.Start(sim_args, &error)) << error;
    std::vector<std::string> args = c.cliArgs;
    args.insert(args.end(), {"--port", testing::CliPort(sim.PtyPath()), "--no-udp"});
    const auto r = Cli(args);
    const std::string port = testing::CliPortName(testing::CliPort(sim.PtyPath()));
    const bool json = std::string(c.what).rfind("json", 0) == 0;
    auto expand = [&port, json](std::string text) {
      std::string name;
      for (const char ch : port) name += json && ch == '\\' ? "\\\\" : std::string(1, ch);
      if (const auto at = text.find('@'); at != std::string::npos) text.replace(at, 1, name);
      return text;
    };
    EXPECT_EQ(r.exitCode, c.exitCode);
    if (json) {
      EXPECT_EQ(r.out.rfind(expand(c.out), 0), 0u) << r.out;
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
    } else {
      EXPECT_EQ(r.out, expand(c.out));
    }
    EXPECT_EQ(r.err, c.err);  // no stage lines: standard error is not a terminal
  });
}

TEST_F(CliTest, UsageErrorsAreOneLineAndStatusTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"--serial", "70000"},
                                               {"--serial", "12", "--frobnicate"},
                                               {"--serial", "1", "--address", "10.0.0.256"},
                                               {"--serial", "1", "--serial", "1"},
                                               {"--serial", "1", "--no-serial", "--no-udp"},
                                               {"--serial", "1", "--", "2"}}) {
    const auto r = Cli(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.out.empty());
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  // A --port that names no serial port of this computer: Windows knows COM1 to COM256 alone, a
  // file is no port anywhere, a missing path is none on POSIX.
  char file[] = "/tmp/quillon-cli-test-XXXXXX";
  const int fd = ::mkstemp(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (const std::string& port :
       {std::string("COM300"), std::string("/dev/ttyNOPE"), std::string(file)}) {
    const auto r = Cli({"--serial", "1", "--port", port, "--no-udp"});
    EXPECT_EQ(r.exitCode, 2) << port;
    EXPECT_TRUE(r.err.rfind("quillon-reconfigurator-cli: " + port + " is not", 0) == 0 ||
                r.err.rfind("quillon-reconfigurator-cli: " + port + " does not exist", 0) == 0)
        << r.err;
  }
  ::unlink(file);
  EXPECT_EQ(Cli({"--version"}).out, "quillon-reconfigurator-cli 1.0.0.1\n");
  EXPECT_EQ(Cli({"-V"}).out, "quillon-reconfigurator-cli 1.0.0.1\n");
  // Windows' help speaks of COM ports and Ctrl+C, and answers its own /?.
  const auto help = Cli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  const bool wine = testing::CliUnderWine();
  for (const char* word : {"--port COMn", "Ctrl+C", "/?"}) {
    EXPECT_EQ(help.out.find(word) != std::string::npos, wine) << word << " in: " << help.out;
  }
  EXPECT_EQ(help.out.find("SIGINT") == std::string::npos, wine);
  EXPECT_EQ(Cli({"/?"}).exitCode, wine ? 0 : 2);
  EXPECT_EQ(Cli({"--help", "--bogus"}).exitCode, 0) << "--help wins";
  EXPECT_EQ(Cli({"--serial", "\x1b[31m"}).err,
            "quillon-reconfigurator-cli: --serial: '\\x1B[31m' is not a whole number from 0 to "
            "65535\n");
}

// Several devices in one run, two on pseudo-terminals and two over UDP: each has its own outcome,
// a missing or busy one changes nothing for the others, and an interruption after the mode
// switches sends command 4 to each.
TEST_F(CliTest, SeveralDevicesSideBySide) {
  using Kinds = std::vector<std::string>;
  const Kinds full = {"identify", "status", "mode", "svc0", "svc5", "svc4"};
  const Kinds asked = {"identify"};
  const Kinds left = {"identify", "status", "mode", "svc4"};
  struct Case {
    const char* what;
    std::vector<std::string> slowArgs;   // for every device
    std::vector<std::string> inUseArgs;  // for device 12
    std::vector<std::string> cliArgs;    // besides the ports, addresses and numbers
    int exitCode;
    std::vector<Kinds> requests;  // of 11, 12 (serial), 21, 22 (udp)
    std::string out;              // the summary, or the start of the JSON
    bool interrupt = false;       // SIGINT once every device has had its mode switch
  };
  const Case cases[] = {
      {"one number missing",
       {},
       {},
       {"--serial", "99"},
       7,
       {full, full, full, full},
       "4 of 5 Quillons were reconfigured.\n"},
      {"one device in use",
       {},
       {"--use-count", "1"},
       {},
       7,
       {full, asked, full, full},
       "3 of 4 Quillons were reconfigured.\n"},
      {"json",
       {},
       {},
       {"--json"},
       0,
       {full, full, full, full},
       "{\"devices\": [{\"serialNumber\": 11, \"outcome\": \"reconfigured\""},
      {"interrupted",
       {"--reply-delay", "300"},
       {},
       {},
       130,
       {left, left, left, left},
       "0 of 4 Quillons were reconfigured.\n",
       true},
  };
  const std::string file = ::testing::TempDir() + "cli_test_serials";
  std::ofstream(file) << "# the site's devices\n11\n12\n\n21\n22\n";
  // The rows run at once, each with devices of its own at 127.0.34.x, 127.0.35.x, ...
  testing::ForEachRowAtOnce(cases, [&](const Case& c) {
    SCOPED_TRACE(c.what);
    const std::string net = "127.0." + std::to_string(34 + (&c - cases)) + ".";
    std::vector<std::unique_ptr<SimulatorProcess>> sims;
    const std::vector<std::vector<std::string>> transports = {
        {"--pty", "--serial", "11"},
        {"--pty", "--serial", "12"},
        {"--udp", net + "1", "--serial", "21"},
        {"--udp", net + "2", "--serial", "22"}};
    for (std::size_t i = 0; i < transports.size(); ++i) {
      std::vector<std::string> args = transports[i];
      args.insert(args.end(), c.slowArgs.begin(), c.slowArgs.end());
      if (i == 1) args.insert(args.end(), c.inUseArgs.begin(), c.inUseArgs.end());
      std::string error;
      sims.push_back(std::make_unique<SimulatorProcess>());
      ASSERT_TRUE(sims.back()->Start(args, &error)) << error;
    }
    std::vector<std::string> args = {"--serials-from",
                                     file,
                                     "--address",
                                     net + "1",
                                     "--address",
                                     net + "2",
                                     "--port",
                                     testing::CliPort(sims[0]->PtyPath(), 0),
                                     "--port",
                                     testing::CliPort(sims[1]->PtyPath(), 1),
                                     "-v"};
    args.insert(args.end(), c.cliArgs.begin(), c.cliArgs.end());
    const auto r = testing::RunCli(args, 30000, [&](pid_t pid) {
      if (!c.interrupt) return;
      const std::int64_t end = SteadyClockMs() + 15000;
      auto switched = [&sims] {
        for (const auto& sim : sims) {
          const Kinds kinds = testing::RequestKinds(*sim);
          if (std::find(kinds.begin(), kinds.end(), "mode") == kinds.end()) return false;
        }
        return true;
      };
      while (!switched() && SteadyClockMs() < end) ::usleep(5000);
      ::kill(pid, SIGINT);
    });
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    for (std::size_t i = 0; i < sims.size(); ++i) {
      EXPECT_EQ(testing::RequestKinds(*sims[i]), c.requests[i]) << i;
    }
    if (c.out[0] == '{') {
      EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
      EXPECT_NE(r.out.find("], \"reconfigured\": 4, \"of\": 4}\n"), std::string::npos) << r.out;
      return;
    }
    // One line per device as it ends, then the summary.
    EXPECT_NE(r.out.find("\n" + c.out), std::string::npos) << r.out;
    const std::string com1 = testing::CliPortName(testing::CliPort(sims[0]->PtyPath(), 0), 1);
    for (const std::string& line :
         {"11: " + std::string(c.interrupt ? kTextInterruptedLeftServiceMode : kTextSuccess) +
              " Found at " + com1 + ".\n",
          std::string("21: ") + (c.interrupt ? "Interrupted" : "The data")}) {
      EXPECT_NE(r.out.find(line), std::string::npos) << line << " in:\n" << r.out;
    }
    // The trace names the device on each of its lines.
    EXPECT_NE(r.err.find(" ms 22 udp " + net + "2:50000 > 12 bytes: A5 5A 59"), std::string::npos)
        << r.err;
  });
}

// What explains a failure follows the message after a blank line: a port another program holds, a
// port the user may not open, no network to search.
TEST_F(CliTest, TheReasonFollowsTheMessage) {
  QUILLON_SKIP_UNDER_WINE("the holders, permissions and networks are the POSIX side's");
  if (::geteuid() != 0) GTEST_SKIP() << "the unprivileged user (setpriv) and namespaces need root";
  const std::string not_detected = std::string(kTextNotDetected) + "\n\n";
  // Each case on ports of its own, all at once.
  auto busy = [&] {  // another program holds a flock on the port
    testing::PtyPair port;
    ASSERT_TRUE(port.ok());
    ::close(port.TakeSlave());  // the test itself would hold the port
    const std::string name = "COM1 (" + port.slavePath() + ")";
    const int fd = ::open(port.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto r = Cli({"--serial", "1234", "--port", port.slavePath(), "--no-udp"});
    ::close(fd);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, not_detected + name +
                         " was skipped: it is busy (locked by another program (flock): "
                         "cli_test, pid " +
                         std::to_string(::getpid()) + ").\n");
  };
  auto denied = [&] {  // the user is not in the port's group
    testing::PtyPair port;
    ASSERT_TRUE(port.ok());
    ::close(port.TakeSlave());
    const std::string name = "COM1 (" + port.slavePath() + ")";
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr) << "no group dialout here";
    ASSERT_EQ(::chown(port.slavePath().c_str(), 0, dialout->gr_gid), 0);
    ::chmod(port.slavePath().c_str(), 0660);
    const auto r =
        RunProcess({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                    QUILLON_CLI_PATH, "--serial", "1234", "--port", port.slavePath(), "--no-udp"},
                   30000);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, not_detected + name +
                         " was skipped: permission denied; to use it, add your user to the group "
                         "'dialout' that owns the port: sudo usermod -aG dialout $USER, then log "
                         "in again.\n");
  };
  auto limit = [&] {  // the descriptor limit: 40 silent ports, the device on the last
    std::vector<std::unique_ptr<testing::PtyPair>> silent(40);
    std::vector<std::string> command = {"/bin/bash",      "-c",       "",     "bash",
                                        QUILLON_CLI_PATH, "--serial", "1234", "--no-udp"};
    for (auto& p : silent) {
      p = std::make_unique<testing::PtyPair>();
      ::close(p->TakeSlave());  // the test itself would hold the port
      command.insert(command.end(), {"--port", p->slavePath()});
    }
    StartSim({});
    command.insert(command.end(), {"--port", m_sim.PtyPath()});
    // Only the soft limit is low: the tool raises it to what the search needs.
    command[2] = "ulimit -Sn 16 && exec \"$@\"";
    const auto raised = RunProcess(command, 30000);
    EXPECT_EQ(raised.exitCode, 0) << raised.err;
    // The hard limit too: the ports beyond it are named in the reason, nothing is left behind.
    command[2] = "ulimit -n 16 && exec \"$@\"";
    const auto r = RunProcess(command, 30000);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find(" ports could not be searched: too many open files (this process may "
                         "open 16).\n"),
              std::string::npos)
        << r.err;
  };
  auto no_network = [&] {  // a host with nothing but loopback
    testing::TestNetwork net;
    std::string why;
    ASSERT_TRUE(net.AddHost("alone", &why)) << why;
    const auto r = net.Run("alone", {QUILLON_CLI_PATH, "--serial", "1234", "--no-serial"}, 30000);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, not_detected +
                         "No network was searched: none of this computer's IPv4 networks has a "
                         "broadcast address (--list-ports tells why); name the device's address "
                         "with --address.\n");
  };
  const std::function<void()> cases[] = {busy, denied, limit, no_network};
  testing::ForEachRowAtOnce(cases, [](const std::function<void()>& c) { c(); });
}

TEST_F(CliTest, VerboseTracesEveryRequestAndReply) {
  StartSim({});
  const auto r = Cli(
      {"--serial", "1234", "--port", testing::CliPort(m_sim.PtyPath()), "--no-udp", "--verbose"});
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
  const std::vector<std::string> command = testing::CliCommand(
      {"--serial", "1234", "--port", testing::CliPort(m_sim.PtyPath()), "--no-udp"});
  std::vector<char*> argv;
  for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (pid == 0) {
    ::dup2(slave, 2);
    ::execvp(argv[0], argv.data());
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
  if (testing::CliUnderWine()) {
    // Wine's console draws each character between escape sequences, a space as a step right.
    for (std::size_t at; (at = seen.find("\x1b[1C")) != std::string::npos;)
      seen.replace(at, 4, " ");
    for (std::size_t at; (at = seen.find("\x1b[")) != std::string::npos;) {
      const std::size_t end = seen.find_first_of("ABCDEFGHJKSTfhlm", at + 2);
      seen.erase(at, end == std::string::npos ? std::string::npos : end - at + 1);
    }
  }
  for (const char* stage : {"searching", "reading", "service mode", "writing"}) {
    EXPECT_NE(seen.find(stage), std::string::npos) << stage << " in: " << seen;
  }
}

TEST_F(CliTest, ListPortsNamesTheStateOfEachPort) {
  StartSim({});
  const std::string port = testing::CliPort(m_sim.PtyPath());
  testing::ListMappedPortsUnderWine();
  auto r = Cli(
      {"--list-ports", "--port", port, "--port", "/nonexistent/ttyX", "--address", "127.0.0.98"});
  EXPECT_EQ(r.exitCode, 0);
  // Windows tells whether a port is free only by opening it, and the listing opens none.
  // Windows names a port by its COM name alone, the named path then takes the first free number.
  const std::string line =
      testing::CliUnderWine()
          ? port +
                "  present (not opened: only an open tells whether it is free, and an open can "
                "switch its lines)"
          : "COM1  " + port + "  free";
  EXPECT_NE(r.out.find("  " + line), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COM" + std::string(testing::CliUnderWine() ? "1" : "2") +
                       "  /nonexistent/ttyX  missing"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("127.0.0.98:50000"), std::string::npos) << r.out;
  QUILLON_SKIP_UNDER_WINE("a port held by another program is a POSIX open here");

  // Held by someone else: busy.
  SystemPlatform platform;
  platform.UseNamedSerialPorts({m_sim.PtyPath()});
  const SerialPort held = OpenSerialPort(Link(platform), 1);
  ASSERT_TRUE(held.IsOpen());
  r = Cli({"--list-ports", "--port", m_sim.PtyPath(), "--no-udp"});
  EXPECT_NE(r.out.find("COM1  " + m_sim.PtyPath() + "  busy"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace quillon
