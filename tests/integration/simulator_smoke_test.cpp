// The simulated device, driven from outside over its pseudo-terminal and over UDP on loopback
// addresses 127.0.57.x (one per test, so that tests may run in parallel).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "link/command_packet.h"
#include "link/platform.h"
#include "link/service_frame.h"
#include "link/wire.h"
#include "program/version.h"
#include "reconfig/power_module_record.h"
#include "support/posix_fixtures.h"
#include "support/process_runner.h"
#include "support/simulator_process.h"

namespace quillon::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Generous: a reply comes at once; only the fault cases add their own pauses.
constexpr int kReplyWaitMs = 2000;
// The tool's own answer window: what a silent device is given.
constexpr int kSilenceWaitMs = 1000;

Bytes ToBytes(const CommandPacket& p) {
  return Bytes(p.begin(), p.end());
}

// A service request: command, payload from byte 2, checksum filled in.
Bytes ServiceRequest(std::uint8_t command, const Bytes& payload = {}) {
  Bytes f(svc::kFrameSize, 0);
  f[1] = command;
  std::copy(payload.begin(), payload.end(), f.begin() + 2);
  f[0] = FrameChecksum(f.data());
  return f;
}

std::string ToHex(const Bytes& b) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t v : b) s += {kDigits[v >> 4], kDigits[v & 15]};
  return s;
}

Bytes Unprefixed(const Bytes& datagram) {
  return Bytes(datagram.begin() + 2, datagram.end());
}

struct Datagram {
  Bytes bytes;
  std::string address;
  std::uint16_t port = 0;
};

// The tool's end of UDP: a socket on 127.0.0.1.
class UdpClient {
 public:
  UdpClient() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~UdpClient() { close(m_fd); }
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  void Send(const std::string& address, const Bytes& b, std::uint16_t port = 50000) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    ASSERT_EQ(sendto(m_fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              static_cast<long>(b.size()));
  }
  std::optional<Datagram> Receive(int timeout_ms) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    std::uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{Bytes(buf, buf + n), text, ntohs(from.sin_port)};
  }

 private:
  int m_fd;
};

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatorProcess::Available()) GTEST_SKIP() << "quillon-simulator is not built";
  }
  void StartSimulator(const std::vector<std::string>& args) {
    std::string error;
    ASSERT_TRUE(m_sim.Start(args, &error)) << error;
  }
  SimulatorProcess m_sim;
};

TEST_F(SimulatorTest, IdentifyReplyOverPtyIsTheWorkedExample) {
  // All zeros but markers, echo, presenceWord 1 and serialNumber 1234: checksum 0xFC32.
  ASSERT_NO_FATAL_FAILURE(
      StartSimulator({"--pty", "--serial", "1234", "--presence", "1", "--applicability-a", "0",
                      "--module-block", "0000000000"}));
  PtyClient pty(m_sim.LinkPath());
  ASSERT_TRUE(pty.ok());
  // Garbage ahead, and the request itself in two pieces: the device finds it by its markers.
  const Bytes identify = ToBytes(kIdentifyRequest);
  pty.Write({0x00, 0xA5, 0x11, 0xA5, 0x5A, 0x01, 0x01, 0x00});
  pty.Write(Bytes(identify.begin() + 5, identify.end()));

  Bytes expected(cmd::kReplySize, 0);
  expected[0] = 0xA5, expected[1] = 0x5A, expected[2] = 0x01;
  expected[46] = 0xD2, expected[47] = 0x04;
  expected[108] = 0x01, expected[109] = 0x01;
  expected[128] = 0x32, expected[129] = 0xFC;
  expected[134] = 0xB9, expected[135] = 0x9B;
  EXPECT_EQ(pty.Read(cmd::kReplySize, kReplyWaitMs), expected);
  // Nothing behind the reply: the next reply comes first.
  pty.Write(identify);
  EXPECT_EQ(pty.Read(cmd::kReplySize, kReplyWaitMs), expected);

  EXPECT_EQ(m_sim.LogLines(), (std::vector<std::string>{
                                  "serial unknown 00A511",
                                  "serial identify A55A0101000000000000B99B",
                                  "serial identify A55A0101000000000000B99B",
                              }));
}

