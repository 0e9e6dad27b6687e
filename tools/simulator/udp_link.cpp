#include "tools/simulator/udp_link.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quillon::sim {

std::string AddressText(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool UdpLink::Open(const std::string& address, std::uint16_t port, std::string* error) {
  m_socket.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!m_socket.Valid()) {
    *error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(m_socket.Get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  setsockopt(m_socket.Get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  // Up to 250 devices share this socket: their requests may all come at once.
  const int receive_buffer = 4 << 20;
  setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  if (bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  return true;
}

std::optional<ReceivedDatagram> UdpLink::Receive() {
  ReceivedDatagram d;
  alignas(cmsghdr) char control[256];
  iovec iov{m_buffer.data(), m_buffer.size()};
  msghdr msg{};
  msg.msg_name = &d.from;
  msg.msg_namelen = sizeof d.from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(m_socket.Get(), &msg, MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      d.destination = info.ipi_addr;
      d.local = info.ipi_spec_dst;
    }
  }
  d.data = m_buffer.data();
  d.size = static_cast<std::size_t>(n);
  return d;
}

void UdpLink::Send(const std::vector<std::uint8_t>& bytes, const sockaddr_in& to,
                   std::optional<in_addr> from) {
  iovec iov{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr msg{};
  sockaddr_in peer = to;
  msg.msg_name = &peer;
  msg.msg_namelen = sizeof peer;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (from && from->s_addr != htonl(INADDR_ANY)) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = *from;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  if (sendmsg(m_socket.Get(), &msg, 0) < 0) {
    std::fprintf(stderr, "quillon-simulator: send to %s failed: %s\n",
                 AddressText(peer.sin_addr).c_str(), std::strerror(errno));
  }
}

}  // namespace quillon::sim
