// Bringing the found device from its command protocol into service mode.

#include <algorithm>
#include <array>
#include <vector>

#include "link/command_packet.h"
#include "link/interrupt.h"
#include "link/serial_port.h"
#include "link/service_frame.h"
#include "link/wire.h"
#include "search/device_search.h"

namespace quillon {
namespace {

constexpr int kModeSwitchWrites = 5;
constexpr std::uint16_t kMinServiceVersion = 5;

enum class Status { kValid, kInvalid, kSilent };

// The status request, over serial: one write, one wait for exactly one reply.
Status ReadStatusSerial(const Link& link, SerialHandle port, std::optional<CommandReply>& record,
                        const Deadline& deadline) {
  Status status = Status::kInvalid;
  SerialWrite(link, port, kStatusRequest);
  const std::size_t queued = WaitForSerialBytes(link, port, cmd::kReplySize, deadline);
  if (queued == cmd::kReplySize) {
    CommandReply reply;
    if (ReadSerialReply(link, port, reply) == reply.size() &&
        IsValidReply(reply.data(), kStatusRequest)) {
      record = reply;
      status = Status::kValid;
    }
  } else if (queued == 0) {
    status = Status::kSilent;
  }
  DrainSerialInput(link, port, kSearchBufferSize);
  return status;
}

// The status request, over UDP: the device's first 138-byte datagram from its port decides.
// Whatever else arrives meanwhile (another host's datagrams, a reply of another size) is read
// and discarded: it can neither fail the request nor put another host's values into the record.
Status ReadStatusUdp(const Link& link, const char* peer, std::optional<CommandReply>& record,
                     const Deadline& deadline) {
  if (!link.socket()) return Status::kSilent;
  SendDatagram(link, kStatusRequest, peer, kDevicePort);
  std::array<std::uint8_t, kSearchBufferSize> buf;
  Status status = Status::kSilent;
  while (const std::optional<PendingDatagram> pending = WaitForDatagram(link, buf, deadline)) {
    ReceiveDatagram(link, buf, nullptr);
    if (pending->from.address != peer) continue;
    status = Status::kInvalid;  // the device is there, at least
    if (pending->length != cmd::kDatagramSize || pending->from.port != kDevicePort) continue;
    const std::uint8_t* reply =
        UnwrapReplyDatagram(buf.data(), pending->length, pending->from.port);
    if (!reply || !IsValidReply(reply, kStatusRequest)) return Status::kInvalid;
    record.emplace();
    std::copy_n(reply, cmd::kReplySize, record->begin());
    return Status::kValid;
  }
  return status;
}

}  // namespace

bool DeviceSearch::PrepareFoundDevice(const Link& link, LinkEndpoint& working,
                                      ServiceModeRecord::Entry* entry) {
  Reached(SearchStage::kReadingSettings);
  const Deadline deadline = link.After(kAnswerWindowMs);
  const Status status = HasSerialPort(working)
                            ? ReadStatusSerial(link, PortHandle(working), m_statusReply, deadline)
                            : ReadStatusUdp(link, working.peerAddress, m_statusReply, deadline);
  if (InterruptRequested()) {
    Fail(Outcome::kInterrupted);
    return false;
  }
  if (status != Status::kValid) {
    Fail(Outcome::kIncomplete,
         status == Status::kSilent ? std::vector{StoppedAnswering()} : std::vector<Reason>{});
    return false;
  }

  Reached(SearchStage::kEnteringServiceMode);
  *entry = ServiceModeRecord::OfProcess().Enter(link, working);
  // From the mode-switch request on the device may be in service mode, even while the tool still
  // waits for its silence: an interruption from here on sends command 4 before anything closes.
  const ModeSwitch switched = SwitchToServiceMode(link, working);
  if (LeaveServiceModeIfInterrupted(working)) return false;
  if (switched != ModeSwitch::kInServiceMode) {
    Fail(Outcome::kIncomplete);
    return false;
  }

  std::uint8_t info[svc::kPayloadSize] = {};
  const LinkResult r = ServiceReadInfo(link, working, info);
  if (LeaveServiceModeIfInterrupted(working)) return false;
  if (r != LinkResult::kOk || GetU16(info, 0) < kMinServiceVersion) {
    ServiceModeRecord::OfProcess().LeaveNow(working);  // command 4; its result is moot
    // Interrupted while command 4 waited for its answer: the Start ends as interrupted.
    if (LeaveServiceModeIfInterrupted(working)) return false;
    Fail(Outcome::kNotApplicable,
         r == LinkResult::kNoReply ? std::vector{StoppedAnswering()} : std::vector<Reason>{});
    return false;
  }
  return true;
}

bool DeviceSearch::LeaveServiceModeIfInterrupted(const LinkEndpoint& endpoint) {
  if (!InterruptRequested()) return false;
  ServiceModeRecord::OfProcess().LeaveNow(endpoint);  // unless the session's end has sent it
  m_failure.leftServiceMode = true;
  Fail(Outcome::kInterrupted);
  return true;
}

ModeSwitch DeviceSearch::SwitchToServiceMode(const Link& link, LinkEndpoint endpoint) {
  const CommandPacket request = MakeModeSwitchRequest();
  Deadline deadline = link.After(kAnswerWindowMs);
  std::array<std::uint8_t, kLinkScratchSize> buf;
  if (HasSerialPort(endpoint)) {
    for (int write = 0; write < kModeSwitchWrites; ++write) {
      SerialWrite(link, PortHandle(endpoint), request);
      const std::size_t queued =
          WaitForSerialBytes(link, PortHandle(endpoint), cmd::kReplySize, deadline);
      // Silence (a single stray byte included) means the device has left the command protocol.
      if (queued <= 1) return ModeSwitch::kInServiceMode;
      SerialRead(link, PortHandle(endpoint), std::span(buf).first(std::min(queued, buf.size())));
      deadline = link.After(kAnswerWindowMs);
    }
    return ModeSwitch::kStillAnswers;
  }
  if (!link.socket() || !HasPeerAddress(endpoint)) return ModeSwitch::kStillAnswers;
  SendDatagram(link, request, endpoint.peerAddress, kDevicePort);
  return PollPeerDatagram(link, endpoint.peerAddress, buf, cmd::kDatagramSize, true, deadline)
             ? ModeSwitch::kStillAnswers
             : ModeSwitch::kInServiceMode;
}

}  // namespace quillon
