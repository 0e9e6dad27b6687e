// Where the found device is reached, and the small input/output primitives that both wire
// protocols share: discarding pending input, waiting for a reply of an exact size until a
// deadline, and taking a datagram only from the device's address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "link/datagram_socket.h"
#include "link/deadline.h"
#include "link/link.h"
#include "link/platform.h"
#include "link/serial_port.h"

namespace quillon {

// The largest scratch buffer of the link: the service send drains through it and the mode
// switch reads the device's answers into it.
inline constexpr std::size_t kLinkScratchSize = 1536;

// A plain record that names where the device is, passed by value to every link operation. It never
// owns the port: it names the port's owner (in a Start the found device, search/device_search.h),
// which must outlive every copy of the endpoint.
struct LinkEndpoint {
  char peerAddress[20] = {};  // dotted IPv4 text, empty when none
  const SerialPort* serialPort = nullptr;
};

void ResetEndpoint(LinkEndpoint& endpoint);

bool HasSerialPort(const LinkEndpoint& endpoint);
// The handle of the endpoint's port, for one call; invalid when it has none or it has closed.
SerialHandle PortHandle(const LinkEndpoint& endpoint);
bool HasPeerAddress(const LinkEndpoint& endpoint);
// Present when either the port or the address is set.
bool IsEndpointPresent(const LinkEndpoint& endpoint);
// Stores a dotted address; texts longer than 19 characters are refused (the endpoint keeps an
// empty address), since a truncated address would name another host.
bool SetPeerAddress(LinkEndpoint& endpoint, const char* address);

// Opens COMn (1..256) of the link's port table with 38400 8N1, no flow control, DTR on, RTS off;
// closed when the result goes.
SerialPort OpenSerialPort(const Link& link, int n);
void EnsureBaudRate(const Link& link, SerialHandle port);

// The link socket with its options; null when none can be made.
std::unique_ptr<DatagramSocket> CreateLinkSocket();

// Reads and discards what is queued, at most chunk bytes per read (chunk at most 1536).
void DrainSerialInput(const Link& link, SerialHandle port, std::size_t chunk);
// Receives and discards every pending datagram through a buffer of buffer_size bytes.
void DrainDatagrams(const Link& link, std::size_t buffer_size);
// Waits until exactly `expected` bytes are queued or the deadline has passed (the count is
// tested before the clock). Returns the count seen last.
std::size_t WaitForSerialBytes(const Link& link, SerialHandle port, std::size_t expected,
                               const Deadline& deadline);
// Reads at most buf.size() of the queued bytes (callers size buf by the count they saw), then
// asks for the queued count once more: on Windows that clears the port's error state after a
// reply. Returns the count read.
std::size_t ReadSerialReply(const Link& link, SerialHandle port, std::span<std::uint8_t> buf);

// A datagram that waits in the socket's queue: its real length and its sender.
struct PendingDatagram {
  std::size_t length = 0;
  DatagramSender from;
};
// Peeks at the socket until a datagram is pending or the deadline has passed; the datagram
// stays queued (its first bytes are in buf).
std::optional<PendingDatagram> WaitForDatagram(const Link& link, std::span<std::uint8_t> buf,
                                               const Deadline& deadline);

// Waits for a datagram of exactly `expected` bytes from peer_address (and, when asked, from
// the device's port). Datagrams from anyone else, or of another size, are consumed and ignored.
// Returns true with the datagram in buf when one was accepted before the deadline.
bool PollPeerDatagram(const Link& link, const char* peer_address, std::span<std::uint8_t> buf,
                      std::size_t expected, bool require_device_port, const Deadline& deadline);

}  // namespace quillon
