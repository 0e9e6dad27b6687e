#include "link/command_packet.h"

#include <algorithm>

#include "link/datagram_socket.h"
#include "link/wire.h"

namespace quillon {

CommandPacket MakeModeSwitchRequest() {
  CommandPacket p = kIdentifyRequest;
  std::fill(p.begin() + cmd::kBodyOffset, p.begin() + cmd::kRequestEndOffset, 0);
  p[cmd::kBodyOffset] = 0xFF;
  p[cmd::kBodyOffset + 1] = 0xFF;
  return p;
}

std::uint16_t ReplyChecksum(const std::uint8_t* reply) {
  std::uint16_t sum = 0;
  for (std::size_t word = 0; word < cmd::kReplyWords; ++word) {
    if (word == cmd::kChecksumWord) continue;
    sum = static_cast<std::uint16_t>(sum + GetU16(reply, 2 * word));
  }
  return sum;
}

void SealReply(std::uint8_t* reply) {
  PutU16(reply, cmd::kChecksumOffset, ReplyChecksum(reply));
}

bool IsValidReply(const std::uint8_t* reply, const CommandPacket& sent) {
  if (GetU16(reply, cmd::kStartOffset) != cmd::kStartMarker) return false;
  if (GetU16(reply, cmd::kEndOffset) != cmd::kEndMarker) return false;
  if (!std::equal(sent.begin() + cmd::kBodyOffset, sent.begin() + cmd::kRequestEndOffset,
                  reply + cmd::kEchoOffset)) {
    return false;
  }
  // The receiver's test: the stored sum minus every other word leaves 0.
  const std::uint16_t rest =
      static_cast<std::uint16_t>(GetU16(reply, cmd::kChecksumOffset) - ReplyChecksum(reply));
  return rest == 0;
}

const std::uint8_t* UnwrapReplyDatagram(const std::uint8_t* datagram, std::size_t length,
                                        std::uint16_t source_port) {
  if (length != cmd::kDatagramSize || source_port != kDevicePort) return nullptr;
  if (GetU16(datagram, 0) != cmd::kDatagramPrefix) return nullptr;
  return datagram + cmd::kPrefixSize;
}

std::uint16_t ReplyPresenceWord(const std::uint8_t* r) {
  return GetU16(r, cmd::kPresenceWordOffset);
}
std::uint16_t ReplySerialNumber(const std::uint8_t* r) {
  return GetU16(r, cmd::kSerialNumberOffset);
}
std::uint16_t ReplyUseOverride(const std::uint8_t* r) {
  return GetU16(r, cmd::kUseOverrideOffset);
}
std::int16_t ReplyUseCount(const std::uint8_t* r) {
  return GetS16(r, cmd::kUseCountOffset);
}
std::uint16_t ReplyApplicabilityA(const std::uint8_t* r) {
  return GetU16(r, cmd::kApplicabilityAOffset);
}
std::uint16_t ReplyApplicabilityB(const std::uint8_t* r) {
  return GetU16(r, cmd::kApplicabilityBOffset);
}

}  // namespace quillon