TEST_F(SimulatorTest, ConfiguredFieldsReachTheRepliesOverUdp) {
  ASSERT_NO_FATAL_FAILURE(
      StartSimulator({"--udp=127.0.57.2", "--serial", "40000", "--presence=0x1234",
                      "--applicability-a", "2", "--use-override", "3", "--use-count=-5",
                      "--module-block", "0102030405", "--status-fields", "1112131415161718"}));
  EXPECT_EQ(m_sim.UdpEndpoint(), "127.0.57.2:50000");
  UdpClient udp;

  udp.Send("127.0.57.2", ToBytes(kIdentifyRequest));
  const auto identify = udp.Receive(kReplyWaitMs);
  ASSERT_TRUE(identify);
  ASSERT_EQ(identify->bytes.size(), cmd::kDatagramSize);
  EXPECT_EQ(identify->address, "127.0.57.2");
  ASSERT_NE(UnwrapReplyDatagram(identify->bytes.data(), 138, identify->port), nullptr);
  const Bytes ir = Unprefixed(identify->bytes);
  EXPECT_TRUE(IsValidReply(ir.data(), kIdentifyRequest));
  EXPECT_FALSE(IsValidReply(ir.data(), kStatusRequest));
  EXPECT_EQ(ReplySerialNumber(ir.data()), 40000);
  EXPECT_EQ(ReplyPresenceWord(ir.data()), 0x1234);
  EXPECT_EQ(ReplyApplicabilityA(ir.data()), 2);
  EXPECT_EQ(ReplyUseOverride(ir.data()), 3);
  EXPECT_EQ(ReplyUseCount(ir.data()), -5);
  EXPECT_EQ(Bytes(ir.begin() + 61, ir.begin() + 66), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(ReplyApplicabilityB(ir.data()), 0x0504);

  udp.Send("127.0.57.2", ToBytes(kStatusRequest));
  const auto status = udp.Receive(kReplyWaitMs);
  ASSERT_TRUE(status);
  ASSERT_EQ(status->bytes.size(), cmd::kDatagramSize);
  const Bytes sr = Unprefixed(status->bytes);
  EXPECT_TRUE(IsValidReply(sr.data(), kStatusRequest));
  PowerModuleRecord record;
  record.FillFromStatusReply(sr.data());
  EXPECT_EQ(Bytes(record.bytes.begin() + 10, record.bytes.begin() + 18),
            (Bytes{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}));

  const auto log = m_sim.LogLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].substr(0, 14), "udp 127.0.0.1:");
  EXPECT_NE(log[1].find(" status A55A5900000000000000B99B"), std::string::npos) << log[1];
}

TEST_F(SimulatorTest, ServiceSessionOverPty) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--pty", "--service-version", "7"}));
  PtyClient pty(m_sim.PtyPath());
  ASSERT_TRUE(pty.ok());

  // Silence after the mode switch shows in the next read: a reply to it would come first.
  pty.Write(ToBytes(MakeModeSwitchRequest()));
  pty.Write(ServiceRequest(svc::kReadInfo));
  const Bytes info = pty.Read(svc::kFrameSize, kReplyWaitMs);
  ASSERT_EQ(info.size(), svc::kFrameSize);
  EXPECT_EQ(info[0], FrameChecksum(info.data()));
  EXPECT_EQ(info[1], svc::kReadInfo);
  EXPECT_EQ(GetU16(info.data(), 2), 7);

  // The default record; the request's checksum is the worked 0x67.
  const Bytes record = {0x12, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x88, 0x13,
                        0x88, 0x13, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes write = ServiceRequest(svc::kWriteRecord, record);
  ASSERT_EQ(write[0], 0x67);
  pty.Write(write);
  EXPECT_EQ(pty.Read(svc::kFrameSize, kReplyWaitMs), write);
  EXPECT_EQ(m_sim.LastRecordHex(), ToHex(record));

  const Bytes read = ServiceRequest(svc::kReadBlock, {0x00, 0x01, 0x00, 0x00, 16, 0});
  pty.Write(read);
  const Bytes block = pty.Read(svc::kFrameSize, kReplyWaitMs);
  ASSERT_EQ(block.size(), svc::kFrameSize);
  EXPECT_EQ(block[0], FrameChecksum(block.data()));
  EXPECT_EQ(Bytes(block.begin() + 1, block.begin() + 8), Bytes(read.begin() + 1, read.begin() + 8));

  // Command 4: 2E 04 and zeros, answered by the same bytes; then the command protocol again.
  Bytes finish(svc::kFrameSize, 0);
  finish[0] = 0x2E, finish[1] = 0x04;
  pty.Write(finish);
  EXPECT_EQ(pty.Read(svc::kFrameSize, kReplyWaitMs), finish);
  pty.Write(ToBytes(kIdentifyRequest));
  const Bytes again = pty.Read(cmd::kReplySize, kReplyWaitMs);
  ASSERT_EQ(again.size(), cmd::kReplySize);
  EXPECT_TRUE(IsValidReply(again.data(), kIdentifyRequest));

  std::vector<std::string> kinds;
  for (const std::string& line : m_sim.LogLines()) kinds.push_back(line.substr(0, line.rfind(' ')));
  EXPECT_EQ(kinds, (std::vector<std::string>{"serial mode", "serial svc0", "serial svc5",
                                             "serial svc3", "serial svc4", "serial identify"}));
}

