#include "link/service_frame.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/leave_at_exit.h"
#include "link/serial_port.h"
#include "link/wire.h"

namespace quillon {
namespace {

LinkResult FromDeviceError(std::uint8_t code) {
  switch (code) {
    case 0:
      return LinkResult::kDeviceError0;
    case 1:
      return LinkResult::kDeviceError1;
    case 2:
      return LinkResult::kDeviceError2;
    case 3:
      return LinkResult::kDeviceError3;
    case 4:
      return LinkResult::kDeviceError4;
    case 5:
      return LinkResult::kDeviceError5;
    default:
      return LinkResult::kNotAnAnswer;
  }
}

// Reply bytes [first, last] that must equal the request's, and those copied back into it.
struct ReplyRule {
  std::size_t echo_first, echo_end;  // half-open; empty when equal
  std::size_t copy_first, copy_end;
};

ReplyRule RuleFor(std::uint8_t command) {
  switch (command) {
    case svc::kReadInfo:
      return {0, 0, 2, 136};
    case svc::kSendValue:
    case svc::kWriteBlock:
    case svc::kFinish:
    case svc::kWriteRecord:
      return {2, 136, 0, 0};
    case svc::kReadBlock:
      return {2, 8, 8, 136};
    case svc::kReadShort:
      return {0, 0, 2, 9};
    default:
      return {0, 0, 0, 0};
  }
}

// One exchange, repeated up to `attempts` times while it fails; the frame is rebuilt each time.
template <typename Build>
LinkResult Exchange(const Link& link, const LinkEndpoint& endpoint, int attempts,
                    ServiceFrame& frame, Build build) {
  LinkResult result = LinkResult::kNoReply;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    frame.fill(0);
    build(frame);
    SendServiceFrame(link, endpoint, frame);
    result = ReceiveServiceReply(link, endpoint, frame);
    if (result == LinkResult::kOk) break;
  }
  return result;
}

}  // namespace

