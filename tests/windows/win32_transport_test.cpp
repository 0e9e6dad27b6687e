// The Windows transports on a real system (or Wine): the link socket over loopback, the port
// table, a port that refuses the line settings, and the port of a simulated device that
// tests/windows/wine.sh maps (QUILLON_TEST_COM). No serial port of the machine is opened.

#include <gtest/gtest.h>
#include <winsock2.h>  // brings windows.h too, in the order that Winsock 2 needs
#include <ws2tcpip.h>
// The device installation headers need windows.h first.
#include <devguid.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/datagram_socket.h"
#include "link/serial_line_win32.h"
#include "link/serial_port.h"
#include "link/system_platform.h"

namespace quillon {
namespace {

// A plain Winsock socket on 127.0.0.1 playing the device.
class LoopbackPeer {
 public:
  LoopbackPeer() : m_socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (m_socket == INVALID_SOCKET ||
        ::bind(m_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    m_port = ntohs(addr.sin_port);
    // Blocking receives end after two seconds at the latest.
    const DWORD timeout_ms = 2000;
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
                 sizeof timeout_ms);
  }
  ~LoopbackPeer() {
    if (m_socket != INVALID_SOCKET) ::closesocket(m_socket);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t port() const { return m_port; }

  // Waits for one datagram and remembers its sender as the place to answer.
  int ReceiveOne() {
    char buf[2048];
    int len = sizeof m_tool;
    return ::recvfrom(m_socket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&m_tool), &len);
  }
  void Answer(const std::vector<std::uint8_t>& bytes) {
    ::sendto(m_socket, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
             0, reinterpret_cast<const sockaddr*>(&m_tool), sizeof m_tool);
  }

 private:
  SOCKET m_socket;
  std::uint16_t m_port = 0;
  sockaddr_in m_tool{};
};

class LinkSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sockets.emplace();
    ASSERT_TRUE(m_sockets->started());
    m_peer = std::make_unique<LoopbackPeer>();
    ASSERT_NE(m_peer->port(), 0);
    m_tool = CreateSystemDatagramSocket();
    ASSERT_TRUE(m_tool);
    const std::uint8_t hello[12] = {};
    ASSERT_TRUE(m_tool->SendTo(hello, "127.0.0.1", m_peer->port()));
    ASSERT_EQ(m_peer->ReceiveOne(), 12);
  }
  void TearDown() override {
    m_tool.reset();
    m_peer.reset();
    m_sockets.reset();
  }

  std::optional<SocketInterface> m_sockets;
  std::unique_ptr<LoopbackPeer> m_peer;
  std::unique_ptr<DatagramSocket> m_tool;
};

TEST_F(LinkSocketTest, EmptySocketAnswersAtOnce) {
  std::uint8_t buf[16];
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(m_tool->ReceiveFrom(buf, true, nullptr), std::nullopt);
  EXPECT_EQ(m_tool->ReceiveFrom(buf, false, nullptr), std::nullopt);
  EXPECT_FALSE(m_tool->WaitReadable(50));
  EXPECT_LT(::GetTickCount() - start, 1000u) << "a receive blocked";
}