TEST_F(SimulatorTest, ServiceFrameWithBadChecksumGetsNoAnswer) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--udp", "127.0.57.3"}));
  UdpClient udp;
  udp.Send("127.0.57.3", ToBytes(MakeModeSwitchRequest()));
  Bytes bad = ServiceRequest(svc::kSendValue, {0x11, 0x22, 0x33, 0x44});
  ++bad[0];
  udp.Send("127.0.57.3", bad);
  const Bytes good = ServiceRequest(svc::kSendValue, {0xDD, 0xCC, 0xBB, 0xAA});
  udp.Send("127.0.57.3", good);
  // The first answer is the one to the good frame: nothing came for the mode switch or the
  // bad frame.
  const auto reply = udp.Receive(kReplyWaitMs);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->bytes.size(), svc::kDatagramSize);
  EXPECT_EQ(Bytes(reply->bytes.begin(), reply->bytes.begin() + 2), (Bytes{0xA5, 0x5A}));
  EXPECT_EQ(Unprefixed(reply->bytes), good);
}

struct Arrival {
  Datagram datagram;
  std::int64_t at = 0;
};

// Every datagram that arrives until `deadline`, with the time it was taken.
std::vector<Arrival> ReceiveUntil(UdpClient& udp, std::int64_t deadline) {
  std::vector<Arrival> got;
  for (std::int64_t left = deadline - SteadyClockMs(); left > 0;
       left = deadline - SteadyClockMs()) {
    if (auto d = udp.Receive(static_cast<int>(left)))
      got.push_back({std::move(*d), SteadyClockMs()});
  }
  return got;
}

// Repeated datagrams, sent `period_ms` apart from `sent` on: the k-th never comes before k
// periods have passed, and consecutive ones are not bunched (a wide margin: the test's own
// reading may lag). Each comes from the simulator's address and port.
void ExpectPeriodic(const std::vector<Arrival>& got, std::int64_t sent, int period_ms,
                    const std::string& address) {
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_GE(got[k].at - sent, static_cast<std::int64_t>(k + 1) * period_ms) << k;
    if (k > 0) {
      EXPECT_GE(got[k].at - got[k - 1].at, period_ms - 300) << k;
    }
    EXPECT_EQ(got[k].datagram.address, address);
    EXPECT_EQ(got[k].datagram.port, 50000);
  }
}

// Faults, each over UDP on its own address. The knobs whose effect the tool's own tests see (a
// mode switch answered, a record not echoed, a duplicate reply) are proved there.
struct FaultCase {
  const char* name;
  std::vector<std::string> args;
  std::function<void(UdpClient&, const std::string& address)> check;
  std::size_t requestsLogged = 0;  // checked when not 0
};

class SimulatorFaultTest : public SimulatorTest,
                           public ::testing::WithParamInterface<std::size_t> {};

