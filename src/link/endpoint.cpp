#include "link/endpoint.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "link/io.h"
#include "link/trace.h"

namespace quillon {

void ResetEndpoint(LinkEndpoint& endpoint) {
  std::memset(endpoint.peerAddress, 0, sizeof endpoint.peerAddress);
  endpoint.serialPort = kInvalidSerialHandle;
  endpoint.searchVerdict = kVerdictUsable;
}

void CloseEndpoint(LinkEndpoint& endpoint) {
  if (endpoint.serialPort != kInvalidSerialHandle) {
    CurrentPlatform().SerialClose(endpoint.serialPort);
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
  std::string why;
  const SerialHandle h = CurrentPlatform().OpenSerial(n, &why);
  if (h == kInvalidSerialHandle && !why.empty() && why != "no such port") {
    TraceNote("COM" + std::to_string(n) + " skipped: " + why);
  }
  return h;
}

void EnsureBaudRate(SerialHandle port) {
  CurrentPlatform().SerialEnsureBaudRate(port);
}

std::unique_ptr<DatagramSocket> CreateLinkSocket() {
  return CreateSystemDatagramSocket();
}

void DrainSerialInput(SerialHandle port, std::size_t chunk) {
  std::array<std::uint8_t, kMaxDrainChunk> scratch;
  chunk = std::clamp<std::size_t>(chunk, 1, scratch.size());
  Platform& p = CurrentPlatform();
  // Bounded: a port that keeps reporting bytes but yields none (a vanished device) ends the drain.
  for (long queued = p.SerialQueued(port); queued > 0; queued = p.SerialQueued(port)) {
    const long want = std::min<long>(queued, static_cast<long>(chunk));
    if (LinkSerialRead(port, scratch.data(), want) <= 0) break;
  }
}

void DrainDatagrams(DatagramSocket* socket, std::size_t buffer_size) {
  if (!socket) return;
  std::array<std::uint8_t, kMaxDrainChunk> scratch;
  const long cap = static_cast<long>(std::min(buffer_size, scratch.size()));
  // A flood cannot hold the drain forever: more datagrams than the receive buffer can hold at
  // once end it.
  for (int i = 0; i < kMaxDrainedDatagrams; ++i) {
    if (LinkReceive(socket, scratch.data(), cap, false, nullptr) < 0) break;
  }
}

long WaitForSerialBytes(SerialHandle port, long expected, std::int64_t deadline) {
  Platform& p = CurrentPlatform();
  for (;;) {
    const long queued = p.SerialQueued(port);
    if (queued == expected) return queued;
    const std::int64_t left = deadline - p.NowMs();
    if (left <= 0) return queued;
    // An empty port sleeps until its first byte; a partial reply is polled every millisecond.
    if (queued == 0) {
      p.SerialWaitInput(port, static_cast<int>(std::min<std::int64_t>(left, 1000)));
    } else {
      p.SleepMs(1);
    }
  }
}

bool PollPeerDatagram(DatagramSocket* socket, const char* peer_address, std::uint8_t* buf,
                      std::size_t buffer_size, long expected, bool require_device_port,
                      std::int64_t deadline) {
  if (!socket) return false;
  Platform& p = CurrentPlatform();
  const long cap = static_cast<long>(buffer_size);
  for (;;) {
    const long peeked = socket->ReceiveFrom(buf, cap, true, nullptr);
    if (peeked < 0) {
      const std::int64_t left = deadline - p.NowMs();
      if (left <= 0) return false;
      socket->WaitReadable(static_cast<int>(std::min<std::int64_t>(left, 1000)));
      continue;
    }
    DatagramSender from;
    LinkReceive(socket, buf, cap, false, &from);
    const bool from_peer =
        from.address == peer_address && (!require_device_port || from.port == kDevicePort);
    if (from_peer && peeked == expected) return true;
    if (p.NowMs() >= deadline) return false;
  }
}

}  // namespace quillon