// Winsock fails a receive into a smaller buffer with WSAEMSGSIZE; the length tests of the
// search need the real length all the same, with and without peek.
TEST_F(LinkSocketTest, ReportsRealLengthOfLongerDatagram) {
  std::vector<std::uint8_t> big(2000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  m_peer->Answer(big);
  ASSERT_TRUE(m_tool->WaitReadable(2000));

  std::uint8_t buf[138 + 2] = {};
  buf[138] = 0xEE;
  DatagramSender from;
  EXPECT_EQ(m_tool->ReceiveFrom(std::span(buf).first(138), true, &from), 2000u);
  EXPECT_EQ(buf[137], 137);
  EXPECT_EQ(buf[138], 0xEE) << "wrote past the caller's buffer";
  EXPECT_EQ(from.address, "127.0.0.1");
  EXPECT_EQ(from.port, m_peer->port());

  EXPECT_EQ(m_tool->ReceiveFrom(std::span(buf).first(138), false, nullptr), 2000u)
      << "the peek removed it";
  EXPECT_EQ(buf[138], 0xEE);
  EXPECT_EQ(m_tool->ReceiveFrom(std::span(buf).first(138), true, nullptr), std::nullopt)
      << "the receive left it queued";
}

TEST_F(LinkSocketTest, PeekLeavesDatagramsInOrder) {
  m_peer->Answer(std::vector<std::uint8_t>(138, 0xA5));
  m_peer->Answer(std::vector<std::uint8_t>(12, 0x5A));
  ASSERT_TRUE(m_tool->WaitReadable(2000));
  std::uint8_t buf[1476] = {};
  EXPECT_EQ(m_tool->ReceiveFrom(buf, true, nullptr), 138u);
  EXPECT_EQ(m_tool->ReceiveFrom(buf, true, nullptr), 138u);
  EXPECT_EQ(m_tool->ReceiveFrom(buf, false, nullptr), 138u);
  // The second may still be on its way over loopback.
  ASSERT_TRUE(m_tool->WaitReadable(2000));
  EXPECT_EQ(m_tool->ReceiveFrom(buf, false, nullptr), 12u);
  EXPECT_EQ(buf[0], 0x5A);
}

TEST_F(LinkSocketTest, RefusesAddressesThatAreNotDottedIPv4) {
  const std::uint8_t byte = 0;
  for (const char* bad : {"", "localhost", "1.2.3", "256.1.1.1"}) {
    EXPECT_FALSE(m_tool->SendTo(std::span(&byte, 1), bad, kDevicePort)) << bad;
  }
}

// Winsock counts its start-ups: nested guards each stop what they started, and a start that
// failed is never stopped.
TEST(SocketInterfaceTest, GuardsNestAndStopOnlyWhatTheyStarted) {
  {
    const SocketInterface outer;
    ASSERT_TRUE(outer.started());
    { const SocketInterface inner; }
    EXPECT_TRUE(CreateSystemDatagramSocket() != nullptr) << "the inner guard stopped the outer's";
  }
  static int stops = 0;
  {
    const SocketInterface failing({[] { return false; }, [] { ++stops; }});
    EXPECT_FALSE(failing.started());
  }
  EXPECT_EQ(stops, 0);
}

TEST(SerialPortTableTest, SystemTableIsCom1ToCom256InTheDeviceNamespace) {
  SystemPlatform platform;
  const std::vector<SerialPortInfo> ports = platform.SerialPorts();
  ASSERT_EQ(ports.size(), 256u);
  EXPECT_EQ(ports.front().number, 1);
  EXPECT_EQ(ports.front().path, "\\\\.\\COM1");
  EXPECT_EQ(ports[9].path, "\\\\.\\COM10");
  EXPECT_EQ(ports.back().number, 256);
  EXPECT_EQ(ports.back().path, "\\\\.\\COM256");
}

// A COM port keeps its own number and is named as Windows names it; any other path takes the
// lowest number left; a port named twice is searched once.
TEST(SerialPortTableTest, NamedComPortsKeepTheirNumber) {
  SystemPlatform platform;
  platform.UseNamedSerialPorts({"COM7", "com12", "\\\\.\\COM3", "COM", "\\\\.\\com7", "C:\\port"});
  const std::vector<SerialPortInfo> table = platform.SerialPorts();
  platform.UseSystemSerialPorts();
  const std::vector<std::pair<int, std::string>> expected = {
      {1, "COM"}, {2, "C:\\port"}, {3, "\\\\.\\COM3"}, {7, "\\\\.\\COM7"}, {12, "\\\\.\\COM12"}};
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(table[i].number, expected[i].first);
    EXPECT_EQ(table[i].path, expected[i].second);
  }
  EXPECT_EQ(SerialPortName(table[4]), "COM12");
  EXPECT_EQ(SerialPortName(table[1]), "COM2 (C:\\port)");
  EXPECT_EQ(platform.SerialPorts().size(), 256u);
}