const std::vector<FaultCase>& FaultCases() {
  static const std::vector<FaultCase> cases = {
      {"BadIdentifyChecksum",
       {"--bad-checksum", "identify"},
       [](UdpClient& udp, const std::string& a) {
         udp.Send(a, ToBytes(kIdentifyRequest));
         const auto r = udp.Receive(kReplyWaitMs);
         ASSERT_TRUE(r);
         const Bytes reply = Unprefixed(r->bytes);
         EXPECT_FALSE(IsValidReply(reply.data(), kIdentifyRequest));
         EXPECT_EQ(GetU16(reply.data(), 128),
                   static_cast<std::uint16_t>(ReplyChecksum(reply.data()) + 1));
       }},
      {"BadServiceChecksum",
       {"--bad-checksum", "status,svc0"},
       [](UdpClient& udp, const std::string& a) {
         udp.Send(a, ToBytes(MakeModeSwitchRequest()));
         udp.Send(a, ServiceRequest(svc::kReadInfo));
         const auto r = udp.Receive(kReplyWaitMs);
         ASSERT_TRUE(r);
         const Bytes frame = Unprefixed(r->bytes);
         EXPECT_EQ(frame[1], svc::kReadInfo);
         EXPECT_NE(frame[0], FrameChecksum(frame.data()));
       }},
      {"ErrorReply",
       {"--error-reply", "5:3"},
       [](UdpClient& udp, const std::string& a) {
         udp.Send(a, ToBytes(MakeModeSwitchRequest()));
         udp.Send(a, ServiceRequest(svc::kWriteRecord, {2, 0, 0xAB, 0xCD}));
         const auto r = udp.Receive(kReplyWaitMs);
         ASSERT_TRUE(r);
         const Bytes frame = Unprefixed(r->bytes);
         EXPECT_EQ(frame[0], FrameChecksum(frame.data()));
         EXPECT_EQ(frame[1], 0xFF);
         EXPECT_EQ(frame[2], 3);
       }},
      {"ReplyDelay",
       {"--reply-delay", "300"},
       [](UdpClient& udp, const std::string& a) {
         const std::int64_t sent = SteadyClockMs();
         udp.Send(a, ToBytes(kIdentifyRequest));
         ASSERT_TRUE(udp.Receive(kReplyWaitMs));
         EXPECT_GE(SteadyClockMs() - sent, 300);
       }},
      {"Silent",
       {"--silent"},
       [](UdpClient& udp, const std::string& a) {
         udp.Send(a, ToBytes(kIdentifyRequest));
         EXPECT_FALSE(udp.Receive(kSilenceWaitMs));
       }},
      {"StatusDelay",
       {"--status-delay", "600"},
       [](UdpClient& udp, const std::string& a) {
         const std::int64_t sent = SteadyClockMs();
         udp.Send(a, ToBytes(kStatusRequest));
         udp.Send(a, ToBytes(kIdentifyRequest));
         // Only the status reply is late: the identify reply overtakes it.
         const auto first = udp.Receive(kReplyWaitMs);
         const auto second = udp.Receive(kReplyWaitMs);
         const std::int64_t received = SteadyClockMs();
         ASSERT_TRUE(first && second);
         EXPECT_TRUE(IsValidReply(Unprefixed(first->bytes).data(), kIdentifyRequest));
         EXPECT_TRUE(IsValidReply(Unprefixed(second->bytes).data(), kStatusRequest));
         EXPECT_GE(received - sent, 600);
       }},
      {"ForgedStatusReplies",
       {"--forge-status", "500:3", "--status-fields", "0102030405060708", "--bad-checksum",
        "status"},
       [](UdpClient& udp, const std::string& a) {
         const std::int64_t sent = SteadyClockMs();
         udp.Send(a, ToBytes(kIdentifyRequest));
         // Three forgeries, and no identify reply; a fourth would come within the window.
         const auto got = ReceiveUntil(udp, sent + 3 * 500 + kSilenceWaitMs);
         ASSERT_EQ(got.size(), 3u);
         ExpectPeriodic(got, sent, 500, a);
         for (const Arrival& g : got) {
           const Bytes& d = g.datagram.bytes;
           const std::uint8_t* reply = UnwrapReplyDatagram(d.data(), d.size(), g.datagram.port);
           ASSERT_NE(reply, nullptr);
           // Valid although the device's own status replies are not.
           EXPECT_TRUE(IsValidReply(reply, kStatusRequest));
           PowerModuleRecord record;
           record.FillFromStatusReply(reply);
           EXPECT_EQ(Bytes(record.bytes.begin() + 10, record.bytes.begin() + 18),
                     (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
         }
       },
       1},
      {"TrickledGarbage",
       {"--trickle", "500:3"},
       [](UdpClient& udp, const std::string& a) {
         const std::int64_t sent = SteadyClockMs();
         udp.Send(a, ToBytes(kIdentifyRequest));
         const auto got = ReceiveUntil(udp, sent + 3 * 500 + kSilenceWaitMs);
         // The request is answered as usual, long before the first piece of garbage.
         ASSERT_EQ(got.size(), 4u);
         EXPECT_TRUE(IsValidReply(Unprefixed(got[0].datagram.bytes).data(), kIdentifyRequest));
         const std::vector<Arrival> trickle(got.begin() + 1, got.end());
         ExpectPeriodic(trickle, sent, 500, a);
         for (const Arrival& g : trickle) EXPECT_EQ(g.datagram.bytes, Bytes(10, 0xEE));
       },
       1},
  };
  return cases;
}

TEST_P(SimulatorFaultTest, Behaves) {
  const FaultCase& c = FaultCases()[GetParam()];
  const std::string address = "127.0.57." + std::to_string(20 + GetParam());
  std::vector<std::string> args = {"--udp", address};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ASSERT_NO_FATAL_FAILURE(StartSimulator(args));
  UdpClient udp;
  c.check(udp, address);
  if (c.requestsLogged != 0) {
    EXPECT_EQ(m_sim.LogLines().size(), c.requestsLogged);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, SimulatorFaultTest,
                         ::testing::Range<std::size_t>(0, FaultCases().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& param) {
                           return std::string(FaultCases()[param.param].name);
                         });

TEST_F(SimulatorTest, StrayBytesAndSplitRepliesOnPty) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--pty", "--stray-bytes", "3", "--split-reply", "4:30"}));
  PtyClient pty(m_sim.PtyPath());
  ASSERT_TRUE(pty.ok());
  pty.Write(ToBytes(kIdentifyRequest));
  const Bytes first = pty.Read(cmd::kReplySize + 3, kReplyWaitMs);
  ASSERT_EQ(first.size(), cmd::kReplySize + 3);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 3), (Bytes{0xEE, 0xEE, 0xEE}));
  EXPECT_TRUE(IsValidReply(first.data() + 3, kIdentifyRequest));
  // Only the first identify reply has them.
  pty.Write(ToBytes(kIdentifyRequest));
  const Bytes second = pty.Read(cmd::kReplySize, kReplyWaitMs);
  ASSERT_EQ(second.size(), cmd::kReplySize);
  EXPECT_TRUE(IsValidReply(second.data(), kIdentifyRequest));
}

