#include "link/endpoint.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "link/serial_port.h"
#include "link/wait.h"

namespace quillon {
namespace {

// A flood cannot hold a drain forever: more datagrams than the receive buffer can hold at once
// end it.
constexpr int kMaxDrainedDatagrams = 4096;

}  // namespace

void ResetEndpoint(LinkEndpoint& endpoint) {
  std::memset(endpoint.peerAddress, 0, sizeof endpoint.peerAddress);
  endpoint.serialPort = nullptr;
}

bool HasSerialPort(const LinkEndpoint& endpoint) {
  return endpoint.serialPort != nullptr;
}

SerialHandle PortHandle(const LinkEndpoint& endpoint) {
  return endpoint.serialPort ? endpoint.serialPort->handle() : kInvalidSerialHandle;
}

bool HasPeerAddress(const LinkEndpoint& endpoint) {
  return endpoint.peerAddress[0] != '\0';
}

bool IsEndpointPresent(const LinkEndpoint& endpoint) {
  return HasSerialPort(endpoint) || HasPeerAddress(endpoint);
}

bool SetPeerAddress(LinkEndpoint& endpoint, const char* address) {
  std::memset(endpoint.peerAddress, 0, sizeof endpoint.peerAddress);
  const std::size_t len = std::strlen(address);
  if (len >= sizeof endpoint.peerAddress) return false;
  std::memcpy(endpoint.peerAddress, address, len);
  return true;
}

SerialPort OpenSerialPort(const Link& link, int n) {
  return SerialPort::Open(link, n);
}

void EnsureBaudRate(const Link& link, SerialHandle port) {
  link.platform().SerialEnsureBaudRate(port);
}

std::unique_ptr<DatagramSocket> CreateLinkSocket() {
  return CreateSystemDatagramSocket();
}

void DrainSerialInput(const Link& link, SerialHandle port, std::size_t chunk) {
  std::array<std::uint8_t, kLinkScratchSize> scratch;
  chunk = std::clamp<std::size_t>(chunk, 1, scratch.size());
  // Bounded: a port that keeps reporting bytes but yields none (a vanished device) ends the drain.
  for (std::size_t queued = SerialQueued(link, port); queued > 0;
       queued = SerialQueued(link, port)) {
    if (SerialRead(link, port, std::span(scratch).first(std::min(queued, chunk))) == 0) break;
  }
}

void DrainDatagrams(const Link& link, std::size_t buffer_size) {
  if (!link.socket()) return;
  std::array<std::uint8_t, kLinkScratchSize> scratch;
  const std::span<std::uint8_t> buf =
      std::span(scratch).first(std::min(buffer_size, scratch.size()));
  for (int i = 0; i < kMaxDrainedDatagrams; ++i) {
    if (!ReceiveDatagram(link, buf, nullptr)) break;
  }
}

std::size_t WaitForSerialBytes(const Link& link, SerialHandle port, std::size_t expected,
                               const Deadline& deadline) {
  Platform& p = link.platform();
  for (;;) {
    const std::size_t queued = p.SerialQueued(port);
    if (queued == expected || WaitOver(link, deadline)) return queued;
    // An empty port sleeps until its first byte; a partial reply is polled every millisecond.
    if (queued == 0) {
      p.SerialWaitInput(port, NextWaitSliceMs(link, deadline));
    } else {
      p.SleepMs(1);
    }
  }
}

std::size_t ReadSerialReply(const Link& link, SerialHandle port, std::span<std::uint8_t> buf) {
  const std::size_t got = buf.empty() ? 0 : SerialRead(link, port, buf);
  SerialQueued(link, port);  // the port's error state is cleared
  return got;
}

std::optional<PendingDatagram> WaitForDatagram(const Link& link, std::span<std::uint8_t> buf,
                                               const Deadline& deadline) {
  DatagramSocket* socket = link.socket();
  if (!socket) return std::nullopt;
  for (;;) {
    PendingDatagram pending;
    if (const std::optional<std::size_t> n = socket->ReceiveFrom(buf, true, &pending.from)) {
      pending.length = *n;
      return pending;
    }
    if (WaitOver(link, deadline)) return std::nullopt;
    socket->WaitReadable(NextWaitSliceMs(link, deadline));
  }
}

bool PollPeerDatagram(const Link& link, const char* peer_address, std::span<std::uint8_t> buf,
                      std::size_t expected, bool require_device_port, const Deadline& deadline) {
  for (;;) {
    const std::optional<PendingDatagram> pending = WaitForDatagram(link, buf, deadline);
    if (!pending) return false;
    DatagramSender from;
    ReceiveDatagram(link, buf, &from);
    const bool from_peer =
        from.address == peer_address && (!require_device_port || from.port == kDevicePort);
    if (from_peer && pending->length == expected) return true;
    if (WaitOver(link, deadline)) return false;
  }
}

}  // namespace quillon
