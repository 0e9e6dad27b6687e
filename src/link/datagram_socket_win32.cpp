// The link socket on Windows: a non-blocking IPv4 UDP socket through Winsock 2.2.
//
// The callers need a datagram's real length even when it is longer than their buffer (a reply of
// the wrong size is told by its length). Winsock does not give it: recvfrom into a smaller
// buffer fails with WSAEMSGSIZE, fills the buffer with the first part and, without MSG_PEEK,
// drops the rest. ioctlsocket(FIONREAD) is no way out either: Winsock 1.1 defined it as the size
// of the first queued datagram (Wine still does so), while current Windows documents it as all
// the data pending in the network buffer. So every receive goes into a scratch buffer larger
// than any IPv4 datagram can be (65,507 bytes of payload), which always holds the whole
// datagram; the caller gets its first cap bytes and its real length.

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/datagram_socket.h"
#include "link/leave_at_exit.h"

namespace quillon {
namespace {

constexpr std::size_t kScratchBytes = 65536;
// Bounds the retries after errors that concern an earlier datagram rather than this receive.
constexpr int kReceiveAttempts = 8;

class Win32DatagramSocket final : public DatagramSocket {
 public:
  explicit Win32DatagramSocket(SOCKET s) : m_socket(s), m_scratch(kScratchBytes) {}
  ~Win32DatagramSocket() override {
    DisarmLeaveAtExitSocket(static_cast<std::intptr_t>(m_socket));
    ::closesocket(m_socket);
  }

  std::intptr_t NativeHandle() const override { return static_cast<std::intptr_t>(m_socket); }

  std::optional<std::size_t> ReceiveFrom(std::span<std::uint8_t> buf, bool peek,
                                         DatagramSender* from) override {
    for (int attempt = 0; attempt < kReceiveAttempts; ++attempt) {
      sockaddr_in addr{};
      int addr_len = sizeof addr;
      int n = ::recvfrom(m_socket, reinterpret_cast<char*>(m_scratch.data()),
                         static_cast<int>(m_scratch.size()), peek ? MSG_PEEK : 0,
                         reinterpret_cast<sockaddr*>(&addr), &addr_len);
      if (n == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        // An ICMP "port unreachable" for an earlier send is reported by the next receive; the
        // datagrams queued behind it are still there.
        if (error == WSAECONNRESET || error == WSAENETRESET) continue;
        // Cannot happen with IPv4 (the scratch buffer holds any datagram); the part received
        // is all there is.
        if (error != WSAEMSGSIZE) return std::nullopt;
        n = static_cast<int>(m_scratch.size());
      }
      const auto length = static_cast<std::size_t>(n);
      std::memcpy(buf.data(), m_scratch.data(), std::min(buf.size(), length));
      if (from) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        from->address = text;
        from->port = ntohs(addr.sin_port);
      }
      return length;
    }
    return std::nullopt;
  }

  bool SendTo(std::span<const std::uint8_t> data, const std::string& address,
              std::uint16_t port) override {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return false;
    const int sent = ::sendto(m_socket, reinterpret_cast<const char*>(data.data()),
                              static_cast<int>(data.size()), 0,
                              reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent == static_cast<int>(data.size());
  }

  bool WaitReadable(int timeout_ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_socket, &readable);
    const int ms = timeout_ms < 0 ? 0 : timeout_ms;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    // The first argument is ignored by Winsock.
    return ::select(0, &readable, nullptr, nullptr, &tv) > 0;
  }

 private:
  SOCKET m_socket;
  std::vector<std::uint8_t> m_scratch;
};

}  // namespace

// Winsock counts its start-ups: each guard starts it once and, when that worked, stops it once.
SocketInterface::Calls SocketInterface::System() {
  return {[] {
            WSADATA data{};
            if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
            if (LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 2) return true;
            ::WSACleanup();
            return false;
          },
          [] { ::WSACleanup(); }};
}

void SendDatagramForExit(std::intptr_t socket, const std::uint8_t (&address)[4], std::uint16_t port,
                         std::span<const std::uint8_t> data) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  std::memcpy(&addr.sin_addr, address, sizeof address);
  ::sendto(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(data.data()),
           static_cast<int>(data.size()), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

std::unique_ptr<DatagramSocket> CreateSystemDatagramSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return nullptr;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  // The drain and poll loops end on the error of an empty receive: a socket that stays blocking
  // would hang them, so it counts as a socket that could not be made.
  u_long non_blocking = 1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
      ::ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    ::closesocket(s);
    return nullptr;
  }
  // Option failures are ignored: the socket works with whatever took effect. Winsock refuses
  // SO_LINGER on a datagram socket; it is set all the same.
  const BOOL broadcast = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast),
               sizeof broadcast);
  const int rcvbuf = 0x40000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcvbuf), sizeof rcvbuf);
  const linger lin{1, 5};  // two 16-bit fields: on, seconds
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lin), sizeof lin);
  // Without this, an ICMP "port unreachable" answering an identify request sent to an address
  // without a device makes a later receive fail, which the drain loops take for "empty".
  BOOL report_reset = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report_reset, sizeof report_reset, nullptr, 0, &returned,
             nullptr, nullptr);
  return std::make_unique<Win32DatagramSocket>(s);
}

}  // namespace quillon
