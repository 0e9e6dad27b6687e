// Reads, writes, sends and receives of the link layer, with the wire trace. Internal to the
// link and search code.
#pragma once

#include <cstdint>

#include "link/datagram_socket.h"
#include "link/platform.h"

namespace quillon {

inline constexpr std::size_t kMaxDrainChunk = 1536;
inline constexpr int kMaxDrainedDatagrams = 4096;

long LinkSerialWrite(SerialHandle port, const std::uint8_t* data, long size);
long LinkSerialRead(SerialHandle port, std::uint8_t* buf, long max);
long LinkSendTo(DatagramSocket* socket, const std::uint8_t* data, long size, const char* address,
                std::uint16_t port);
// Receive (or peek) with the trace of what was really taken from the socket.
long LinkReceive(DatagramSocket* socket, std::uint8_t* buf, long cap, bool peek,
                 DatagramSender* from);

}  // namespace quillon
