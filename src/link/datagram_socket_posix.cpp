// The link socket on POSIX: a non-blocking IPv4 UDP socket.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/datagram_socket.h"
#include "link/leave_at_exit.h"

namespace quillon {
namespace {

class PosixDatagramSocket final : public DatagramSocket {
 public:
  explicit PosixDatagramSocket(int fd) : m_fd(fd) {}
  ~PosixDatagramSocket() override {
    DisarmLeaveAtExitSocket(m_fd);  // nothing is ever sent through a closed descriptor
    ::close(m_fd);
  }

  std::intptr_t NativeHandle() const override { return m_fd; }

  std::optional<std::size_t> ReceiveFrom(std::span<std::uint8_t> buf, bool peek,
                                         DatagramSender* from) override {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    // MSG_TRUNC makes Linux report the datagram's real length even when it is longer than the
    // buffer: the callers' length tests depend on it.
    const int flags = MSG_DONTWAIT | MSG_TRUNC | (peek ? MSG_PEEK : 0);
    const ssize_t n =
        ::recvfrom(m_fd, buf.data(), buf.size(), flags, reinterpret_cast<sockaddr*>(&addr), &len);
    if (n < 0) return std::nullopt;
    if (from) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
      from->address = text;
      from->port = ntohs(addr.sin_port);
    }
    return static_cast<std::size_t>(n);
  }

  bool SendTo(std::span<const std::uint8_t> data, const std::string& address,
              std::uint16_t port) override {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return false;
    const ssize_t sent = ::sendto(m_fd, data.data(), data.size(), MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent == static_cast<ssize_t>(data.size());
  }

  bool WaitReadable(int timeout_ms) override {
    pollfd p{m_fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    return r > 0 && (p.revents & POLLIN) != 0;
  }

 private:
  int m_fd;
};

}  // namespace

// POSIX sockets need no start-up.
SocketInterface::Calls SocketInterface::System() {
  return {[] { return true; }, [] {}};
}

void SendDatagramForExit(std::intptr_t socket, const std::uint8_t (&address)[4], std::uint16_t port,
                         std::span<const std::uint8_t> data) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  std::memcpy(&addr.sin_addr, address, sizeof address);
  ::sendto(static_cast<int>(socket), data.data(), data.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

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
