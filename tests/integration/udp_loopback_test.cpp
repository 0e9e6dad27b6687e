// The datagram transport on real loopback sockets. Each test binds its own 127.x address.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/endpoint.h"
#include "link/service_frame.h"
#include "link/system_platform.h"
#include "support/frames.h"

namespace quillon {
namespace {

// A plain UDP socket standing in for a device or a stranger.
class Peer {
 public:
  Peer(const char* address, std::uint16_t port) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    m_ok = ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Peer() { ::close(m_fd); }
  bool ok() const { return m_ok; }
  // Sends to the tool's socket, whose port it learnt from the tool's request.
  void SendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes) {
    ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
  // Waits up to 2 s for a datagram; returns it and where it came from.
  std::vector<std::uint8_t> Receive(sockaddr_in* from) {
    timeval tv{2, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<std::uint8_t> buf(4096);
    socklen_t len = sizeof *from;
    const ssize_t n =
        ::recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(from), &len);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
  }

 private:
  int m_fd = -1;
  bool m_ok = false;
};

sockaddr_in ToolAddress(DatagramSocket& tool, Peer& device, const char* device_address) {
  const std::uint8_t hello[1] = {0};
  tool.SendTo(hello, device_address, 50000);
  sockaddr_in from{};
  device.Receive(&from);
  return from;
}

TEST(UdpLoopback, PeekReportsTheRealLengthAndStrangersAreIgnored) {
  auto tool = CreateLinkSocket();
  ASSERT_TRUE(tool);
  Peer device("127.0.0.61", 50000);
  Peer stranger("127.0.0.62", 50000);
  if (!device.ok() || !stranger.ok()) GTEST_SKIP() << "cannot bind 127.0.0.61/62:50000 here";
  const sockaddr_in to = ToolAddress(*tool, device, "127.0.0.61");

  const ServiceFrame reply = testing::EchoFrame(ServiceFrame{0, svc::kFinish});
  stranger.SendTo(to, testing::AsServiceDatagram(reply));    // right size, wrong sender
  device.SendTo(to, std::vector<std::uint8_t>(2000, 0x33));  // right sender, too long
  device.SendTo(to, testing::AsServiceDatagram(reply));

  std::uint8_t buf[272];
  ASSERT_TRUE(tool->WaitReadable(2000));
  EXPECT_EQ(tool->ReceiveFrom(buf, true, nullptr), 138u);
  SystemPlatform platform;
  const Link link(platform, tool.get());
  ASSERT_TRUE(PollPeerDatagram(link, "127.0.0.61", buf, 138, true, link.After(1000)));
  EXPECT_EQ(std::vector<std::uint8_t>(buf + 2, buf + 138),
            std::vector<std::uint8_t>(reply.begin(), reply.end()));
  EXPECT_EQ(tool->ReceiveFrom(buf, true, nullptr), std::nullopt);  // all three consumed
}

TEST(UdpLoopback, NothingFromThePeerRunsToTheDeadline) {
  auto tool = CreateLinkSocket();
  ASSERT_TRUE(tool);
  SystemPlatform platform;
  const Link link(platform, tool.get());
  std::uint8_t buf[272];
  const auto start = link.NowMs();
  EXPECT_FALSE(
      PollPeerDatagram(link, "127.0.0.63", buf, 138, false, Deadline(platform, start + 1000)));
  EXPECT_GE(link.NowMs() - start, 1000);
}

TEST(UdpLoopback, ServiceExchangeWithAHandMadeDevice) {
  auto tool = CreateLinkSocket();
  ASSERT_TRUE(tool);
  Peer device("127.0.0.64", 50000);
  if (!device.ok()) GTEST_SKIP() << "cannot bind 127.0.0.64:50000 here";
  SystemPlatform platform;
  const Link link(platform, tool.get());
  LinkEndpoint e;
  ASSERT_TRUE(SetPeerAddress(e, "127.0.0.64"));

  ServiceFrame request{};
  request[1] = svc::kFinish;
  SendServiceFrame(link, e, request);
  sockaddr_in from{};
  const auto got = device.Receive(&from);
  ASSERT_EQ(got.size(), 136u);
  EXPECT_EQ(got[0], 0x2E);
  EXPECT_EQ(got[1], 0x04);
  ServiceFrame echoed;
  std::copy(got.begin(), got.end(), echoed.begin());
  device.SendTo(from, testing::AsServiceDatagram(echoed));
  EXPECT_EQ(ReceiveServiceReply(link, e, request), LinkResult::kOk);
}

}  // namespace
}  // namespace quillon
