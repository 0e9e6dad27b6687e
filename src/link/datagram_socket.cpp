#include "link/datagram_socket.h"

#include <algorithm>

#include "link/link.h"

namespace quillon {

bool SendDatagram(const Link& link, std::span<const std::uint8_t> data, const std::string& address,
                  std::uint16_t port) {
  DatagramSocket* socket = link.socket();
  if (!socket) return false;
  if (link.Tracing()) {
    link.TraceWire("udp " + address + ":" + std::to_string(port) + " >", data);
  }
  return socket->SendTo(data, address, port);
}

std::optional<std::size_t> ReceiveDatagram(const Link& link, std::span<std::uint8_t> buf,
                                           DatagramSender* from) {
  DatagramSocket* socket = link.socket();
  if (!socket) return std::nullopt;
  DatagramSender local;
  DatagramSender* sender = from ? from : &local;
  const std::optional<std::size_t> n = socket->ReceiveFrom(buf, false, sender);
  if (n && link.Tracing()) {
    link.TraceWire("udp " + sender->address + ":" + std::to_string(sender->port) + " <",
                   buf.first(std::min(*n, buf.size())));
  }
  return n;
}

}  // namespace quillon
