#include "link/service_frame.h"

#include <gtest/gtest.h>

#include <cstring>

#include "reconfig/power_module_record.h"
#include "support/fake_platform.h"
#include "support/frames.h"

namespace quillon {
namespace {

using testing::Bytes;
using testing::FakePlatform;
using testing::FakePort;
using testing::FakeSocket;
using testing::Hex;

class ServiceFrameTest : public ::testing::Test {
 protected:
  ServiceFrameTest() : m_socket(m_platform) {
    m_serial.serialPort = &m_serialOwner;
    std::strcpy(m_udp.peerAddress, "10.1.2.3");
  }
  FakePort& Port() { return m_platform.Port(1); }
  // The device on the serial port answers every frame with what `answer` makes of it.
  void SerialDevice(std::function<Bytes(const Bytes&)> answer) {
    Port().onWrite = [answer](FakePort& port, const Bytes& req, std::int64_t now) {
      port.Arrive(now + 20, answer(req));
    };
  }
  void UdpDevice(std::function<Bytes(const Bytes&)> answer, std::string from = "10.1.2.3",
                 std::uint16_t port = 50000) {
    m_socket.onSend = [=](FakeSocket& s, const testing::SentDatagram& d) {
      s.Arrive(d.at + 20, from, port, answer(d.bytes));
    };
  }
  static Bytes Echo(const Bytes& req) {
    ServiceFrame f;
    std::copy(req.begin(), req.end(), f.begin());
    const ServiceFrame e = testing::EchoFrame(f);
    return Bytes(e.begin(), e.end());
  }

