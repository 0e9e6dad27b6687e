#include "link/io.h"

#include <algorithm>
#include <string>

#include "link/trace.h"

namespace quillon {

long LinkSerialWrite(SerialHandle port, const std::uint8_t* data, long size) {
  if (WireTraceEnabled()) {
    TraceWire("serial " + std::to_string(port) + " >", data, static_cast<std::size_t>(size));
  }
  return CurrentPlatform().SerialWrite(port, data, size);
}

long LinkSerialRead(SerialHandle port, std::uint8_t* buf, long max) {
  const long n = CurrentPlatform().SerialRead(port, buf, max);
  if (n > 0 && WireTraceEnabled()) {
    TraceWire("serial " + std::to_string(port) + " <", buf, static_cast<std::size_t>(n));
  }
  return n;
}

long LinkSendTo(DatagramSocket* socket, const std::uint8_t* data, long size, const char* address,
                std::uint16_t port) {
  if (!socket) return -1;
  if (WireTraceEnabled()) {
    TraceWire(std::string("udp ") + address + ":" + std::to_string(port) + " >", data,
              static_cast<std::size_t>(size));
  }
  return socket->SendTo(data, size, address, port);
}

long LinkReceive(DatagramSocket* socket, std::uint8_t* buf, long cap, bool peek,
                 DatagramSender* from) {
  if (!socket) return -1;
  DatagramSender local;
  DatagramSender* sender = from ? from : &local;
  const long n = socket->ReceiveFrom(buf, cap, peek, sender);
  if (n >= 0 && !peek && WireTraceEnabled()) {
    TraceWire("udp " + sender->address + ":" + std::to_string(sender->port) + " <", buf,
              static_cast<std::size_t>(std::min(n, cap)));
  }
  return n;
}

}  // namespace quillon
