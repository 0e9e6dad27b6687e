// Random bytes from the wire, of every length, never crash the link or the search, never read
// out of bounds (the sanitizer build runs this too) and are never taken for a device.

#include <gtest/gtest.h>

#include <random>

#include "link/service_frame.h"
#include "reconfig/reconfig_session.h"
#include "support/fake_platform.h"
#include "support/frames.h"
#include "support/recording_sink.h"

namespace quillon {
namespace {

using testing::Bytes;

Bytes Noise(std::mt19937& rng, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes b(len(rng));
  for (auto& x : b) x = static_cast<std::uint8_t>(byte(rng));
  // Now and then a plausible start, to get past the first tests.
  if (b.size() >= 2 && byte(rng) < 64) {
    b[0] = 0xA5;
    b[1] = 0x5A;
  }
  return b;
}

TEST(WireRobustness, ServiceRepliesOfNoise) {
  testing::FakePlatform platform;
  testing::FakeSocket socket(platform);
  const Link link(platform, &socket);
  std::mt19937 rng(20261208);
  LinkEndpoint serial, udp;
  platform.Port(1);
  const SerialPort port = SerialPort::Open(link, 1);
  serial.serialPort = &port;
  SetPeerAddress(udp, "10.0.0.7");
  Bytes answer;
  platform.Port(1).onWrite = [&](testing::FakePort& p, const Bytes&, std::int64_t now) {
    p.Arrive(now + 1, answer);
  };
  socket.onSend = [&](testing::FakeSocket& s, const testing::SentDatagram& d) {
    s.Arrive(d.at + 1, "10.0.0.7", 50000, answer);
  };
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    answer = Noise(rng, i % 3 == 0 ? 300 : 140);
    std::uint8_t info[svc::kPayloadSize];
    const LinkResult r = ServiceReadInfo(link, i % 2 ? serial : udp, info);
    const int n = static_cast<int>(r);
    EXPECT_TRUE(r == LinkResult::kOk || r == LinkResult::kNoReply ||
                r == LinkResult::kBadChecksum || r == LinkResult::kNotAnAnswer ||
                (n >= 3 && n <= 6) || n == 9 || n == 11)
        << n;
    // A frame accepted for command 0 must have passed its checksum and named command 0.
    if (r == LinkResult::kOk) {
      ++accepted;
      const std::uint8_t* f = answer.data() + (i % 2 ? 0 : 2);
      EXPECT_EQ(FrameChecksum(f), f[0]);
      EXPECT_EQ(f[1], 0);
    }
  }
  EXPECT_LT(accepted, 50);
}

TEST(WireRobustness, SearchAnswersOfNoise) {
  testing::FakePlatform platform;
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    testing::RecordingSink sink;
    PowerModuleRecord record;
    auto fake = std::make_unique<testing::FakeSocket>(platform);
    testing::FakeSocket* socket = fake.get();
    std::unique_ptr<DatagramSocket> owner = std::move(fake);
    SearchOptions options;
    options.identifyAddresses = {"10.0.0.255"};
    ReconfigSession session(sink, record, owner.get(), platform, options);
    for (int n = 1; n <= 4; ++n) {
      platform.Port(n) = {};
      platform.Port(n).onWrite = [&rng](testing::FakePort& p, const Bytes&, std::int64_t now) {
        p.Arrive(now + 5, Noise(rng, 400));
      };
    }
    for (int k = 0; k < 20; ++k) {
      socket->Arrive(platform.NowMs() + 10 * k, "10.0.0." + std::to_string(k), 50000,
                     Noise(rng, k % 4 == 0 ? 5000 : 140));
    }
    EXPECT_FALSE(session.StartProcedure(1234));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, kTextNotDetected);
    EXPECT_EQ(platform.OpenPorts(), 0);
  }
}

}  // namespace
}  // namespace quillon
