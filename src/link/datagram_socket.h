// The link socket: one non-blocking IPv4 datagram socket. The system's implementation is one
// file per platform (datagram_socket_posix.cpp, datagram_socket_win32.cpp); tests may supply
// their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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

  // Receives (or, with peek, looks at) the next pending datagram into buf. Gives the datagram's
  // real length, which may exceed buf.size() (then only buf.size() bytes are stored), or nothing
  // when no datagram is pending. With peek the datagram stays queued.
  virtual std::optional<std::size_t> ReceiveFrom(std::span<std::uint8_t> buf, bool peek,
                                                 DatagramSender* from) = 0;
  // Sends one datagram to a dotted IPv4 address; false when it could not be sent.
  virtual bool SendTo(std::span<const std::uint8_t> data, const std::string& address,
                      std::uint16_t port) = 0;
  // Blocks until a datagram is pending or timeout_ms has passed. Returns whether one is
  // pending. Used only to avoid spinning; callers still test their own deadline.
  virtual bool WaitReadable(int timeout_ms) = 0;
  // The system's handle of the socket, for a path that ends the process; -1 when there is none.
  virtual std::intptr_t NativeHandle() const { return -1; }
};

// Sends one datagram through a socket's system handle from a path that ends the process: only
// async-signal-safe calls, nothing waits.
void SendDatagramForExit(std::intptr_t socket, const std::uint8_t (&address)[4], std::uint16_t port,
                         std::span<const std::uint8_t> data);

// The system's socket interface (WSAStartup on Windows; nothing to start elsewhere), started for
// the lifetime of the guard and stopped with it when it started. Guards nest: the system counts
// them.
class SocketInterface {
 public:
  // How the interface is started and stopped: the system's calls, or a test's.
  struct Calls {
    bool (*start)();
    void (*stop)();
  };
  static Calls System();

  explicit SocketInterface(Calls calls = System()) : m_calls(calls), m_started(calls.start()) {}
  ~SocketInterface() {
    if (m_started) m_calls.stop();
  }
  SocketInterface(const SocketInterface&) = delete;
  SocketInterface& operator=(const SocketInterface&) = delete;

  bool started() const { return m_started; }

 private:
  Calls m_calls;
  bool m_started;
};

// Creates a socket bound to any local address and an ephemeral port, non-blocking, with
// SO_BROADCAST = 1, SO_RCVBUF = 262144 and SO_LINGER on for 5 s (failures of the options are
// ignored). Null when the socket cannot be made.
std::unique_ptr<DatagramSocket> CreateSystemDatagramSocket();

// The protocols' sends and receives, with the wire trace of what really crossed the socket.
class Link;

// One datagram through the link's socket, with the wire trace; false or nothing without a socket.
bool SendDatagram(const Link& link, std::span<const std::uint8_t> data, const std::string& address,
                  std::uint16_t port);
std::optional<std::size_t> ReceiveDatagram(const Link& link, std::span<std::uint8_t> buf,
                                           DatagramSender* from);

}  // namespace quillon