TEST_F(SimulatorTest, SeveralDevicesAnswerFromTheirOwnAddresses) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--udp", "127.0.57.4", "--serial", "500", "--devices",
                                          "3", "--device-addresses-from", "127.0.57.70"}));
  UdpClient udp;
  const std::set<std::string> all = {"500 127.0.57.70", "501 127.0.57.71", "502 127.0.57.72"};
  // The replies within the answer window, or until `enough` have come.
  auto collect = [&udp](std::size_t enough) {
    std::set<std::string> seen;
    const std::int64_t end = SteadyClockMs() + kSilenceWaitMs;
    while (SteadyClockMs() < end && seen.size() < enough) {
      const auto r =
          udp.Receive(static_cast<int>(std::max<std::int64_t>(1, end - SteadyClockMs())));
      if (!r) continue;
      EXPECT_EQ(r->port, 50000);
      const Bytes reply = Unprefixed(r->bytes);
      EXPECT_TRUE(IsValidReply(reply.data(), kIdentifyRequest));
      seen.insert(std::to_string(ReplySerialNumber(reply.data())) + " " + r->address);
    }
    return seen;
  };
  udp.Send("127.0.57.4", ToBytes(kIdentifyRequest));
  EXPECT_EQ(collect(all.size()), all);

  // A request sent to none of the devices' own addresses goes to the first one alone, and only
  // that one leaves the command protocol.
  udp.Send("127.0.57.4", ToBytes(MakeModeSwitchRequest()));
  udp.Send("127.0.57.4", ToBytes(kIdentifyRequest));
  EXPECT_EQ(collect(all.size()), (std::set<std::string>{"501 127.0.57.71", "502 127.0.57.72"}));
}

TEST_F(SimulatorTest, GarbageDoesNotStopIt) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--pty", "--udp", "127.0.57.5"}));
  PtyClient pty(m_sim.PtyPath());
  ASSERT_TRUE(pty.ok());
  UdpClient udp;
  std::uint32_t x = 12345;
  auto noise = [&x](std::size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    return b;
  };
  for (std::size_t size : {0, 1, 11, 12, 13, 135, 136, 137, 138, 1500, 65000}) {
    udp.Send("127.0.57.5", noise(size));
  }
  Bytes wrong_markers = ToBytes(kIdentifyRequest);
  wrong_markers[11] = 0x9C;
  udp.Send("127.0.57.5", wrong_markers);
  for (int i = 0; i < 20; ++i) pty.Write(noise(250));

  pty.Write(ToBytes(kIdentifyRequest));
  const Bytes serial_reply = pty.Read(cmd::kReplySize, kReplyWaitMs);
  ASSERT_EQ(serial_reply.size(), cmd::kReplySize);
  EXPECT_TRUE(IsValidReply(serial_reply.data(), kIdentifyRequest));
  udp.Send("127.0.57.5", ToBytes(kIdentifyRequest));
  const auto udp_reply = udp.Receive(kReplyWaitMs);
  ASSERT_TRUE(udp_reply);
  EXPECT_TRUE(IsValidReply(Unprefixed(udp_reply->bytes).data(), kIdentifyRequest));
  EXPECT_TRUE(m_sim.Running());
}