std::uint8_t FrameChecksum(const std::uint8_t* frame) {
  std::uint8_t sum = svc::kChecksumSeed;
  for (std::size_t i = 1; i < svc::kFrameSize; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
  return sum;
}

void SendServiceFrame(const Link& link, LinkEndpoint endpoint, ServiceFrame& request) {
  request[svc::kChecksumOffset] = FrameChecksum(request.data());
  if (HasSerialPort(endpoint)) {
    DrainSerialInput(link, PortHandle(endpoint), kLinkScratchSize);
    SerialWrite(link, PortHandle(endpoint), request);
  } else if (link.socket() && HasPeerAddress(endpoint)) {
    DrainDatagrams(link, kLinkScratchSize);
    SendDatagram(link, request, endpoint.peerAddress, kDevicePort);
  }
}

LinkResult ReceiveServiceReply(const Link& link, LinkEndpoint endpoint, ServiceFrame& request) {
  const Deadline deadline = link.After(svc::kReplyTimeoutMs);
  std::array<std::uint8_t, svc::kReplyBufferSize> buf;
  const std::uint8_t* reply = buf.data();
  if (HasSerialPort(endpoint)) {
    const std::size_t queued =
        WaitForSerialBytes(link, PortHandle(endpoint), svc::kFrameSize, deadline);
    const std::size_t got = ReadSerialReply(link, PortHandle(endpoint),
                                            std::span(buf).first(std::min(queued, buf.size())));
    if (got != svc::kFrameSize) return LinkResult::kNoReply;
  } else {
    if (!link.socket() || !HasPeerAddress(endpoint)) return LinkResult::kNoReply;
    if (!PollPeerDatagram(link, endpoint.peerAddress, buf, svc::kDatagramSize, false, deadline)) {
      return LinkResult::kNoReply;
    }
    reply = buf.data() + (svc::kDatagramSize - svc::kFrameSize);
  }

  if (FrameChecksum(reply) != reply[svc::kChecksumOffset]) return LinkResult::kBadChecksum;
  if (reply[svc::kCommandOffset] == svc::kErrorReply) {
    return FromDeviceError(reply[svc::kErrorCodeOffset]);
  }
  if (reply[svc::kCommandOffset] != request[svc::kCommandOffset]) return LinkResult::kNotAnAnswer;
  const ReplyRule rule = RuleFor(request[svc::kCommandOffset]);
  if (!std::equal(reply + rule.echo_first, reply + rule.echo_end,
                  request.begin() + static_cast<std::ptrdiff_t>(rule.echo_first))) {
    return LinkResult::kNotAnAnswer;
  }
  std::copy(reply + rule.copy_first, reply + rule.copy_end,
            request.begin() + static_cast<std::ptrdiff_t>(rule.copy_first));
  return LinkResult::kOk;
}

LinkResult ServiceReadInfo(const Link& link, LinkEndpoint endpoint,
                           std::uint8_t (&info)[svc::kPayloadSize]) {
  if (!IsEndpointPresent(endpoint)) return LinkResult::kNoEndpoint;
  if (HasSerialPort(endpoint)) EnsureBaudRate(link, PortHandle(endpoint));
  ServiceFrame frame;
  const LinkResult r = Exchange(link, endpoint, 1, frame,
                                [](ServiceFrame& f) { f[svc::kCommandOffset] = svc::kReadInfo; });
  if (r == LinkResult::kOk)
    std::memcpy(info, frame.data() + svc::kPayloadOffset, svc::kPayloadSize);
  return r;
}

LinkResult ServiceSendValue(const Link& link, LinkEndpoint endpoint, std::uint32_t value) {
  if (!IsEndpointPresent(endpoint)) return LinkResult::kNoEndpoint;
  ServiceFrame frame;
  return Exchange(link, endpoint, svc::kRetryAttempts, frame, [value](ServiceFrame& f) {
    f[svc::kCommandOffset] = svc::kSendValue;
    PutU32(f.data(), svc::kPayloadOffset, value);
  });
}

LinkResult ServiceWriteBlock(const Link& link, LinkEndpoint endpoint, std::uint32_t address,
                             std::uint16_t length, const std::uint8_t* data) {
  if (length > svc::kMaxBlockData) return LinkResult::kBlockTooLong;
  if (!IsEndpointPresent(endpoint)) return LinkResult::kNoEndpoint;
  ServiceFrame frame;
  return Exchange(link, endpoint, svc::kRetryAttempts, frame, [&](ServiceFrame& f) {
    f[svc::kCommandOffset] = svc::kWriteBlock;
    PutU32(f.data(), svc::kAddressOffset, address);
    PutU16(f.data(), svc::kLengthOffset, length);
    if (length > 0) std::memcpy(f.data() + svc::kDataOffset, data, length);
  });
}

LinkResult ServiceReadBlock(const Link& link, LinkEndpoint endpoint, std::uint32_t address,
                            std::uint16_t length, std::uint8_t* out) {
  if (length > svc::kMaxBlockData) return LinkResult::kBlockTooLong;
  if (!IsEndpointPresent(endpoint)) return LinkResult::kNoEndpoint;
  ServiceFrame frame;
  const LinkResult r = Exchange(link, endpoint, svc::kRetryAttempts, frame, [&](ServiceFrame& f) {
    f[svc::kCommandOffset] = svc::kReadBlock;
    PutU32(f.data(), svc::kAddressOffset, address);
    PutU16(f.data(), svc::kLengthOffset, length);
  });
  if (r == LinkResult::kOk && length > 0) std::memcpy(out, frame.data() + svc::kDataOffset, length);
  return r;
}

LinkResult ServiceFinish(const Link& link, LinkEndpoint endpoint) {
  if (!IsEndpointPresent(endpoint)) return LinkResult::kNoEndpoint;
  ServiceFrame frame{};
  frame[svc::kCommandOffset] = svc::kFinish;
  SendServiceFrame(link, endpoint, frame);
  // It has gone out: a path that ends the process from here on must not send it again (the
  // device, back in its command protocol, would take a second one for garbage).
  DisarmLeaveAtExit(endpoint);
  return ReceiveServiceReply(link, endpoint, frame);
}

LinkResult ServiceWriteRecord(const Link& link, LinkEndpoint endpoint, const std::uint8_t* block) {
  const std::uint16_t length = GetU16(block, 0);
  if (length > svc::kMaxRecordData) return LinkResult::kBlockTooLong;
  if (!IsEndpointPresent(endpoint)) return LinkResult::kNoEndpoint;
  ServiceFrame frame;
  return Exchange(link, endpoint, 1, frame, [&](ServiceFrame& f) {
    f[svc::kCommandOffset] = svc::kWriteRecord;
    std::memcpy(f.data() + svc::kRecordLengthOffset, block, 2u + length);
  });
}

}  // namespace quillon
