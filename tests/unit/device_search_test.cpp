// The search, the service-mode entry and the Start procedure on the fake platform, where the
// clock only moves when the tool waits: every timing rule is checked to the millisecond.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "link/interrupt.h"
#include "link/leave_at_exit.h"
#include "reconfig/reconfig_session.h"
#include "support/fake_device.h"
#include "support/fake_platform.h"
#include "support/recording_sink.h"

namespace quillon {
namespace {

using testing::Bytes;
using testing::Count;
using testing::FakeDevice;
using testing::FakeDeviceConfig;
using testing::FakePlatform;
using testing::FakeSocket;
using testing::RecordingSink;

constexpr std::int32_t kSerial = 1234;

class SearchTest : public ::testing::Test {
 protected:
  // A session with a socket (unless told otherwise) that broadcasts to 10.0.0.255 from its own
  // address 10.0.0.1.
  // A table's next row: no messages, no devices, and the port (when named) as new.
  void NextRow(int port = 0) {
    m_sink.messages.clear();
    m_devices.clear();
    if (port != 0) m_platform.Port(port) = {};
  }
  ReconfigSession& Session(bool with_socket = true) {
    m_session.reset();
    m_socket = nullptr;
    m_socketOwner.reset();
    if (with_socket) {
      auto fake = std::make_unique<FakeSocket>(m_platform);
      m_socket = fake.get();
      m_socketOwner = std::move(fake);
    }
    SearchOptions options;
    options.broadcastTargets = [] { return std::vector<std::string>{"10.0.0.255"}; };
    options.impossibleSources = [] { return std::vector<std::string>{"10.0.0.1"}; };
    m_session = std::make_unique<ReconfigSession>(m_sink, m_record, m_socketOwner.get(), m_platform,
                                                  options);
    return *m_session;
  }
  FakeDevice& SerialDevice(int n, FakeDeviceConfig config = {}) {
    m_devices.push_back(std::make_unique<FakeDevice>(std::move(config)));
    m_devices.back()->AttachSerial(m_platform.Port(n));
    return *m_devices.back();
  }
  FakeDevice& UdpDevice(std::string address, FakeDeviceConfig config = {}) {
    m_devices.push_back(std::make_unique<FakeDevice>(std::move(config)));
    m_devices.back()->AttachUdp(*m_socket, std::move(address));
    return *m_devices.back();
  }
  std::string OnlyMessage() const {
    EXPECT_EQ(m_sink.messages.size(), 1u);
    return m_sink.messages.empty() ? "" : m_sink.messages[0].text;
  }

