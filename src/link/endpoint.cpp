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
  endpoint.serialPort = kInvalidSerialHandle;
  endpoint.searchVerdict = Verdict::kUsable;
}

void CloseEndpoint(LinkEndpoint& endpoint) {
  if (endpoint.serialPort != kInvalidSerialHandle) {
    CloseSerialPort(endpoint.serialPort);
    endpoint.serialPort = kInvalidSerialHandle;
  }
  std::memset(endpoint.peerAddress, 0, sizeof endpoint.peerAddress);
}

bool HasSerialPort(const LinkEndpoint& endpoint) {
  return endpoint.serialPort != kInvalidSerialHandle;
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

SerialHandle OpenSerialPort(int n) {
  return SerialPort::Open(n).Release();
}

void EnsureBaudRate(SerialHandle port) {
  CurrentPlatform().SerialEnsureBaudRate(port);
}

std::unique_ptr<DatagramSocket> CreateLinkSocket() {
  return CreateSystemDatagramSocket();
}

void DrainSerialInput(SerialHandle port, std::size_t chunk) {
  std::array<std::uint8_t, kLinkScratchSize> scratch;
  chunk = std::clamp<std::size_t>(chunk, 1, scratch.size());
  // Bounded: a port that keeps reporting bytes but yields none (a vanished device) ends the drain.
  for (std::size_t queued = SerialQueued(port); queued > 0; queued = SerialQueued(port)) {
    if (SerialRead(port, std::span(scratch).first(std::min(queued, chunk))) == 0) break;
  }
}

void DrainDatagrams(DatagramSocket* socket, std::size_t buffer_size) {
  if (!socket) return;
  std::array<std::uint8_t, kLinkScratchSize> scratch;
  const std::span<std::uint8_t> buf =
      std::span(scratch).first(std::min(buffer_size, scratch.size()));
  for (int i = 0; i < kMaxDrainedDatagrams; ++i) {
    if (!ReceiveDatagram(socket, buf, nullptr)) break;
  }
}

std::size_t WaitForSerialBytes(SerialHandle port, std::size_t expected, const Deadline& deadline) {
  Platform& p = CurrentPlatform();
  for (;;) {
    const std::size_t queued = p.SerialQueued(port);
    if (queued == expected || WaitOver(deadline)) return queued;
    // An empty port sleeps until its first byte; a partial reply is polled every millisecond.
    if (queued == 0) {
      p.SerialWaitInput(port, NextWaitSliceMs(deadline));
    } else {
      p.SleepMs(1);
    }
  }
}

std::size_t ReadSerialReply(SerialHandle port, std::span<std::uint8_t> buf) {
  const std::size_t got = buf.empty() ? 0 : SerialRead(port, buf);
  SerialQueued(port);  // the port's error state is cleared
  return got;
}

std::optional<PendingDatagram> WaitForDatagram(DatagramSocket* socket, std::span<std::uint8_t> buf,
                                               const Deadline& deadline) {
  if (!socket) return std::nullopt;
  for (;;) {
    PendingDatagram pending;
    if (const std::optional<std::size_t> n = socket->ReceiveFrom(buf, true, &pending.from)) {
      pending.length = *n;
      return pending;
    }
    if (WaitOver(deadline)) return std::nullopt;
    socket->WaitReadable(NextWaitSliceMs(deadline));
  }
}

bool PollPeerDatagram(DatagramSocket* socket, const char* peer_address, std::span<std::uint8_t> buf,
                      std::size_t expected, bool require_device_port, const Deadline& deadline) {
  for (;;) {
    const std::optional<PendingDatagram> pending = WaitForDatagram(socket, buf, deadline);
    if (!pending) return false;
    DatagramSender from;
    ReceiveDatagram(socket, buf, &from);
    const bool from_peer =
        from.address == peer_address && (!require_device_port || from.port == kDevicePort);
    if (from_peer && pending->length == expected) return true;
    if (WaitOver(deadline)) return false;
  }
}

}  // namespace quillon
