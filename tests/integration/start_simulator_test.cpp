// Whole Start procedures in this process against the simulator: over a pseudo-terminal and over
// loopback UDP, for every outcome, with the requests the device saw and the descriptors left.

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "link/command_packet.h"
#include "link/serial_port.h"
#include "link/service_frame.h"
#include "link/system_platform.h"
#include "support/posix_fixtures.h"
#include "support/sim_session.h"

namespace quillon {
namespace {

using testing::RequestKinds;
using testing::RunStart;
using testing::SimulatorProcess;
using Kinds = std::vector<std::string>;

const Kinds kFullSequence = {"identify", "status", "mode", "svc0", "svc5", "svc4"};
// The default simulator's record: its module block and status fields, with 5000 V.
constexpr char kDefaultRecord[] =
    "120007341201000088139411200311223344"
    "0000";

struct Outcome {
  const char* what;
  std::vector<std::string> simArgs;
  double value;
  std::string_view message;
  Kinds requests;
  // The message goes on, after a blank line, with this reason that explains it.
  std::string reason = {};
};

std::string Describe(const std::vector<testing::Shown>& shown) {
  std::string s;
  for (const auto& m : shown) s += "[" + m.text + "] ";
  return s;
}

// Each test has its own loopback address, so that tests may run side by side.
void CheckOutcome(const Outcome& c, bool udp, const std::string& address) {
  SimulatorProcess sim;
  std::vector<std::string> args = {"--serial", "1234"};
  if (udp) {
    args.insert(args.end(), {"--udp", address});
  } else {
    args.push_back("--pty");
  }
  args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
  std::string error;
  ASSERT_TRUE(sim.Start(args, &error)) << error;

  const auto run = udp ? RunStart(c.value, {}, {address}) : RunStart(c.value, {sim.PtyPath()}, {});
  const std::string where = std::string(c.what) + (udp ? " (udp)" : " (serial)");
  ASSERT_EQ(run.messages.size(), 1u) << where << ": " << Describe(run.messages);
  const std::string place = udp ? address : "COM1 (" + sim.PtyPath() + ")";
  std::string expected(c.message);
  if (!c.reason.empty()) expected += "\n\n" + std::regex_replace(c.reason, std::regex("@"), place);
  EXPECT_EQ(run.messages[0].text, expected) << where;
  EXPECT_EQ(run.ok, c.message == kTextSuccess) << where;
  EXPECT_EQ(run.descriptorsLeft, 0) << where;
  EXPECT_EQ(RequestKinds(sim), c.requests) << where;
  if (run.ok) {
    EXPECT_EQ(sim.LastRecordHex(), kDefaultRecord) << where;
  }
}

class StartAgainstSimulator : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  }
};

// One case per outcome class and transport; the rules behind each (verdicts, numbers above 65535,
// the status reply, the record's echo) are the unit tests' on the fake platform.
TEST_P(StartAgainstSimulator, EveryOutcome) {
  const bool udp = GetParam();
  // Over serial a device that does not match is asked three more times.
  const Kinds unmatched = udp ? Kinds{"identify"} : Kinds(4, "identify");
  const std::vector<Outcome> cases = {
      {"success", {}, 1234, kTextSuccess, kFullSequence},
      {"another serial number", {}, 999, kTextNotDetected, unmatched},
      {"in use", {"--use-count", "1"}, 1234, kTextInUse, {"identify"}},
      {"old service version",
       {"--service-version", "4"},
       1234,
       kTextNotApplicable,
       {"identify", "status", "mode", "svc0", "svc4"}},
      {"answers the mode switch",
       {"--answer-mode-switch"},
       1234,
       kTextUnknownError,
       udp ? Kinds{"identify", "status", "mode"}
           : Kinds{"identify", "status", "mode", "mode", "mode", "mode", "mode"}},
      {"command 4 refused", {"--error-reply", "4:1"}, 1234, kTextUnknownError, kFullSequence},
  };
  for (const Outcome& c : cases) CheckOutcome(c, udp, "127.0.0.91");
}

// The device is found, then it stops answering (unplugged, switched off): the message says so.
TEST_P(StartAgainstSimulator, ADeviceThatVanishes) {
  const bool udp = GetParam();
  const std::string gone =
      "The Quillon at @ stopped answering during the Start: is it still connected and switched on?";
  const std::vector<Outcome> cases = {
      {"gone at the status request",
       {"--exit-after", "status"},
       1234,
       kTextUnknownError,
       {"identify", "status"},
       gone},
      // Silence after the mode switch looks like success; the service check then fails.
      {"gone at the mode switch",
       {"--exit-after", "mode"},
       1234,
       kTextNotApplicable,
       {"identify", "status", "mode"},
       gone},
      {"gone at the record",
       {"--exit-after", "svc5"},
       1234,
       kTextUnknownError,
       {"identify", "status", "mode", "svc0", "svc5"},
       gone},
  };
  for (const Outcome& c : cases) CheckOutcome(c, udp, "127.0.0.94");
}

INSTANTIATE_TEST_SUITE_P(Transports, StartAgainstSimulator, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Udp" : "Serial"; });

TEST(StartChoosesTheDevice, SerialStraysAndSplitRepliesAreSurvived) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  const Outcome stray = {"stray bytes before the first reply",
                         {"--stray-bytes", "3"},
                         1234,
                         kTextSuccess,
                         {"identify", "identify", "status", "mode", "svc0", "svc5", "svc4"}};
  CheckOutcome(stray, false, "");
  const Outcome split = {
      "replies in pieces", {"--split-reply", "4:40"}, 1234, kTextSuccess, kFullSequence};
  CheckOutcome(split, false, "");
}

