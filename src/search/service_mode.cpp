// Bringing the found device from its command protocol into service mode.

#include <algorithm>

#include "link/io.h"
#include "link/service_frame.h"
#include "link/wire.h"
#include "reconfig/reconfig_session.h"

namespace quillon {
namespace {

constexpr std::size_t kSearchBuffer = 1476;
constexpr std::size_t kModeSwitchBuffer = 1536;
constexpr int kAnswerWindowMs = 1000;
constexpr int kModeSwitchWrites = 5;
constexpr std::uint16_t kMinServiceVersion = 5;
constexpr std::int16_t kModeSwitchStillAnswers = 10;

// The status request, over serial: one write, one wait for exactly one reply.
bool ReadStatusSerial(SerialHandle port, PowerModuleRecord& record, std::int64_t deadline) {
  bool valid = false;
  LinkSerialWrite(port, kStatusRequest.data(), static_cast<long>(kStatusRequest.size()));
  if (WaitForSerialBytes(port, cmd::kReplySize, deadline) == static_cast<long>(cmd::kReplySize)) {
    std::uint8_t reply[cmd::kReplySize];
    const long got = LinkSerialRead(port, reply, static_cast<long>(cmd::kReplySize));
    CurrentPlatform().SerialQueued(port);  // the port's error state is cleared
    if (got == static_cast<long>(cmd::kReplySize) && IsValidReply(reply, kStatusRequest)) {
      record.FillFromStatusReply(reply);
      valid = true;
    }
  }
  DrainSerialInput(port, kSearchBuffer);
  return valid;
}

// The status request, over UDP: the first datagram that arrives decides. One of another length or
// from another port is left in the socket's queue.
bool ReadStatusUdp(DatagramSocket* socket, const char* peer, PowerModuleRecord& record,
                   std::int64_t deadline) {
  if (!socket) return false;
  LinkSendTo(socket, kStatusRequest.data(), static_cast<long>(kStatusRequest.size()), peer,
             kDevicePort);
  std::uint8_t buf[kSearchBuffer];
  DatagramSender from;
  long length = socket->ReceiveFrom(buf, sizeof buf, true, &from);
  for (std::int64_t now = NowMs(); length < 0 && now < deadline; now = NowMs()) {
    socket->WaitReadable(static_cast<int>(std::min<std::int64_t>(deadline - now, 1000)));
    length = socket->ReceiveFrom(buf, sizeof buf, true, &from);
  }
  if (length != static_cast<long>(cmd::kDatagramSize) || from.port != kDevicePort) return false;
  LinkReceive(socket, buf, sizeof buf, false, &from);
  const std::uint8_t* reply = UnwrapReplyDatagram(buf, length, from.port);
  if (!reply || !IsValidReply(reply, kStatusRequest)) return false;
  record.FillFromStatusReply(reply);
  return true;
}

}  // namespace

bool ReconfigSession::PrepareFoundDevice(LinkEndpoint& working) {
  sink_.Stage("reading the device's settings");
  const std::int64_t deadline = NowMs() + kAnswerWindowMs;
  const bool status = HasSerialPort(working)
                          ? ReadStatusSerial(working.serialPort, m_record, deadline)
                          : ReadStatusUdp(m_socket.get(), working.peerAddress, m_record, deadline);
  if (!status) {
    sink_.ShowMessage(kTextUnknownError, kStyleError);
    return false;
  }

  sink_.Stage("entering service mode");
  if (SwitchToServiceMode(m_socket.get(), working) != 0) {
    sink_.ShowMessage(kTextUnknownError, kStyleError);
    return false;
  }

  std::uint8_t info[svc::kPayloadSize] = {};
  const LinkResult r = ServiceReadInfo(m_socket.get(), working, info);
  if (r != kLinkOk || GetU16(info, 0) < kMinServiceVersion) {
    ServiceFinish(m_socket.get(), working);  // leave service mode again; the result is moot
    sink_.ShowMessage(kTextNotApplicable, kStyleError);
    return false;
  }
  return true;
}

std::int16_t ReconfigSession::SwitchToServiceMode(DatagramSocket* socket, LinkEndpoint endpoint) {
  const CommandPacket request = MakeModeSwitchRequest();
  std::int64_t deadline = NowMs() + kAnswerWindowMs;
  if (HasSerialPort(endpoint)) {
    std::uint8_t scratch[kModeSwitchBuffer];
    for (int write = 0; write < kModeSwitchWrites; ++write) {
      LinkSerialWrite(endpoint.serialPort, request.data(), static_cast<long>(request.size()));
      const long queued = WaitForSerialBytes(endpoint.serialPort, cmd::kReplySize, deadline);
      // Silence (a single stray byte included) means the device has left the command protocol.
      if (queued <= 1) return 0;
      LinkSerialRead(endpoint.serialPort, scratch, std::min<long>(queued, sizeof scratch));
      deadline = NowMs() + kAnswerWindowMs;
    }
    return kModeSwitchStillAnswers;
  }
  if (!socket || !HasPeerAddress(endpoint)) return kModeSwitchStillAnswers;
  LinkSendTo(socket, request.data(), static_cast<long>(request.size()), endpoint.peerAddress,
             kDevicePort);
  std::uint8_t buf[kModeSwitchBuffer];
  return PollPeerDatagram(socket, endpoint.peerAddress, buf, sizeof buf,
                          static_cast<long>(cmd::kDatagramSize), true, deadline)
             ? kModeSwitchStillAnswers
             : 0;
}

}  // namespace quillon
