// Bringing the found device from its command protocol into service mode.

#include <algorithm>
#include <array>

#include "link/command_packet.h"
#include "link/serial_port.h"
#include "link/service_frame.h"
#include "link/wire.h"
#include "search/device_search.h"

namespace quillon {
namespace {

constexpr int kModeSwitchWrites = 5;
constexpr std::uint16_t kMinServiceVersion = 5;
constexpr std::int16_t kModeSwitchStillAnswers = 10;

// The status request, over serial: one write, one wait for exactly one reply.
bool ReadStatusSerial(SerialHandle port, PowerModuleRecord& record, const Deadline& deadline) {
  bool valid = false;
  SerialWrite(port, kStatusRequest);
  if (WaitForSerialBytes(port, cmd::kReplySize, deadline) == cmd::kReplySize) {
    std::array<std::uint8_t, cmd::kReplySize> reply;
    if (ReadSerialReply(port, reply) == reply.size() &&
        IsValidReply(reply.data(), kStatusRequest)) {
      record.FillFromStatusReply(reply.data());
      valid = true;
    }
  }
  DrainSerialInput(port, kSearchBufferSize);
  return valid;
}

// The status request, over UDP: the first datagram that arrives decides. One of another length or
// from another port is left in the socket's queue.
bool ReadStatusUdp(DatagramSocket* socket, const char* peer, PowerModuleRecord& record,
                   const Deadline& deadline) {
  if (!socket) return false;
  SendDatagram(socket, kStatusRequest, peer, kDevicePort);
  std::array<std::uint8_t, kSearchBufferSize> buf;
  const std::optional<PendingDatagram> pending = WaitForDatagram(socket, buf, deadline);
  if (!pending || pending->length != cmd::kDatagramSize || pending->from.port != kDevicePort) {
    return false;
  }
  ReceiveDatagram(socket, buf, nullptr);
  const std::uint8_t* reply = UnwrapReplyDatagram(buf.data(), pending->length, pending->from.port);
  if (!reply || !IsValidReply(reply, kStatusRequest)) return false;
  record.FillFromStatusReply(reply);
  return true;
}

}  // namespace

bool DeviceSearch::PrepareFoundDevice(LinkEndpoint& working) {
  m_sink.Stage("reading the device's settings");
  const Deadline deadline = Deadline::After(kAnswerWindowMs);
  const bool status = HasSerialPort(working)
                          ? ReadStatusSerial(working.serialPort, m_record, deadline)
                          : ReadStatusUdp(m_socket.get(), working.peerAddress, m_record, deadline);
  if (!status) {
    m_sink.ShowMessage(kTextUnknownError, kStyleError);
    return false;
  }

  m_sink.Stage("entering service mode");
  if (SwitchToServiceMode(m_socket.get(), working) != 0) {
    m_sink.ShowMessage(kTextUnknownError, kStyleError);
    return false;
  }

  std::uint8_t info[svc::kPayloadSize] = {};
  const LinkResult r = ServiceReadInfo(m_socket.get(), working, info);
  if (r != kLinkOk || GetU16(info, 0) < kMinServiceVersion) {
    ServiceFinish(m_socket.get(), working);  // leave service mode again; the result is moot
    m_sink.ShowMessage(kTextNotApplicable, kStyleError);
    return false;
  }
  return true;
}

std::int16_t DeviceSearch::SwitchToServiceMode(DatagramSocket* socket, LinkEndpoint endpoint) {
  const CommandPacket request = MakeModeSwitchRequest();
  Deadline deadline = Deadline::After(kAnswerWindowMs);
  std::array<std::uint8_t, kLinkScratchSize> buf;
  if (HasSerialPort(endpoint)) {
    for (int write = 0; write < kModeSwitchWrites; ++write) {
      SerialWrite(endpoint.serialPort, request);
      const std::size_t queued = WaitForSerialBytes(endpoint.serialPort, cmd::kReplySize, deadline);
      // Silence (a single stray byte included) means the device has left the command protocol.
      if (queued <= 1) return 0;
      SerialRead(endpoint.serialPort, std::span(buf).first(std::min(queued, buf.size())));
      deadline = Deadline::After(kAnswerWindowMs);
    }
    return kModeSwitchStillAnswers;
  }
  if (!socket || !HasPeerAddress(endpoint)) return kModeSwitchStillAnswers;
  SendDatagram(socket, request, endpoint.peerAddress, kDevicePort);
  return PollPeerDatagram(socket, endpoint.peerAddress, buf, cmd::kDatagramSize, true, deadline)
             ? kModeSwitchStillAnswers
             : 0;
}

}  // namespace quillon