  FakePlatform m_platform;
  FakePort& m_port = m_platform.Port(1);
  FakeSocket m_socket;
  const Link m_link{m_platform, &m_socket};
  SerialPort m_serialOwner = SerialPort::Open(m_link, 1);
  LinkEndpoint m_serial;
  LinkEndpoint m_udp;
};

TEST_F(ServiceFrameTest, RequestsAreByteExact) {
  SerialDevice(Echo);
  std::uint8_t info[svc::kPayloadSize];
  ServiceReadInfo(m_link, m_serial, info);
  ServiceFinish(m_link, m_serial);
  PowerModuleRecord record;
  ServiceWriteRecord(m_link, m_serial, record.data());
  ASSERT_EQ(Port().writes.size(), 3u);

  Bytes cmd0(136, 0);
  cmd0[0] = 0x2A;
  EXPECT_EQ(Port().writes[0].second, cmd0);
  Bytes cmd4(136, 0);
  cmd4[0] = 0x2E;
  cmd4[1] = 0x04;
  EXPECT_EQ(Port().writes[1].second, cmd4);
  Bytes cmd5 = Hex("67 05 12 00 05 00 00 00 00 00 88 13 88 13 E8 03 00 00 00 00 00 00");
  cmd5.resize(136, 0);
  EXPECT_EQ(Port().writes[2].second, cmd5);
  EXPECT_EQ(Port().baudRestores, 1);  // command 0 only
}

TEST_F(ServiceFrameTest, ReplyClassification) {
  struct Case {
    const char* what;
    std::function<Bytes(const Bytes&)> answer;
    LinkResult expected;
  };
  auto error = [](std::uint8_t code) {
    return [code](const Bytes&) {
      const ServiceFrame f = testing::ErrorFrame(code);
      return Bytes(f.begin(), f.end());
    };
  };
  auto mutate = [](std::size_t at, bool reseal) {
    return [at, reseal](const Bytes& req) {
      Bytes b = Echo(req);
      b[at] ^= 0x01;
      if (reseal) {
        ServiceFrame f;
        std::copy(b.begin(), b.end(), f.begin());
        testing::Seal(f);
        b.assign(f.begin(), f.end());
      }
      return b;
    };
  };
  const Case cases[] = {
      {"echo", Echo, LinkResult::kOk},
      {"error 0", error(0), LinkResult{3}},
      {"error 1", error(1), LinkResult{4}},
      {"error 2", error(2), LinkResult{5}},
      {"error 3", error(3), LinkResult{9}},
      {"error 4", error(4), LinkResult{6}},
      {"error 5", error(5), LinkResult{11}},
      {"error 6", error(6), LinkResult{8}},
      {"error 255", error(255), LinkResult{8}},
      {"error with bad checksum",
       [](const Bytes&) {
         ServiceFrame f = testing::ErrorFrame(1);
         f[0] ^= 0x10;
         return Bytes(f.begin(), f.end());
       },
       LinkResult::kBadChecksum},
      {"bad checksum", mutate(0, false), LinkResult::kBadChecksum},
      {"other command", mutate(1, true), LinkResult::kNotAnAnswer},
      {"payload differs", mutate(2, true), LinkResult::kNotAnAnswer},
      {"last byte differs", mutate(135, true), LinkResult::kNotAnAnswer},
      {"short", [](const Bytes& r) { return Bytes(r.begin(), r.end() - 1); }, LinkResult::kNoReply},
      {"long",
       [](const Bytes& r) {
         Bytes b = Echo(r);
         b.push_back(0);
         return b;
       },
       LinkResult::kNoReply},
  };
  for (const Case& c : cases) {
    SerialDevice(c.answer);
    EXPECT_EQ(ServiceFinish(m_link, m_serial), c.expected) << c.what;
    EXPECT_EQ(ServiceFinish(m_link, m_udp), LinkResult::kNoReply) << "udp peer silent: " << c.what;
    DrainSerialInput(m_link, PortHandle(m_serial), 1536);
  }
}

TEST_F(ServiceFrameTest, CopyBackOfReadCommands) {
  SerialDevice([](const Bytes& req) {
    Bytes b = req;
    for (std::size_t i = 8; i < 136; ++i) b[i] = static_cast<std::uint8_t>(i);
    if (req[1] == 0) b[2] = 7;  // service information
    ServiceFrame f;
    std::copy(b.begin(), b.end(), f.begin());
    testing::Seal(f);
    return Bytes(f.begin(), f.end());
  });
  std::uint8_t info[svc::kPayloadSize] = {};
  ASSERT_EQ(ServiceReadInfo(m_link, m_serial, info), LinkResult::kOk);
  EXPECT_EQ(info[0], 7);
  EXPECT_EQ(info[133], 135);

  std::uint8_t block[128] = {};
  ASSERT_EQ(ServiceReadBlock(m_link, m_serial, 0x01020304, 128, block), LinkResult::kOk);
  EXPECT_EQ(block[0], 8);
  EXPECT_EQ(block[127], 135);
  EXPECT_EQ(Port().writes.back().second[2], 0x04);  // address, little-endian
  EXPECT_EQ(Port().writes.back().second[6], 128);   // length
}

TEST_F(ServiceFrameTest, LengthIsCheckedBeforeTheEndpoint) {
  LinkEndpoint absent;
  std::uint8_t data[133] = {};
  std::uint8_t record[2 + 133] = {133, 0};
  EXPECT_EQ(ServiceWriteBlock(m_link, absent, 0, 129, data), LinkResult::kBlockTooLong);
  EXPECT_EQ(ServiceReadBlock(m_link, absent, 0, 129, data), LinkResult::kBlockTooLong);
  EXPECT_EQ(ServiceWriteRecord(m_link, absent, record), LinkResult::kBlockTooLong);
  EXPECT_EQ(ServiceWriteBlock(m_link, absent, 0, 128, data), LinkResult::kNoEndpoint);
  record[0] = 132;
  EXPECT_EQ(ServiceWriteRecord(m_link, absent, record), LinkResult::kNoEndpoint);
  std::uint8_t info[svc::kPayloadSize];
  EXPECT_EQ(ServiceReadInfo(m_link, absent, info), LinkResult::kNoEndpoint);
  EXPECT_EQ(ServiceFinish(m_link, absent), LinkResult::kNoEndpoint);
  EXPECT_TRUE(m_socket.sent.empty());
}

TEST_F(ServiceFrameTest, LargestBlocksFillTheFrame) {
  SerialDevice(Echo);
  std::uint8_t record[2 + 132];
  record[0] = 132;
  record[1] = 0;
  for (int i = 0; i < 132; ++i) record[2 + i] = static_cast<std::uint8_t>(0x40 + i);
  EXPECT_EQ(ServiceWriteRecord(m_link, m_serial, record), LinkResult::kOk);
  EXPECT_EQ(Port().writes.back().second[135], 0x40 + 131);
  std::uint8_t data[128];
  std::fill(std::begin(data), std::end(data), 0x5A);
  EXPECT_EQ(ServiceWriteBlock(m_link, m_serial, 9, 128, data), LinkResult::kOk);
  EXPECT_EQ(Port().writes.back().second[135], 0x5A);
}

TEST_F(ServiceFrameTest, AttemptsAgainstASilentDevice) {
  struct Case {
    const char* what;
    std::function<LinkResult()> call;
    std::size_t attempts;
  };
  std::uint8_t buf[svc::kPayloadSize];
  std::uint8_t record[20] = {18, 0};
  const Case cases[] = {
      {"read info", [&] { return ServiceReadInfo(m_link, m_serial, buf); }, 1},
      {"send value", [&] { return ServiceSendValue(m_link, m_serial, 5); }, 4},
      {"write block", [&] { return ServiceWriteBlock(m_link, m_serial, 0, 4, buf); }, 4},
      {"read block", [&] { return ServiceReadBlock(m_link, m_serial, 0, 4, buf); }, 4},
      {"finish", [&] { return ServiceFinish(m_link, m_serial); }, 1},
      {"write record", [&] { return ServiceWriteRecord(m_link, m_serial, record); }, 1},
  };
  for (const Case& c : cases) {
    Port().writes.clear();
    const std::int64_t start = m_platform.NowMs();
    EXPECT_EQ(c.call(), LinkResult::kNoReply) << c.what;
    EXPECT_EQ(Port().writes.size(), c.attempts) << c.what;
    // Each attempt waits its whole second, and no longer.
    EXPECT_GE(m_platform.NowMs() - start, 1000 * static_cast<std::int64_t>(c.attempts)) << c.what;
    EXPECT_LE(m_platform.NowMs() - start, 1000 * static_cast<std::int64_t>(c.attempts) + 10)
        << c.what;
  }
}

TEST_F(ServiceFrameTest, RetryEndsAtTheFirstGoodReply) {
  int seen = 0;
  SerialDevice([&seen](const Bytes& req) {
    ++seen;
    if (seen < 3) {
      const ServiceFrame f = testing::ErrorFrame(1);
      return Bytes(f.begin(), f.end());
    }
    return Echo(req);
  });
  EXPECT_EQ(ServiceSendValue(m_link, m_serial, 0xDEADBEEF), LinkResult::kOk);
  EXPECT_EQ(Port().writes.size(), 3u);
  EXPECT_EQ(Port().writes[0].second, Port().writes[2].second);  // rebuilt the same
}

TEST_F(ServiceFrameTest, OddSerialCountsRunToTheDeadline) {
  for (std::size_t size : {137u, 300u}) {
    SerialDevice([size](const Bytes& req) {
      Bytes b = Echo(req);
      b.resize(size, 0);
      return b;
    });
    const std::int64_t start = m_platform.NowMs();
    EXPECT_EQ(ServiceFinish(m_link, m_serial), LinkResult::kNoReply) << size;
    EXPECT_GE(m_platform.NowMs() - start, 1000) << size;
    // 272 bytes at most were taken; the rest is drained by the next send.
    EXPECT_EQ(m_platform.SerialQueued(PortHandle(m_serial)),
              static_cast<long>(size > 272 ? size - 272 : 0));
  }
}

TEST_F(ServiceFrameTest, ALateReplyIsNeverTakenForTheCurrentOne) {
  // A complete, valid answer of an earlier exchange still waits in the queue.
  const ServiceFrame old = testing::EchoFrame(ServiceFrame{0, svc::kFinish});
  m_port.Arrive(m_platform.NowMs(), Bytes(old.begin(), old.end()));
  m_socket.Arrive(m_platform.NowMs(), "10.1.2.3", 50000, testing::AsServiceDatagram(old));
  EXPECT_EQ(ServiceFinish(m_link, m_serial), LinkResult::kNoReply);
  EXPECT_EQ(ServiceFinish(m_link, m_udp), LinkResult::kNoReply);
  EXPECT_EQ(m_socket.Pending(), 0u);
}

TEST_F(ServiceFrameTest, SerialWinsOverTheAddress) {
  SerialDevice(Echo);
  LinkEndpoint both = m_serial;
  std::strcpy(both.peerAddress, "10.1.2.3");
  EXPECT_EQ(ServiceFinish(m_link, both), LinkResult::kOk);
  EXPECT_TRUE(m_socket.sent.empty());
}

TEST_F(ServiceFrameTest, UdpExchange) {
  UdpDevice(
      [](const Bytes& req) {
        return testing::AsServiceDatagram(testing::EchoFrame([&] {
          ServiceFrame f;
          std::copy(req.begin(), req.end(), f.begin());
          return f;
        }()));
      },
      "10.1.2.3", 40000);  // any source port will do for service replies
  EXPECT_EQ(ServiceFinish(m_link, m_udp), LinkResult::kOk);
  ASSERT_EQ(m_socket.sent.size(), 1u);
  EXPECT_EQ(m_socket.sent[0].address, "10.1.2.3");
  EXPECT_EQ(m_socket.sent[0].port, 50000);
  EXPECT_EQ(m_socket.sent[0].bytes.size(), 136u);
}

TEST_F(ServiceFrameTest, UdpIgnoresStrangersAndOtherSizes) {
  const ServiceFrame reply = testing::EchoFrame(ServiceFrame{0, svc::kFinish});
  m_socket.onSend = [&](FakeSocket& s, const testing::SentDatagram& d) {
    s.Arrive(d.at + 10, "10.1.2.4", 50000, testing::AsServiceDatagram(reply));  // stranger
    s.Arrive(d.at + 20, "10.1.2.3", 50000, Bytes(reply.begin(), reply.end()));  // bare 136
    s.Arrive(d.at + 30, "10.1.2.3", 50000, Bytes(2000, 0x55));                  // oversized
  };
  const std::int64_t start = m_platform.NowMs();
  EXPECT_EQ(ServiceFinish(m_link, m_udp), LinkResult::kNoReply);
  EXPECT_GE(m_platform.NowMs() - start, 1000);
  EXPECT_EQ(m_socket.receives, 3);  // each was consumed

  m_socket.onSend = [&](FakeSocket& s, const testing::SentDatagram& d) {
    s.Arrive(d.at + 10, "10.1.2.4", 50000, testing::AsServiceDatagram(reply));
    s.Arrive(d.at + 20, "10.1.2.3", 50000, testing::AsServiceDatagram(reply));
  };
  EXPECT_EQ(ServiceFinish(m_link, m_udp), LinkResult::kOk);
}

TEST_F(ServiceFrameTest, AddressWithoutSocketSendsNothing) {
  EXPECT_EQ(ServiceFinish(Link(m_platform), m_udp), LinkResult::kNoReply);
  EXPECT_EQ(ServiceSendValue(Link(m_platform), m_udp, 1), LinkResult::kNoReply);
}

TEST_F(ServiceFrameTest, DrainEmptiesLargeQueuesInChunks) {
  m_port.Arrive(m_platform.NowMs(), Bytes(4000, 0x11));
  DrainSerialInput(m_link, PortHandle(m_serial), 1536);
  EXPECT_EQ(m_platform.SerialQueued(PortHandle(m_serial)), 0);
}

}  // namespace
}  // namespace quillon