// One number on a cable and on the network: the cable decides, and of two serial ports the lower
// COM number; the network and the other port get nothing but the identify request.
TEST(StartChoosesTheDevice, TheCableAndTheLowerComDecide) {
  if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  SimulatorProcess com1, com2, net;
  std::string error;
  ASSERT_TRUE(com1.Start({"--pty", "--serial", "1234"}, &error)) << error;
  ASSERT_TRUE(com2.Start({"--pty", "--serial", "1234"}, &error)) << error;
  ASSERT_TRUE(net.Start({"--udp", "127.0.0.92", "--serial", "1234"}, &error)) << error;

  const auto run = RunStart(1234, {com1.PtyPath(), com2.PtyPath()}, {"127.0.0.92"});
  EXPECT_TRUE(run.ok) << Describe(run.messages);
  EXPECT_EQ(RequestKinds(com1), (Kinds{"identify", "status", "mode", "svc0", "svc5", "svc4"}));
  EXPECT_EQ(RequestKinds(com2), Kinds{"identify"});
  EXPECT_EQ(RequestKinds(net), Kinds{"identify"});
  EXPECT_EQ(run.descriptorsLeft, 0);
}

// The link layer alone against a device in service mode.
class ServiceCommandsAgainstSimulator : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "the simulator is not built here";
  }
  // Starts the simulator with args, switches it to service mode and fills m_endpoint.
  void Enter(std::vector<std::string> args, const char* address) {
    const bool udp = GetParam();
    args.insert(args.end(), {"--serial", "1234"});
    if (udp) {
      args.insert(args.end(), {"--udp", address});
    } else {
      args.push_back("--pty");
    }
    std::string error;
    ASSERT_TRUE(m_sim.Start(args, &error)) << error;
    const CommandPacket mode = MakeModeSwitchRequest();
    if (udp) {
      m_socket = CreateLinkSocket();
      m_link = Link(m_platform, m_socket.get());
      ASSERT_TRUE(SetPeerAddress(m_endpoint, address));
      SendDatagram(m_link, mode, m_endpoint.peerAddress, kDevicePort);
    } else {
      m_platform.UseNamedSerialPorts({m_sim.PtyPath()});
      m_port = OpenSerialPort(m_link, 1);
      m_endpoint.serialPort = &m_port;
      ASSERT_NE(PortHandle(m_endpoint), kInvalidSerialHandle);
      SerialWrite(m_link, PortHandle(m_endpoint), mode);
    }
    ASSERT_EQ(m_sim.WaitForLogLines(1, 2000).size(), 1u);
  }
  SimulatorProcess m_sim;
  SystemPlatform m_platform;
  std::unique_ptr<DatagramSocket> m_socket;
  Link m_link{m_platform};
  SerialPort m_port;
  LinkEndpoint m_endpoint;
};

TEST_P(ServiceCommandsAgainstSimulator, EachCommand) {
  Enter({}, "127.0.0.95");
  std::uint8_t info[svc::kPayloadSize] = {};
  EXPECT_EQ(ServiceReadInfo(m_link, m_endpoint, info), LinkResult::kOk);
  EXPECT_EQ(info[0], 5);
  EXPECT_EQ(ServiceSendValue(m_link, m_endpoint, 0x01020304), LinkResult::kOk);
  const std::uint8_t data[4] = {9, 8, 7, 6};
  EXPECT_EQ(ServiceWriteBlock(m_link, m_endpoint, 0x100, 4, data), LinkResult::kOk);
  std::uint8_t back[128] = {};
  EXPECT_EQ(ServiceReadBlock(m_link, m_endpoint, 0x100, 128, back), LinkResult::kOk);
  PowerModuleRecord record;
  EXPECT_EQ(ServiceWriteRecord(m_link, m_endpoint, record.data()), LinkResult::kOk);
  EXPECT_EQ(m_sim.LastRecordHex(), "120005000000000088138813E803000000000000");
  EXPECT_EQ(ServiceFinish(m_link, m_endpoint), LinkResult::kOk);
  EXPECT_EQ(RequestKinds(m_sim), (Kinds{"mode", "svc0", "svc1", "svc2", "svc3", "svc5", "svc4"}));
}

TEST_P(ServiceCommandsAgainstSimulator, ALateDuplicateIsNotTakenForTheNextReply) {
  Enter({"--duplicate-reply-after", "200"}, "127.0.0.97");
  std::uint8_t info[svc::kPayloadSize] = {};
  ASSERT_EQ(ServiceReadInfo(m_link, m_endpoint, info), LinkResult::kOk);
  // The duplicate is queued before the next request goes out.
  const std::int64_t end = SteadyClockMs() + 3000;
  bool queued = false;
  while (!queued && SteadyClockMs() < end) {
    queued = GetParam() ? m_socket->WaitReadable(50)
                        : SerialQueued(m_link, PortHandle(m_endpoint)) >= svc::kFrameSize;
    if (!queued) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(queued) << "the simulator sent no duplicate";
  EXPECT_EQ(ServiceFinish(m_link, m_endpoint), LinkResult::kOk);
}

INSTANTIATE_TEST_SUITE_P(Transports, ServiceCommandsAgainstSimulator,
                         ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Udp" : "Serial"; });

}  // namespace
}  // namespace quillon
