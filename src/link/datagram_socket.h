// The link socket: one non-blocking IPv4 datagram socket. The system's implementation is one
// file per platform (datagram_socket_posix.cpp, datagram_socket_win32.cpp); tests may supply
// their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillon {

// UDP port on which the device listens and from which it answers command packets.
inline constexpr std::uint16_t kDevicePort = 50000;

struct DatagramSender {
  std::string address;  // dotted IPv4 text
  std::uint16_t port = 0;
};

class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  DatagramSocket() = default;
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  // Receives (or, with peek, looks at) the next pending datagram into buf. Returns the
  // datagram's real length, which may exceed cap (then only cap bytes are stored), or -1 when
  // nothing is pending. With peek the datagram stays queued.
  virtual long ReceiveFrom(std::uint8_t* buf, long cap, bool peek, DatagramSender* from) = 0;
  // Sends one datagram to a dotted IPv4 address; returns the count sent or -1.
  virtual long SendTo(const std::uint8_t* buf, long n, const std::string& address,
                      std::uint16_t port) = 0;
  // Blocks until a datagram is pending or timeout_ms has passed. Returns whether one is
  // pending. Used only to avoid spinning; callers still test their own deadline.
  virtual bool WaitReadable(int timeout_ms) = 0;
};

// Starts the socket interface of the system (WSAStartup on Windows). False when it cannot.
bool StartSocketInterface();
void StopSocketInterface();

// Creates a socket bound to any local address and an ephemeral port, non-blocking, with
// SO_BROADCAST = 1, SO_RCVBUF = 262144 and SO_LINGER on for 5 s (failures of the options are
// ignored). Null when the socket cannot be made.
std::unique_ptr<DatagramSocket> CreateSystemDatagramSocket();

}  // namespace quillon