// What the port reported must not leak into the data flow: another program may have left
// handshakes, DSR sensitivity, abort on error, error or null replacement, even equal XON and
// XOFF characters, which SetCommState refuses.
TEST(SerialLineTest, EveryMemberThatShapesTheDataFlowIsSet) {
  DCB clean{};
  DCB left = clean;
  left.BaudRate = 9600;
  left.ByteSize = 7;
  left.Parity = EVENPARITY;
  left.StopBits = TWOSTOPBITS;
  left.fBinary = FALSE;
  left.fParity = TRUE;
  left.fOutxCtsFlow = TRUE;
  left.fOutxDsrFlow = TRUE;
  left.fDtrControl = DTR_CONTROL_HANDSHAKE;
  left.fDsrSensitivity = TRUE;
  left.fTXContinueOnXoff = FALSE;
  left.fOutX = TRUE;
  left.fInX = TRUE;
  left.fErrorChar = TRUE;
  left.fNull = TRUE;
  left.fRtsControl = RTS_CONTROL_TOGGLE;
  left.fAbortOnError = TRUE;
  left.XonChar = left.XoffChar = 0;
  left.XonLim = left.XoffLim = 60000;
  left.ErrorChar = '?';
  left.EofChar = 0x1A;
  left.EvtChar = '\n';
  for (const DCB& reported : {clean, left}) {
    const DCB d = DeviceLineSettings(reported);
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_EQ(d.BaudRate, 38400u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    const std::pair<DWORD, DWORD> flags[] = {{d.fBinary, 1},
                                             {d.fParity, 0},
                                             {d.fOutxCtsFlow, 0},
                                             {d.fOutxDsrFlow, 0},
                                             {d.fDtrControl, DTR_CONTROL_ENABLE},
                                             {d.fDsrSensitivity, 0},
                                             {d.fTXContinueOnXoff, 1},
                                             {d.fOutX, 0},
                                             {d.fInX, 0},
                                             {d.fErrorChar, 0},
                                             {d.fNull, 0},
                                             {d.fRtsControl, RTS_CONTROL_DISABLE},
                                             {d.fAbortOnError, 0}};
    for (std::size_t i = 0; i < std::size(flags); ++i) {
      EXPECT_EQ(flags[i].first, flags[i].second) << "flag " << i << " of the DCB's bit fields";
    }
    EXPECT_NE(d.XonChar, d.XoffChar);
    EXPECT_LE(d.XonLim + d.XoffLim, 300) << "beyond the input queue";
    EXPECT_EQ(d.EvtChar, 0);
  }
  const COMMTIMEOUTS t = DeviceTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD) << "a read returns what is queued at once";
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_GE(t.WriteTotalTimeoutConstant, 500u) << "a write is bounded to about a second";
  EXPECT_LE(t.WriteTotalTimeoutConstant, 1500u);
}

TEST(SerialPortTest, MissingPortDoesNotOpen) {
  SystemPlatform platform;
  const SerialOpenResult opened = platform.OpenPath("\\\\.\\QuillonNoSuchPort");
  EXPECT_EQ(opened.handle, kInvalidSerialHandle);
  EXPECT_EQ(opened.status, SerialOpenStatus::kMissing);
  EXPECT_FALSE(opened.detail.empty());
  EXPECT_EQ(platform.ProbePath("\\\\.\\QuillonNoSuchPort").status, SerialOpenStatus::kMissing);
}

// A file opens like a port but refuses the line settings: the handle must be closed again (the
// file can then be deleted) and the invalid handle returned. The listing, which applies no
// settings, tells it is no serial port.
TEST(SerialPortTest, SettingsRefusedClosesTheHandle) {
  char dir[MAX_PATH] = {};
  char path[MAX_PATH] = {};
  ASSERT_NE(::GetTempPathA(MAX_PATH, dir), 0u);
  ASSERT_NE(::GetTempFileNameA(dir, "qsp", 0, path), 0u);

  SystemPlatform platform;
  const SerialOpenResult opened = platform.OpenPath(path);
  if (opened.handle != kInvalidSerialHandle) {
    platform.SerialClose(opened.handle);
    ::DeleteFileA(path);
    GTEST_SKIP() << "this system accepts serial settings on a file";
  }
  EXPECT_EQ(opened.status, SerialOpenStatus::kSettingsRefused) << opened.detail;
  EXPECT_EQ(opened.detail.rfind("settings refused", 0), 0u) << opened.detail;
  EXPECT_EQ(platform.ProbePath(path).status, SerialOpenStatus::kNotASerialPort);
  EXPECT_NE(::DeleteFileA(path), 0) << "the handle was left open";
}

