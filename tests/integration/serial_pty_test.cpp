// The serial transport on real pseudo-terminals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

#include "link/endpoint.h"
#include "link/serial_port.h"
#include "link/system_platform.h"
#include "support/posix_fixtures.h"

namespace quillon {
namespace {

using testing::PtyPair;

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_pty.ok()) GTEST_SKIP() << "no pseudo-terminal could be made here";
    m_platform.UseNamedSerialPorts({m_pty.slavePath()});
  }
  PtyPair m_pty;
  SystemPlatform m_platform;
  const Link m_link{m_platform};
};

TEST_F(SerialPtyTest, OpensWithTheDeviceLineSettings) {
  const SerialPort port = OpenSerialPort(m_link, 1);
  LinkEndpoint e;
  e.serialPort = &port;
  ASSERT_NE(PortHandle(e), kInvalidSerialHandle);
  termios tio{};
  ASSERT_EQ(::tcgetattr(static_cast<int>(PortHandle(e)), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B38400);
  EXPECT_EQ(::cfgetispeed(&tio), B38400);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);

  // Someone changes the speed; command 0 puts it back.
  ::cfsetospeed(&tio, B9600);
  ::cfsetispeed(&tio, B9600);
  ASSERT_EQ(::tcsetattr(static_cast<int>(PortHandle(e)), TCSANOW, &tio), 0);
  EnsureBaudRate(m_link, PortHandle(e));
  ASSERT_EQ(::tcgetattr(static_cast<int>(PortHandle(e)), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B38400);
}

TEST_F(SerialPtyTest, OpenIsExclusiveAndReleasedOnClose) {
  SerialPort first = OpenSerialPort(m_link, 1);
  ASSERT_TRUE(first.IsOpen());
  EXPECT_FALSE(OpenSerialPort(m_link, 1).IsOpen());
  SerialOpenResult probe = m_platform.ProbePath(m_pty.slavePath());
  EXPECT_EQ(probe.status, SerialOpenStatus::kBusy) << probe.detail;
  first.Close();
  EXPECT_TRUE(OpenSerialPort(m_link, 1).IsOpen());
  probe = m_platform.ProbePath(m_pty.slavePath());
  EXPECT_EQ(probe.status, SerialOpenStatus::kOpened) << probe.detail;
}

TEST_F(SerialPtyTest, NoDescriptorLeaksOnAnyPath) {
  m_platform.UseNamedSerialPorts(
      {m_pty.slavePath(), "/dev/null", "/nonexistent/tty", m_pty.slavePath()});
  const int before = testing::OpenDescriptorCount();
  for (int round = 0; round < 20; ++round) {
    SerialPort port = OpenSerialPort(m_link, 1);  // opens
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(OpenSerialPort(m_link, 4).IsOpen());  // busy
    EXPECT_FALSE(OpenSerialPort(m_link, 2).IsOpen());  // not a terminal: settings refused
    EXPECT_FALSE(OpenSerialPort(m_link, 3).IsOpen());  // missing
    EXPECT_FALSE(OpenSerialPort(m_link, 5).IsOpen());  // beyond the table
    port.Close();
    port.Close();
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

TEST_F(SerialPtyTest, WaitTakesExactlyOneReplySize) {
  const SerialPort port = OpenSerialPort(m_link, 1);
  const SerialHandle h = port.handle();
  ASSERT_NE(h, kInvalidSerialHandle);
  std::vector<std::uint8_t> bytes(137, 0x42);

  // 136 bytes end the wait at once.
  ASSERT_EQ(m_pty.Send(bytes.data(), 136), 136);
  auto start = m_link.NowMs();
  EXPECT_EQ(WaitForSerialBytes(m_link, h, 136, Deadline(m_platform, start + 1000)), 136u);
  EXPECT_LT(m_link.NowMs() - start, 900);
  DrainSerialInput(m_link, h, 1476);
  EXPECT_EQ(m_platform.SerialQueued(h), 0u);

  // 137 bytes run the wait to its deadline.
  ASSERT_EQ(m_pty.Send(bytes.data(), 137), 137);
  start = m_link.NowMs();
  EXPECT_EQ(WaitForSerialBytes(m_link, h, 136, Deadline(m_platform, start + 1000)), 137u);
  EXPECT_GE(m_link.NowMs() - start, 1000);

  // More than one drain chunk is emptied in several reads.
  std::vector<std::uint8_t> flood(3000, 0x17);
  ASSERT_EQ(m_pty.Send(flood.data(), 3000), 3000);
  const auto flood_start = m_link.NowMs();
  while (m_platform.SerialQueued(h) < 3137 && m_link.NowMs() - flood_start < 1000) {
    m_platform.SleepMs(1);
  }
  DrainSerialInput(m_link, h, 1536);
  EXPECT_EQ(m_platform.SerialQueued(h), 0u);
}

TEST_F(SerialPtyTest, AVanishedDeviceEndsWaitsAndDrains) {
  const SerialPort port = OpenSerialPort(m_link, 1);
  const SerialHandle h = port.handle();
  ASSERT_NE(h, kInvalidSerialHandle);
  std::vector<std::uint8_t> bytes(10, 1);
  m_pty.Send(bytes.data(), 10);
  m_pty.CloseMaster();
  const auto start = m_link.NowMs();
  WaitForSerialBytes(m_link, h, 136, Deadline(m_platform, start + 300));
  DrainSerialInput(m_link, h, 1536);
  EXPECT_LT(m_link.NowMs() - start, 1000);
}

}  // namespace
}  // namespace quillon
