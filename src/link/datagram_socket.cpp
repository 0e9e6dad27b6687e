#include "link/datagram_socket.h"

#include <algorithm>

#include "link/trace.h"

namespace quillon {

bool SendDatagram(DatagramSocket* socket, std::span<const std::uint8_t> data,
                  const std::string& address, std::uint16_t port) {
  if (!socket) return false;
  if (WireTraceEnabled()) {
    TraceWire("udp " + address + ":" + std::to_string(port) + " >", data);
  }
  return socket->SendTo(data, address, port);
}

std::optional<std::size_t> ReceiveDatagram(DatagramSocket* socket, std::span<std::uint8_t> buf,
                                           DatagramSender* from) {
  if (!socket) return std::nullopt;
  DatagramSender local;
  DatagramSender* sender = from ? from : &local;
  const std::optional<std::size_t> n = socket->ReceiveFrom(buf, false, sender);
  if (n && WireTraceEnabled()) {
    TraceWire("udp " + sender->address + ":" + std::to_string(sender->port) + " <",
              buf.first(std::min(*n, buf.size())));
  }
  return n;
}

}  // namespace quillon