TEST_F(SimulatorTest, VanishesAfterTheChosenRequest) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--udp", "127.0.57.6", "--exit-after", "svc5"}));
  UdpClient udp;
  udp.Send("127.0.57.6", ToBytes(MakeModeSwitchRequest()));
  udp.Send("127.0.57.6", ServiceRequest(svc::kWriteRecord, {2, 0, 1, 2}));
  int status = 0;
  ASSERT_TRUE(m_sim.WaitForExit(kReplyWaitMs, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(m_sim.LogLines().size(), 2u);
  EXPECT_EQ(m_sim.LastRecordHex(), "");
}

TEST_F(SimulatorTest, StopsCleanlyAndRemovesItsLink) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({"--pty"}));
  struct stat st {};
  ASSERT_EQ(lstat(m_sim.LinkPath().c_str(), &st), 0);
  m_sim.Stop();
  EXPECT_TRUE(WIFEXITED(m_sim.exit_status()) && WEXITSTATUS(m_sim.exit_status()) == 0)
      << m_sim.exit_status();
  EXPECT_NE(lstat(m_sim.LinkPath().c_str(), &st), 0);
}

// The tool's option conventions: both value forms, "--" ends the options, -h and -V win over
// anything else, an option with one value is given once, values out of their range and
// contradictions are named, and control characters are escaped when an argument is echoed.
TEST_F(SimulatorTest, FollowsTheOptionConventions) {
  const std::string version = std::string("quillon-simulator ") + kProductVersion + "\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // contained in standard output
    std::string err;  // contained in standard error; empty: nothing there
  };
  const std::vector<Case> cases = {
      {{"-V"}, 0, version, ""},
      {{"--pty", "--bogus", "--version"}, 0, version, ""},
      {{"--help", "--bogus"}, 0, "Usage: quillon-simulator", ""},
      {{"--version", "-h"}, 0, "Usage: quillon-simulator", ""},
      {{"--pty", "--exit-on-stdin-eof", "--bad-checksum=identify", "--bad-checksum", "mode", "--"},
       0,
       "ready",
       ""},
      {{"--pty", "--", "--serial", "5"}, 2, "", "unexpected argument: --serial"},
      {{"--pty", "--serial=1", "--serial", "1"}, 2, "", "--serial is given more than once"},
      {{"--udp", "127.0.57.8", "--serial", "3", "--device-serials", "4,5"},
       2,
       "",
       "--serial and --device-serials disagree"},
      {{"--pty", "--trickle", "100"}, 2, "", "--trickle needs --udp"},
      {{"--pty", "--serial", "1\x1b[2J"}, 2, "", "bad value for --serial: 1\\x1B[2J"},
      {{"--pty", "--\x07=1"}, 2, "", "unknown option: --\\x07=1"},
      {{"--serial", "1"}, 2, "", "give --pty, --udp ADDRESS or both"},
      {{"--pty", "--devices", "2"}, 2, "", "several devices need --udp"},
      {{"--pty", "--serial", "65536"}, 2, "", "bad value for --serial: 65536"},
      {{"--pty", "--use-count", "32768"}, 2, "", "bad value for --use-count: 32768"},
      {{"--pty", "--module-block", "01020304"}, 2, "", "bad value for --module-block"},
      {{"--pty", "--bad-checksum", "svc9"}, 2, "", "bad value for --bad-checksum: svc9"},
      {{"--pty", "--error-reply", "7:1"}, 2, "", "bad value for --error-reply: 7:1"},
      {{"--pty", "--split-reply", "0:10"}, 2, "", "bad value for --split-reply: 0:10"},
      {{"--udp", "127.0.57.300"}, 2, "", "bad value for --udp: 127.0.57.300"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {SimulatorProcess::ProgramPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult r = RunProcess(argv, 5000);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.exitCode, c.status) << what << ": " << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << what << ": " << r.out;
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "") << what;
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
    }
    EXPECT_EQ(r.err.find_first_of("\x07\x1b"), std::string::npos) << what;
  }
}

}  // namespace
}  // namespace quillon::testing