// The simulated device's port, or skip.
#define QUILLON_REQUIRE_TEST_COM(port)                          \
  const char* port = std::getenv("QUILLON_TEST_COM");           \
  if (port == nullptr)                                          \
  GTEST_SKIP() << "QUILLON_TEST_COM is not set: tests/windows/" \
                  "wine.sh --devices maps a simulator's port"

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// What the port reports back after the search's open.
DCB LineSettings(const char* port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  SystemPlatform platform;
  const SerialOpenResult opened = platform.OpenPath(port);
  EXPECT_NE(opened.handle, kInvalidSerialHandle) << opened.detail;
  if (opened.handle == kInvalidSerialHandle) return dcb;
  EXPECT_NE(::GetCommState(reinterpret_cast<HANDLE>(opened.handle), &dcb), 0);
  platform.SerialClose(opened.handle);
  return dcb;
}

TEST(SerialPortTest, TheSearchOpensAPortAt38400With8N1AndNoFlowControl) {
  QUILLON_REQUIRE_TEST_COM(port);
  const DCB dcb = LineSettings(port);
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
}

TEST(SerialPortTest, TheSearchSetsDtrOnAndRtsOff) {
  QUILLON_REQUIRE_TEST_COM(port);
  // Wine asks the port for its modem lines; a pseudo-terminal has none, and then Wine reports
  // both as enabled whatever was set.
  if (UnderWine()) GTEST_SKIP() << "a pseudo-terminal has no modem lines to read DTR and RTS back";
  const DCB dcb = LineSettings(port);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
}

// The port's own settings go back when the tool closes it, and when the process is made to end
// at once (ReleaseSerialPortsForExit, from the console control handler).
TEST(SerialPortTest, ThePortsOwnSettingsGoBackOnEveryClose) {
  QUILLON_REQUIRE_TEST_COM(port);
  const std::string name = std::string("\\\\.\\") + port;
  auto baud = [&name](DWORD set) {
    const HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (h == INVALID_HANDLE_VALUE) return DWORD{0};
    ::GetCommState(h, &dcb);
    if (set != 0) {
      dcb.BaudRate = set;
      ::SetCommState(h, &dcb);
    }
    ::CloseHandle(h);
    return dcb.BaudRate;
  };
  for (const bool forced : {false, true}) {
    SCOPED_TRACE(forced ? "forced exit" : "close");
    ASSERT_EQ(baud(9600), 9600u);
    SystemPlatform platform;
    const SerialOpenResult opened = platform.OpenPath(name);
    ASSERT_NE(opened.handle, kInvalidSerialHandle) << opened.detail;
    if (forced) {
      ReleaseSerialPortsForExit();
      EXPECT_EQ(baud(0), 9600u) << "the port was not released";
      platform.SerialClose(opened.handle);  // the handle is gone already: nothing twice
    } else {
      platform.SerialClose(opened.handle);
    }
    EXPECT_EQ(baud(0), 9600u);
  }
  baud(38400);
}

// The listing names a port as Device Manager does, from the device installation's Ports class.
TEST(SerialPortIdentityTest, TheDeviceInstallationNamesTheComPort) {
  QUILLON_REQUIRE_TEST_COM(port);
  const HDEVINFO devices =
      ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  const bool any = devices != INVALID_HANDLE_VALUE && ::SetupDiEnumDeviceInfo(devices, 0, &device);
  if (devices != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(devices);
  if (!any) {
    GTEST_SKIP() << "the device installation has no device of the Ports class (Wine's COM ports "
                    "are DOS device links only)";
  }
  EXPECT_FALSE(IdentifySerialPort(port).friendlyName.empty()) << port;
}

}  // namespace
}  // namespace quillon
