// The UDP side of the simulated devices: one socket on the configured address and port, with
// broadcasts allowed. IP_PKTINFO reports, for each datagram, the address it was sent to (which
// of several devices it is for) and the local address it arrived on (where the reply leaves
// from, as a real device's would, even when the socket listens on 0.0.0.0).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/simulator/owned_fd.h"

namespace quillon::sim {

struct ReceivedDatagram {
  const std::uint8_t* data = nullptr;  // valid until the next Receive
  std::size_t size = 0;
  sockaddr_in from{};
  std::optional<in_addr> destination;  // the address it was sent to
  std::optional<in_addr> local;        // the local address it arrived on
};

class UdpLink {
 public:
  UdpLink() = default;
  UdpLink(const UdpLink&) = delete;
  UdpLink& operator=(const UdpLink&) = delete;

  // Binds to the dotted IPv4 `address` and `port` (0: a free one); on false `error` says why.
  bool Open(const std::string& address, std::uint16_t port, std::string* error);
  bool IsOpen() const { return m_socket.Valid(); }
  int Fd() const { return m_socket.Get(); }
  // The port bound, also when the system picked it.
  std::uint16_t Port() const { return m_port; }

  // The next pending datagram, without waiting; nothing when none is pending.
  std::optional<ReceivedDatagram> Receive();
  // One datagram to `to`, from the local address `from` when given and not 0.0.0.0. A failure
  // is told on standard error; the device's protocol shows it as a missing reply.
  void Send(const std::vector<std::uint8_t>& bytes, const sockaddr_in& to,
            std::optional<in_addr> from);

 private:
  OwnedFd m_socket;
  std::uint16_t m_port = 0;
  std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(65536);
};

// Dotted text of an IPv4 address.
std::string AddressText(in_addr address);

}  // namespace quillon::sim
