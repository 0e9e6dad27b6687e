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

namespace quillon {
namespace {

constexpr std::size_t kScratchBytes = 65536;
// Bounds the retries after errors that concern an earlier datagram rather than this receive.
constexpr int kReceiveAttempts = 8;

class Win32DatagramSocket final : public DatagramSocket {
 public:
  explicit Win32DatagramSocket(SOCKET s) : socket_(s), scratch_(kScratchBytes) {}
  ~Win32DatagramSocket() override { ::closesocket(socket_); }

  long ReceiveFrom(std::uint8_t* buf, long cap, bool peek, DatagramSender* from) override {
    for (int attempt = 0; attempt < kReceiveAttempts; ++attempt) {
      sockaddr_in addr{};
      int addr_len = sizeof addr;
      int n = ::recvfrom(socket_, reinterpret_cast<char*>(scratch_.data()),
                         static_cast<int>(scratch_.size()), peek ? MSG_PEEK : 0,
                         reinterpret_cast<sockaddr*>(&addr), &addr_len);
      if (n == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        // An ICMP "port unreachable" for an earlier send is reported by the next receive; the
        // datagrams queued behind it are still there.
        if (error == WSAECONNRESET || error == WSAENETRESET) continue;
        // Cannot happen with IPv4 (the scratch buffer holds any datagram); the part received
        // is all there is.
        if (error != WSAEMSGSIZE) return -1;
        n = static_cast<int>(scratch_.size());
      }
      if (buf && cap > 0) {
        std::memcpy(buf, scratch_.data(), static_cast<std::size_t>(std::min<long>(cap, n)));
      }
      if (from) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        from->address = text;
        from->port = ntohs(addr.sin_port);
      }
      return n;
    }
    return -1;
  }

  long SendTo(const std::uint8_t* buf, long n, const std::string& address,
              std::uint16_t port) override {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return -1;
    const int sent = ::sendto(socket_, reinterpret_cast<const char*>(buf), static_cast<int>(n), 0,
                              reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent == SOCKET_ERROR ? -1 : static_cast<long>(sent);
  }

  bool WaitReadable(int timeout_ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    const int ms = timeout_ms < 0 ? 0 : timeout_ms;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    // The first argument is ignored by Winsock.
    return ::select(0, &readable, nullptr, nullptr, &tv) > 0;
  }

 private:
  SOCKET socket_;
  std::vector<std::uint8_t> scratch_;
};

// WSAStartup is counted by Winsock; this counts our own calls so that a stop without a
// successful start does nothing.
int& StartCount() {
  static int count = 0;
  return count;
}

}  // namespace

bool StartSocketInterface() {
  WSADATA data{};
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
    ::WSACleanup();
    return false;
  }
  ++StartCount();
  return true;
}

void StopSocketInterface() {
  if (StartCount() == 0) return;
  --StartCount();
  ::WSACleanup();
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
