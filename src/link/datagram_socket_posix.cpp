// The link socket on POSIX: a non-blocking IPv4 UDP socket.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/datagram_socket.h"

namespace quillon {
namespace {

class PosixDatagramSocket final : public DatagramSocket {
 public:
  explicit PosixDatagramSocket(int fd) : fd_(fd) {}
  ~PosixDatagramSocket() override { ::close(fd_); }

  long ReceiveFrom(std::uint8_t* buf, long cap, bool peek, DatagramSender* from) override {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    // MSG_TRUNC makes Linux report the datagram's real length even when it is longer than the
    // buffer: the callers' length tests depend on it.
    const int flags = MSG_DONTWAIT | MSG_TRUNC | (peek ? MSG_PEEK : 0);
    const ssize_t n = ::recvfrom(fd_, buf, cap > 0 ? static_cast<std::size_t>(cap) : 0, flags,
                                 reinterpret_cast<sockaddr*>(&addr), &len);
    if (n < 0) return -1;
    if (from) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
      from->address = text;
      from->port = ntohs(addr.sin_port);
    }
    return static_cast<long>(n);
  }

  long SendTo(const std::uint8_t* buf, long n, const std::string& address,
              std::uint16_t port) override {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return -1;
    const ssize_t sent = ::sendto(fd_, buf, static_cast<std::size_t>(n), MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent < 0 ? -1 : static_cast<long>(sent);
  }

  bool WaitReadable(int timeout_ms) override {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    return r > 0 && (p.revents & POLLIN) != 0;
  }

 private:
  int fd_;
};

}  // namespace

bool StartSocketInterface() {
  return true;
}
void StopSocketInterface() {}

std::unique_ptr<DatagramSocket> CreateSystemDatagramSocket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    ::close(fd);
    return nullptr;
  }
  // Option failures are ignored: the socket works with whatever took effect.
  const int broadcast = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast);
  const int rcvbuf = 0x40000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  const linger lin{1, 5};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
  return std::make_unique<PosixDatagramSocket>(fd);
}

}  // namespace quillon
