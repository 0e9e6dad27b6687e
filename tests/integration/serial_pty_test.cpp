// The serial transport on real pseudo-terminals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

#include "link/endpoint.h"
#include "link/serial_port.h"
#include "support/posix_fixtures.h"

namespace quillon {
namespace {

using testing::PtyPair;

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_pty.ok()) GTEST_SKIP() << "no pseudo-terminal could be made here";
    SystemPlatform::Instance().UseNamedSerialPorts({m_pty.slavePath()});
  }
  void TearDown() override { SystemPlatform::Instance().UseNamedSerialPorts({}); }
  PtyPair m_pty;
};

TEST_F(SerialPtyTest, OpensWithTheDeviceLineSettings) {
  LinkEndpoint e;
  e.serialPort = OpenSerialPort(1);
  ASSERT_NE(e.serialPort, kInvalidSerialHandle);
  termios tio{};
  ASSERT_EQ(::tcgetattr(static_cast<int>(e.serialPort), &tio), 0);
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
  ASSERT_EQ(::tcsetattr(static_cast<int>(e.serialPort), TCSANOW, &tio), 0);
  EnsureBaudRate(e.serialPort);
  ASSERT_EQ(::tcgetattr(static_cast<int>(e.serialPort), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), B38400);
  CloseEndpoint(e);
}

TEST_F(SerialPtyTest, OpenIsExclusiveAndReleasedOnClose) {
  const SerialHandle first = OpenSerialPort(1);
  ASSERT_NE(first, kInvalidSerialHandle);
  EXPECT_EQ(OpenSerialPort(1), kInvalidSerialHandle);
  SerialOpenResult probe = ProbeSerialPort(m_pty.slavePath());
  EXPECT_EQ(probe.status, SerialOpenStatus::kBusy) << probe.detail;
  LinkEndpoint e;
  e.serialPort = first;
  CloseEndpoint(e);
  const SerialHandle again = OpenSerialPort(1);
  EXPECT_NE(again, kInvalidSerialHandle);
  e.serialPort = again;
  CloseEndpoint(e);
  probe = ProbeSerialPort(m_pty.slavePath());
  EXPECT_EQ(probe.status, SerialOpenStatus::kOpened) << probe.detail;
}

TEST_F(SerialPtyTest, NoDescriptorLeaksOnAnyPath) {
  SystemPlatform::Instance().UseNamedSerialPorts(
      {m_pty.slavePath(), "/dev/null", "/nonexistent/tty", m_pty.slavePath()});
  const int before = testing::OpenDescriptorCount();
  for (int round = 0; round < 20; ++round) {
    LinkEndpoint e;
    e.serialPort = OpenSerialPort(1);                    // opens
    EXPECT_EQ(OpenSerialPort(4), kInvalidSerialHandle);  // busy
    EXPECT_EQ(OpenSerialPort(2), kInvalidSerialHandle);  // not a terminal: settings refused
    EXPECT_EQ(OpenSerialPort(3), kInvalidSerialHandle);  // missing
    EXPECT_EQ(OpenSerialPort(5), kInvalidSerialHandle);  // beyond the table
    CloseEndpoint(e);
    CloseEndpoint(e);
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

TEST_F(SerialPtyTest, WaitTakesExactlyOneReplySize) {
  const SerialHandle h = OpenSerialPort(1);
  ASSERT_NE(h, kInvalidSerialHandle);
  std::vector<std::uint8_t> bytes(137, 0x42);

  // 136 bytes end the wait at once.
  ASSERT_EQ(m_pty.Send(bytes.data(), 136), 136);
  auto start = NowMs();
  EXPECT_EQ(WaitForSerialBytes(h, 136, Deadline(start + 1000)), 136u);
  EXPECT_LT(NowMs() - start, 900);
  DrainSerialInput(h, 1476);
  EXPECT_EQ(CurrentPlatform().SerialQueued(h), 0u);

  // 137 bytes run the wait to its deadline.
  ASSERT_EQ(m_pty.Send(bytes.data(), 137), 137);
  start = NowMs();
  EXPECT_EQ(WaitForSerialBytes(h, 136, Deadline(start + 1000)), 137u);
  EXPECT_GE(NowMs() - start, 1000);

  // More than one drain chunk is emptied in several reads.
  std::vector<std::uint8_t> flood(3000, 0x17);
  ASSERT_EQ(m_pty.Send(flood.data(), 3000), 3000);
  const auto flood_start = NowMs();
  while (CurrentPlatform().SerialQueued(h) < 3137 && NowMs() - flood_start < 1000) {
    CurrentPlatform().SleepMs(1);
  }
  DrainSerialInput(h, 1536);
  EXPECT_EQ(CurrentPlatform().SerialQueued(h), 0u);
  LinkEndpoint e;
  e.serialPort = h;
  CloseEndpoint(e);
}

TEST_F(SerialPtyTest, AVanishedDeviceEndsWaitsAndDrains) {
  const SerialHandle h = OpenSerialPort(1);
  ASSERT_NE(h, kInvalidSerialHandle);
  std::vector<std::uint8_t> bytes(10, 1);
  m_pty.Send(bytes.data(), 10);
  m_pty.CloseMaster();
  const auto start = NowMs();
  WaitForSerialBytes(h, 136, Deadline(start + 300));
  DrainSerialInput(h, 1536);
  EXPECT_LT(NowMs() - start, 1000);
  LinkEndpoint e;
  e.serialPort = h;
  CloseEndpoint(e);
}

}  // namespace
}  // namespace quillon