  FakePlatform m_platform;
  RecordingSink m_sink;
  FakeSocket* m_socket = nullptr;
  PowerModuleRecord m_record;
  std::unique_ptr<DatagramSocket> m_socketOwner;
  std::unique_ptr<ReconfigSession> m_session;
  std::vector<std::unique_ptr<FakeDevice>> m_devices;
};

TEST_F(SearchTest, NothingAnswersWithinOneSharedWindow) {
  ReconfigSession& s = Session(false);
  m_platform.Port(2);  // a silent port
  const std::int64_t start = m_platform.NowMs();
  EXPECT_FALSE(s.StartProcedure(kSerial));
  EXPECT_EQ(m_platform.NowMs() - start, 1000);
  EXPECT_EQ(OnlyMessage(), kTextNotDetected);
  EXPECT_EQ(m_sink.messages[0].style, MessageStyle::kInformation);
  EXPECT_EQ(m_platform.Port(2).writes.size(), 1u);  // asked once, then closed
  EXPECT_EQ(m_platform.OpenPorts(), 0);
}

TEST_F(SearchTest, EveryPortIsAskedBeforeAnyWaiting) {
  ReconfigSession& s = Session();
  for (int n : {1, 7, 256}) SerialDevice(n, {.silent = true});
  m_platform.Port(9).refuseSettings = true;
  const std::int64_t start = m_platform.NowMs();
  EXPECT_FALSE(s.StartProcedure(kSerial));
  for (int n : {1, 7, 256}) {
    ASSERT_EQ(m_platform.Port(n).writes.size(), 1u) << n;
    EXPECT_EQ(m_platform.Port(n).writes[0].first, start) << n;
  }
  EXPECT_TRUE(m_platform.Port(9).writes.empty());
  ASSERT_EQ(m_socket->sent.size(), 1u);
  EXPECT_EQ(m_socket->sent[0].address, "10.0.0.255");
  EXPECT_EQ(m_socket->sent[0].port, 50000);
  EXPECT_EQ(m_socket->sent[0].at, start);
  EXPECT_EQ(m_platform.NowMs() - start, 1000);
}

// A port that takes seconds to open (a Bluetooth serial port) holds up no other and no window:
// it is not searched, the reason names it, and its handle is closed as soon as its open returns.
TEST_F(SearchTest, APortSlowToOpenIsNotWaitedFor) {
  for (const bool device_on_slow_port : {false, true}) {
    SCOPED_TRACE(device_on_slow_port ? "the device on the slow port" : "the device elsewhere");
    NextRow(2);
    m_platform.Port(5) = {};
    ReconfigSession& s = Session(false);
    FakeDevice& slow = SerialDevice(
        2, {.identify = {.serial = static_cast<std::uint16_t>(device_on_slow_port ? 1234 : 99)}});
    m_platform.Port(2).openDelayMs = 1200;
    if (!device_on_slow_port) SerialDevice(5);
    const std::int64_t start = SteadyClockMs();
    const bool found = s.StartProcedure(kSerial);
    EXPECT_LT(SteadyClockMs() - start, 1000) << "the search waited for the slow port";
    EXPECT_EQ(found, !device_on_slow_port);
    EXPECT_TRUE(slow.received.empty());
    if (device_on_slow_port) {
      EXPECT_EQ(OnlyMessage(), std::string(kTextNotDetected) +
                                   "\n\nCOM2 (fake2) did not open within 0.3 s: not searched.");
    }
    const std::int64_t end = SteadyClockMs() + 5000;
    while ((m_platform.Port(2).openCount == 0 || m_platform.Port(2).open) &&
           SteadyClockMs() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(m_platform.Port(2).openCount, 1);
    EXPECT_FALSE(m_platform.Port(2).open) << "the late open's handle stays open";
  }
}

TEST_F(SearchTest, ArrivingDatagramsExtendTheWindowBy500Ms) {
  ReconfigSession& s = Session();
  const std::int64_t start = m_platform.NowMs();
  // A stranger's datagrams every 400 ms, the first at 900 ms.
  for (int k = 0; k < 5; ++k)
    m_socket->Arrive(start + 900 + 400 * k, "10.0.0.9", 50000, Bytes(138, 1));
  EXPECT_FALSE(s.StartProcedure(kSerial));
  EXPECT_EQ(m_platform.NowMs() - start, 900 + 400 * 4 + 500);
  EXPECT_EQ(m_socket->Pending(), 0u);
  EXPECT_EQ(OnlyMessage(), kTextNotDetected);
}

// However long a chatty host keeps sending, the window ends 10 s after the broadcast, and the
// message says why nothing was found.
TEST_F(SearchTest, TheWindowEndsAtTheLatestTenSecondsAfterTheBroadcast) {
  ReconfigSession& s = Session();
  const std::int64_t start = m_platform.NowMs();
  for (int k = 0; k < 60; ++k)
    m_socket->Arrive(start + 300 + 450 * k, "10.0.0.9", 50000, Bytes(10, 1));
  EXPECT_FALSE(s.StartProcedure(kSerial));
  EXPECT_EQ(m_platform.NowMs() - start, kMaxAnswerWindowMs);
  EXPECT_EQ(OnlyMessage().rfind(std::string(kTextNotDetected) + "\n\nThe network kept sending", 0),
            0u)
      << OnlyMessage();
}

TEST_F(SearchTest, AnEarlyDatagramDoesNotShortenTheWindow) {
  ReconfigSession& s = Session();
  const std::int64_t start = m_platform.NowMs();
  m_socket->Arrive(start + 100, "10.0.0.9", 50000, Bytes(10, 1));
  EXPECT_FALSE(s.StartProcedure(kSerial));
  EXPECT_EQ(m_platform.NowMs() - start, 1000);
}

TEST_F(SearchTest, StrayBytesEarnThreeFurtherIdentifyAttempts) {
  struct Case {
    const char* what;
    FakeDeviceConfig config;
  };
  const Case cases[] = {
      {"reply behind stray bytes", {.stray = {0x00, 0x13, 0x37}}},
      {"another device", {.identify = {.serial = 999}}},
  };
  for (const Case& c : cases) {
    m_sink.messages.clear();
    m_platform.Port(4) = {};
    ReconfigSession& s = Session(false);
    SerialDevice(4, c.config);
    EXPECT_FALSE(s.StartProcedure(kSerial)) << c.what;
    EXPECT_EQ(m_platform.Port(4).writes.size(), 4u) << c.what;
    EXPECT_EQ(OnlyMessage(), kTextNotDetected) << c.what;
    EXPECT_EQ(m_platform.OpenPorts(), 0) << c.what;
  }
}

TEST_F(SearchTest, StrayBytesThenAGoodReplyIsFound) {
  ReconfigSession& s = Session(false);
  FakeDevice& d = SerialDevice(4, {.stray = {0xEE}, .strayOnce = true});
  EXPECT_TRUE(s.StartProcedure(kSerial));
  EXPECT_EQ(Count(d.received, "identify"), 2);
  EXPECT_EQ(OnlyMessage(), kTextSuccess);
  EXPECT_EQ(Count(d.received, "svc5"), 1) << "the record goes over the found device's port";
  EXPECT_EQ(m_platform.OpenPorts(), 0) << "the found device closes its port";
}

TEST_F(SearchTest, Verdicts) {
  struct Case {
    const char* what;
    testing::IdentifyFields fields;
    std::string_view message;  // empty: usable
  };
  const Case cases[] = {
      {"in use", {.useOverride = 0, .useCount = 1}, kTextInUse},
      {"used but overridden", {.useOverride = 1, .useCount = 3}, ""},
      {"negative use count", {.useCount = -1}, ""},
      {"applicability A 2", {.applicabilityA = 2}, kTextNotApplicable},
      {"applicability A 1", {.applicabilityA = 1}, ""},
      {"applicability B 2", {.moduleBlock = {0, 0, 0, 2, 0}}, kTextNotApplicable},
      {"applicability B 256", {.moduleBlock = {0, 0, 0, 0, 1}}, kTextNotApplicable},
      {"applicability both 1", {.applicabilityA = 1, .moduleBlock = {0, 0, 0, 1, 0}}, ""},
      {"in use and not applicable", {.applicabilityA = 5, .useCount = 2}, kTextInUse},
  };
  for (bool udp : {false, true}) {
    for (const Case& c : cases) {
      NextRow(1);
      ReconfigSession& s = Session(udp);
      FakeDeviceConfig config{.identify = c.fields};
      config.identify.serial = kSerial;
      FakeDevice& d = udp ? UdpDevice("10.0.0.7", config) : SerialDevice(1, config);
      const bool found = s.StartProcedure(kSerial);
      EXPECT_EQ(found, c.message.empty()) << c.what << (udp ? " udp" : " serial");
      if (c.message.empty()) {
        EXPECT_EQ(OnlyMessage(), kTextSuccess) << c.what;
        EXPECT_EQ(Count(d.received, "svc0"), 1) << c.what;
      } else {
        EXPECT_EQ(OnlyMessage(), c.message) << c.what;
        EXPECT_EQ(m_sink.messages[0].style, MessageStyle::kError) << c.what;
        EXPECT_EQ(d.received, std::vector<std::string>{"identify"}) << c.what;
      }
      EXPECT_EQ(m_platform.OpenPorts(), 0) << c.what;
    }
  }
}

// A reply without the presence word is no reply on a serial port (asked again, as after stray
// bytes); over UDP the word does not count.
TEST_F(SearchTest, PresenceWordCountsOnSerialOnly) {
  for (const bool udp : {true, false}) {
    SCOPED_TRACE(udp ? "udp" : "serial");
    NextRow(4);
    ReconfigSession& s = Session(udp);
    const FakeDeviceConfig config{.identify = {.presence = 0}};
    FakeDevice& d = udp ? UdpDevice("10.0.0.7", config) : SerialDevice(4, config);
    const bool found = s.StartProcedure(kSerial);
    if (udp) {
      ASSERT_TRUE(found);
      EXPECT_EQ(s.report().address, "10.0.0.7");
      EXPECT_EQ(Count(d.received, "status"), 1);
    } else {
      EXPECT_FALSE(found);
      EXPECT_EQ(Count(d.received, "identify"), 4);
      EXPECT_EQ(OnlyMessage(), kTextNotDetected);
    }
  }
}

// One serial number on a cable and on the network: the cable decides, whatever the network's
// reply says and whether or not the cable's reply came behind a stray byte; the network side
// gets nothing but the identify request.
TEST_F(SearchTest, TheCableDecides) {
  struct Case {
    const char* what;
    FakeDeviceConfig serial;
    FakeDeviceConfig udp;
    Outcome outcome;
  };
  const Case cases[] = {
      {"both usable", {}, {}, Outcome::kReconfigured},
      {"serial reply behind a stray byte",
       {.stray = {0xEE}, .strayOnce = true},
       {},
       Outcome::kReconfigured},
      {"in use over UDP", {}, {.identify = {.useCount = 1}}, Outcome::kReconfigured},
      {"in use on the cable", {.identify = {.useCount = 1}}, {}, Outcome::kInUse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NextRow(2);
    ReconfigSession& s = Session();
    FakeDevice& serial = SerialDevice(2, c.serial);
    FakeDevice& udp = UdpDevice("10.0.0.7", c.udp);
    EXPECT_EQ(s.StartProcedure(kSerial), c.outcome == Outcome::kReconfigured);
    EXPECT_EQ(s.report().outcome, c.outcome);
    EXPECT_EQ(udp.received, std::vector<std::string>{"identify"});
    EXPECT_EQ(m_platform.OpenPorts(), 0);
    EXPECT_EQ(ServiceModeRecord::OfProcess().LeaveAll(LeaveFrom::kStart), 0u) << "still recorded";
    if (c.outcome == Outcome::kReconfigured) {
      EXPECT_EQ(Count(serial.received, "svc5"), 1);
      EXPECT_EQ(s.report().port, "COM2 (fake2)");
      EXPECT_EQ(s.report().alsoAt, std::vector<std::string>{"10.0.0.7"});
    } else {
      EXPECT_EQ(OnlyMessage(), kTextInUse);
    }
  }
}

// A reply whose source no device can have is not taken: zero, multicast, the limited
// broadcast, the broadcast address the request went to, an address the front end excludes, and
// any of the loopback network (another program of this computer) unless the user named it.
TEST_F(SearchTest, RepliesFromImpossibleSourcesAreIgnored) {
  for (const char* source : {"0.0.0.0", "224.0.0.1", "239.1.2.3", "255.255.255.255", "10.0.0.255",
                             "10.0.0.1", "127.0.0.2", "127.255.255.254"}) {
    SCOPED_TRACE(source);
    NextRow();
    ReconfigSession& s = Session();
    FakeDevice& forged = UdpDevice(source);
    EXPECT_FALSE(s.StartProcedure(kSerial));
    EXPECT_EQ(OnlyMessage(), kTextNotDetected);
    EXPECT_EQ(forged.received, std::vector<std::string>{"identify"});
  }
  EXPECT_TRUE(IsPossibleDeviceAddress("10.0.0.7", {"10.0.0.1"}));
  EXPECT_TRUE(IsPossibleDeviceAddress("127.0.0.2", {}, {"127.0.0.2"}));
}

TEST_F(SearchTest, LowerComDecides) {
  ReconfigSession& s = Session(false);
  FakeDevice& high = SerialDevice(9);
  FakeDevice& low = SerialDevice(3);
  ASSERT_TRUE(s.StartProcedure(kSerial));
  EXPECT_EQ(s.report().port, "COM3 (fake3)");
  EXPECT_EQ(Count(low.received, "mode"), 1);
  EXPECT_EQ(Count(low.received, "svc5"), 1) << "the record goes over COM3";
  EXPECT_EQ(high.received, std::vector<std::string>{"identify"});
  EXPECT_EQ(m_platform.OpenPorts(), 0);
}

// Two addresses answering with the wanted number are two devices: refused, nothing written. The
// same address answering twice (the computer has two interfaces on its network) is one device,
// and its later reply decides.
TEST_F(SearchTest, OneDevicePerSerialNumber) {
  for (const bool same_address : {false, true}) {
    SCOPED_TRACE(same_address ? "one address twice" : "two addresses");
    NextRow();
    ReconfigSession& s = Session();
    FakeDevice& first = UdpDevice("10.0.0.7", {.delayMs = 30});
    if (same_address) {
      // The broadcast left on two interfaces: the device answers it twice.
      auto device_hook = m_socket->onSend;
      m_socket->onSend = [device_hook](FakeSocket& sock, const testing::SentDatagram& sent) {
        device_hook(sock, sent);
        if (sent.bytes.size() == 12 && sent.bytes[2] == 0x01) {
          sock.Arrive(sent.at + 330, "10.0.0.7", 50000,
                      testing::AsDatagram(testing::MakeIdentifyReply({})));
        }
      };
      ASSERT_TRUE(s.StartProcedure(kSerial));
      EXPECT_EQ(s.report().address, "10.0.0.7");
      continue;
    }
    FakeDevice& later = UdpDevice("10.0.0.8", {.delayMs = 330});
    EXPECT_FALSE(s.StartProcedure(kSerial));
    EXPECT_EQ(OnlyMessage().rfind(std::string(kTextTwoDevices) + " 10.0.0.7 and 10.0.0.8.", 0), 0u)
        << OnlyMessage();
    EXPECT_EQ(m_sink.messages[0].style, MessageStyle::kError);
    EXPECT_EQ(first.received, std::vector<std::string>{"identify"});
    EXPECT_EQ(later.received, std::vector<std::string>{"identify"});
  }
}

TEST_F(SearchTest, NumbersAbove65535NameNoDevice) {
  ReconfigSession& s = Session();
  FakeDevice& d = UdpDevice("10.0.0.7");  // serial 1234 == 66770 mod 65536
  EXPECT_FALSE(s.StartProcedure(66770));
  EXPECT_EQ(OnlyMessage(), kTextNotDetected);
  EXPECT_EQ(d.received, std::vector<std::string>{"identify"});
  m_sink.messages.clear();
  EXPECT_FALSE(s.StartProcedure(66770.0));
  EXPECT_EQ(OnlyMessage(), kTextNotDetected);
}

TEST_F(SearchTest, ServiceModeEntryFailures) {
  struct Case {
    const char* what;
    FakeDeviceConfig config;
    std::string_view message;
    std::vector<std::string> requests;  // after the identify request
  };
  const Case cases[] = {
      {"bad status reply", {.badStatus = true}, kTextUnknownError, {"status"}},
      {"keeps answering the mode switch",
       {.answerModeSwitch = true},
       kTextUnknownError,
       {"status", "mode", "mode", "mode", "mode", "mode"}},
      {"service version 4",
       {.serviceVersion = 4},
       kTextNotApplicable,
       {"status", "mode", "svc0", "svc4"}},
      {"service error",
       {.serviceError = 2},
       kTextNotApplicable,
       {"status", "mode", "svc0", "svc4"}},
  };
  for (const Case& c : cases) {
    NextRow(1);
    ReconfigSession& s = Session(false);
    FakeDevice& d = SerialDevice(1, c.config);
    EXPECT_FALSE(s.StartProcedure(kSerial)) << c.what;
    EXPECT_EQ(OnlyMessage(), c.message) << c.what;
    std::vector<std::string> expected{"identify"};
    expected.insert(expected.end(), c.requests.begin(), c.requests.end());
    EXPECT_EQ(d.received, expected) << c.what;
    EXPECT_EQ(m_platform.OpenPorts(), 0) << c.what;
    EXPECT_EQ(ServiceModeRecord::OfProcess().LeaveAll(LeaveFrom::kStart), 0u) << c.what;
  }
}

TEST_F(SearchTest, OneQueuedByteAfterTheModeSwitchIsSilence) {
  for (std::size_t bytes : {1u, 2u}) {
    NextRow(1);
    ReconfigSession& s = Session(false);
    FakeDevice& d = SerialDevice(1, {.answerModeSwitch = true, .modeSwitchAnswerBytes = bytes});
    const bool found = s.StartProcedure(kSerial);
    EXPECT_EQ(found, bytes == 1) << bytes;
    EXPECT_EQ(Count(d.received, "mode"), bytes == 1 ? 1 : 5) << bytes;
  }
}

TEST_F(SearchTest, UdpModeSwitchCountsOnlyTheDevice) {
  struct Case {
    const char* what;
    std::string from;
    std::uint16_t port;
    std::size_t size;
    bool found;
  };
  const Case cases[] = {
      {"device answers", "10.0.0.7", 50000, 138, false},
      {"other port", "10.0.0.7", 50001, 138, true},
      {"other address", "10.0.0.8", 50000, 138, true},
      {"other size", "10.0.0.7", 50000, 137, true},
  };
  for (const Case& c : cases) {
    NextRow();
    ReconfigSession& s = Session();
    FakeDevice& d = UdpDevice("10.0.0.7");
    auto device_hook = m_socket->onSend;
    m_socket->onSend = [&, device_hook](FakeSocket& sock, const testing::SentDatagram& sent) {
      device_hook(sock, sent);
      if (Count(d.received, "mode") == 1 && sent.bytes.size() == 12 && sent.bytes[2] == 0xFF) {
        sock.Arrive(sent.at + 50, c.from, c.port, Bytes(c.size, 0));
      }
    };
    EXPECT_EQ(s.StartProcedure(kSerial), c.found) << c.what;
    if (!c.found) {
      EXPECT_EQ(OnlyMessage(), kTextUnknownError) << c.what;
    }
  }
}

// Once the device's address is known, only its own 138-byte reply from port 50000 counts as the
// status reply: another port's, another host's and a stray datagram are read and discarded.
TEST_F(SearchTest, UdpStatusRepliesCountOnlyFromTheDevice) {
  struct Case {
    const char* what;
    std::string from;
    std::uint16_t port;
    std::size_t size;    // of the datagram that comes first
    bool deviceAnswers;  // after it, at 200 ms
    bool found;
  };
  const Case cases[] = {
      {"the device's address, another port", "10.0.0.7", 50001, 138, false, false},
      {"another host forges it while the device answers late", "10.0.0.9", 50000, 138, true, true},
      {"a stray datagram of another size before the device's reply", "10.0.0.7", 50000, 20, true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NextRow();
    ReconfigSession& s = Session();
    FakeDevice& d = UdpDevice("10.0.0.7");
    auto device_hook = m_socket->onSend;
    m_socket->onSend = [&, device_hook](FakeSocket& sock, const testing::SentDatagram& sent) {
      if (sent.bytes.size() != 12 || sent.bytes[2] != 0x59) return device_hook(sock, sent);
      testing::Bytes forged = testing::AsDatagram(testing::MakeStatusReply());
      forged[2 + 58] ^= 0xFF;  // other values than the device's
      SealReply(forged.data() + 2);
      forged.resize(c.size);
      sock.Arrive(sent.at + 10, c.from, c.port, forged);
      if (c.deviceAnswers) {
        d.received.push_back("status");
        sock.Arrive(sent.at + 200, "10.0.0.7", 50000,
                    testing::AsDatagram(testing::MakeStatusReply()));
      }
    };
    EXPECT_EQ(s.StartProcedure(kSerial), c.found);
    EXPECT_EQ(m_socket->Pending(), 0u);
    if (c.found) {
      EXPECT_EQ(m_record.bytes[10], testing::MakeStatusReply()[58]) << "the device's own value";
    } else {
      EXPECT_EQ(OnlyMessage(), kTextUnknownError);
    }
  }
}

// Command 4 from a path that ends the process (the display lost, the session ending) runs none of
// the front end's hooks; from the Start it runs them as every wait does. Either way it goes once,
// even while an interruption is pending, and never to a port that has closed since.
TEST_F(SearchTest, LeavingServiceModeAsTheProcessEndsRunsNoHook) {
  struct Case {
    LeaveFrom from;
    bool interrupted;
    bool closedFirst;
  };
  for (const Case c :
       {Case{LeaveFrom::kStart, false, false}, Case{LeaveFrom::kProcessEnd, true, false},
        Case{LeaveFrom::kProcessEnd, false, true}}) {
    m_devices.clear();
    m_platform.Port(1) = {};
    FakeDevice& d = SerialDevice(1);
    d.serviceMode = true;
    int waits = 0;
    const LinkHooks hooks{{}, {}, [&waits] { ++waits; }};
    SerialPort port = SerialPort::Open(Link(m_platform), 1);
    LinkEndpoint endpoint;
    ResetEndpoint(endpoint);
    endpoint.serialPort = &port;
    ServiceModeRecord& record = ServiceModeRecord::OfProcess();
    const ServiceModeRecord::Entry entry =
        record.Enter(Link(m_platform, nullptr, &hooks), endpoint);
    EXPECT_EQ(ArmedAtExit(), 1u);
    if (c.closedFirst) port.Close();
    if (c.interrupted) RequestInterrupt();
    const bool sent = c.from == LeaveFrom::kStart ? record.LeaveNow(endpoint, c.from)
                                                  : record.LeaveAll(c.from) == 1;
    ClearInterrupt();
    EXPECT_TRUE(sent);
    EXPECT_FALSE(record.LeaveNow(endpoint, c.from));
    EXPECT_EQ(ArmedAtExit(), 0u);
    EXPECT_EQ(d.received,
              c.closedFirst ? std::vector<std::string>{} : std::vector<std::string>{"svc4"});
    EXPECT_EQ(waits > 0, c.from == LeaveFrom::kStart) << waits;
  }
}

// Where one test device is: a COM number, or an address (and the source port of its replies).
struct Place {
  int com = 0;
  std::string address;
  std::uint16_t port = 50000;
};
struct PlacedDevice {
  Place place;
  FakeDeviceConfig config;
};

class WindowTest : public SearchTest {
 protected:
  // One search window for `numbers` over the devices; the addresses named, or the broadcast.
  std::vector<SearchResult> Judge(const std::vector<PlacedDevice>& devices,
                                  const std::vector<std::int32_t>& numbers, bool with_socket,
                                  const std::vector<std::string>& named = {}) {
    m_devices.clear();
    for (int n = 1; n <= 8; ++n) {  // the rows' ports: none but those a row places a device on
      m_platform.Port(n) = {};
      m_platform.Port(n).exists = false;
    }
    m_window = std::make_unique<DeviceSearch>(Options(named));
    Session(with_socket);
    for (const PlacedDevice& d : devices) {
      if (d.place.com != 0) {
        m_platform.Port(d.place.com).exists = true;
        SerialDevice(d.place.com, d.config);
      } else {
        m_devices.push_back(std::make_unique<FakeDevice>(d.config));
        m_devices.back()->AttachUdp(*m_socket, d.place.address, d.place.port);
      }
    }
    const std::int64_t start = m_platform.NowMs();
    std::vector<SearchResult> judged = m_window->JudgeDevices(Link(m_platform, m_socket), numbers);
    m_windowMs = m_platform.NowMs() - start;
    return judged;
  }
  static SearchOptions Options(const std::vector<std::string>& named) {
    SearchOptions options;
    options.identifyAddresses = named;
    options.broadcastTargets = [] { return std::vector<std::string>{"10.0.0.255"}; };
    options.impossibleSources = [] { return std::vector<std::string>{"10.0.0.1"}; };
    return options;
  }
  std::unique_ptr<DeviceSearch> m_window;
  std::int64_t m_windowMs = 0;
};

FakeDeviceConfig Numbered(std::uint16_t serial, FakeDeviceConfig config = {}) {
  config.identify.serial = serial;
  return config;
}

// Several numbers in one window: each is classified on its own by the rules of one; a port that
// another named device answered is that device's, asked nothing more; every device gets nothing
// but identify requests.
TEST_F(WindowTest, SeveralNumbersEachByItsOwnRules) {
  struct Expect {
    Outcome outcome;
    std::string where;  // of a usable device
  };
  struct Case {
    const char* what;
    std::vector<PlacedDevice> devices;
    std::vector<Expect> expect;   // for 1234 and 5678
    std::vector<int> identifies;  // identify requests each device received
  };
  const Case cases[] = {
      {"the cable decides for one, the network for the other",
       {{{2}, Numbered(1234)},
        {{0, "10.0.0.7"}, Numbered(1234)},
        {{0, "10.0.0.8"}, Numbered(5678)}},
       {{Outcome::kReconfigured, "COM2 (fake2)"}, {Outcome::kReconfigured, "10.0.0.8"}},
       {1, 1, 1}},
      {"two addresses refuse one number only",
       {{{0, "10.0.0.7"}, Numbered(1234)},
        {{0, "10.0.0.9"}, Numbered(1234)},
        {{3}, Numbered(5678)}},
       {{Outcome::kTwoDevices, ""}, {Outcome::kReconfigured, "COM3 (fake3)"}},
       {1, 1, 1}},
      {"a named device's port is its own; an unnamed one is asked again",
       {{{1}, Numbered(5678)}, {{2}, Numbered(999)}, {{4}, Numbered(1234)}},
       {{Outcome::kReconfigured, "COM4 (fake4)"}, {Outcome::kReconfigured, "COM1 (fake1)"}},
       {1, 4, 1}},
      {"the lower COM decides; the higher is not asked again",
       {{{2}, Numbered(1234)}, {{3}, Numbered(1234)}, {{5}, Numbered(5678)}},
       {{Outcome::kReconfigured, "COM2 (fake2)"}, {Outcome::kReconfigured, "COM5 (fake5)"}},
       {1, 1, 1}},
      {"in use and not applicable, each its own",
       {{{1}, Numbered(1234, {.identify = {.useCount = 1}})},
        {{0, "10.0.0.8"}, Numbered(5678, {.identify = {.applicabilityA = 2}})}},
       {{Outcome::kInUse, ""}, {Outcome::kNotApplicable, ""}},
       {1, 1}},
      {"one number missing",
       {{{1}, Numbered(5678)}},
       {{Outcome::kNotDetected, ""}, {Outcome::kReconfigured, "COM1 (fake1)"}},
       {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<SearchResult> judged = Judge(c.devices, {1234, 5678}, true);
    ASSERT_EQ(judged.size(), 2u);
    int usable_ports = 0;
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(judged[i].outcome(), c.expect[i].outcome) << i;
      if (judged[i]) {
        EXPECT_EQ(judged[i].device->where, c.expect[i].where) << i;
        usable_ports += judged[i].device->OnSerialPort() ? 1 : 0;
      }
    }
    EXPECT_EQ(m_platform.OpenPorts(), usable_ports) << "only usable devices keep their ports";
    for (std::size_t d = 0; d < m_devices.size(); ++d) {
      EXPECT_EQ(m_devices[d]->received, std::vector<std::string>(c.identifies[d], "identify")) << d;
    }
  }
}

// Without a broadcast, the window ends as soon as every asked port and named address has sent
// its complete reply; otherwise it runs its 1000 ms. Either way the outcome is the same.
TEST_F(WindowTest, TheWindowEndsWhenNothingMoreCanAnswer) {
  struct Case {
    const char* what;
    std::vector<PlacedDevice> devices;
    std::vector<std::int32_t> numbers;
    bool socket;
    std::vector<std::string> named;
    std::int64_t windowMs;
    std::vector<Outcome> outcomes;
  };
  const Outcome found = Outcome::kReconfigured;
  const Case cases[] = {
      {"a named port", {{{1}, Numbered(1234)}}, {1234}, false, {}, 30, {found}},
      // The window ends at 30 ms; three further identify requests follow, answered at once.
      {"another device on the named port",
       {{{1}, Numbered(999)}},
       {1234},
       false,
       {},
       120,
       {Outcome::kNotDetected}},
      {"several ports and addresses",
       {{{1}, Numbered(1234)},
        {{3}, Numbered(5678, {.delayMs = 80})},
        {{0, "10.0.0.7"}, Numbered(42, {.delayMs = 120})}},
       {1234, 5678, 42},
       true,
       {"10.0.0.7"},
       120,
       {found, found, found}},
      {"a silent port",
       {{{1}, Numbered(1234)}, {{2}, {.silent = true}}},
       {1234},
       false,
       {},
       1000,
       {found}},
      {"a named address stays silent",
       {{{1}, Numbered(1234)}},
       {1234},
       true,
       {"10.0.0.9"},
       1000,
       {found}},
      {"the named address answers from another port",
       {{{0, "10.0.0.7", 50001}, Numbered(1234)}},
       {1234},
       true,
       {"10.0.0.7"},
       1000,
       {Outcome::kNotDetected}},
      {"a broadcast went out", {{{1}, Numbered(1234)}}, {1234}, true, {}, 1000, {found}},
      {"nothing was asked", {}, {1234}, false, {}, 1000, {Outcome::kNotDetected}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<SearchResult> judged = Judge(c.devices, c.numbers, c.socket, c.named);
    EXPECT_EQ(m_windowMs, c.windowMs);
    ASSERT_EQ(judged.size(), c.outcomes.size());
    for (std::size_t i = 0; i < judged.size(); ++i) EXPECT_EQ(judged[i].outcome(), c.outcomes[i]);
  }
}

class StartTest : public SearchTest {};

TEST_F(StartTest, WritesTheRecordWithTheDeviceValues) {
  ReconfigSession& s = Session(false);
  testing::IdentifyFields f{.moduleBlock = {0x09, 0x08, 0x07, 0x01, 0x00}};
  FakeDevice& d = SerialDevice(5, {.identify = f});
  EXPECT_TRUE(s.StartProcedure(1234.9));  // truncated toward zero
  ASSERT_EQ(m_sink.messages.size(), 1u);
  EXPECT_EQ(m_sink.messages[0].text, kTextSuccess);
  EXPECT_EQ(m_sink.messages[0].style, MessageStyle::kInformation);
  EXPECT_EQ(d.lastRecord,
            testing::Hex("12 00 09 08 07 01 00 00 88 13 10 27 D0 07 03 04 05 06 00 00"));
  EXPECT_EQ(d.received,
            (std::vector<std::string>{"identify", "status", "mode", "svc0", "svc5", "svc4"}));
  EXPECT_EQ(m_platform.OpenPorts(), 0);
  EXPECT_EQ(m_sink.waits, 0);
}

TEST_F(StartTest, ARecordThatIsNotEchoedIsAnError) {
  for (bool udp : {false, true}) {
    NextRow(5);
    ReconfigSession& s = Session(udp);
    FakeDevice& d =
        udp ? UdpDevice("10.0.0.7", {.echoRecord = false}) : SerialDevice(5, {.echoRecord = false});
    EXPECT_FALSE(s.StartProcedure(kSerial));
    EXPECT_EQ(OnlyMessage(), kTextUnknownError);
    EXPECT_EQ(Count(d.received, "svc5"), 1);
    EXPECT_EQ(Count(d.received, "svc4"), 0);  // no command 4 on this path
    EXPECT_EQ(m_platform.OpenPorts(), 0);
  }
}

TEST_F(StartTest, ASecondStartSendsTheNewValues) {
  ReconfigSession& s = Session(false);
  FakeDevice& d = SerialDevice(5, {.echoRecord = false});
  EXPECT_FALSE(s.StartProcedure(kSerial));
  d.config().echoRecord = true;
  d.config().identify.moduleBlock[0] = 0x42;
  d.serviceMode = false;  // the device was power-cycled: without command 4 it stays in service mode
  m_sink.messages.clear();
  EXPECT_TRUE(s.StartProcedure(kSerial));
  ASSERT_GE(d.lastRecord.size(), 3u);
  EXPECT_EQ(d.lastRecord[2], 0x42);
}

TEST_F(StartTest, FieldValuesBecomeSerialNumbers) {
  struct Case {
    double value;
    std::int32_t serial;
  };
  const Case cases[] = {{0.0, 0},  {1234.99, 1234}, {-0.5, 0},          {-7.9, -7},
                        {4e9, -1}, {-4e9, -1},      {std::nan(""), -1}, {2147483647.0, 2147483647}};
  for (const Case& c : cases) {
    EXPECT_EQ(SerialNumberFromFieldValue(c.value), c.serial) << c.value;
  }
}

}  // namespace
}  // namespace quillon
