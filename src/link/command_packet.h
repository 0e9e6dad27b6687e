// The device's command protocol: 12-byte requests, 136-byte replies; over UDP a reply datagram
// carries a 2-byte prefix A5 5A ahead of the reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

namespace cmd {
inline constexpr std::size_t kRequestSize = 12;
inline constexpr std::size_t kReplySize = 136;
inline constexpr std::size_t kDatagramSize = 138;  // prefix + reply
inline constexpr std::size_t kPrefixSize = 2;

inline constexpr std::uint16_t kStartMarker = 0x5AA5;  // A5 5A
inline constexpr std::uint16_t kEndMarker = 0x9BB9;    // B9 9B
inline constexpr std::uint16_t kDatagramPrefix = 0x5AA5;

// Request layout.
inline constexpr std::size_t kBodyOffset = 2;
inline constexpr std::size_t kBodySize = 8;
inline constexpr std::size_t kRequestEndOffset = 10;

// Reply layout (offsets into the 136-byte reply).
inline constexpr std::size_t kStartOffset = 0;
inline constexpr std::size_t kPresenceWordOffset = 2;
inline constexpr std::size_t kApplicabilityAOffset = 6;
inline constexpr std::size_t kSerialNumberOffset = 46;
inline constexpr std::size_t kUseOverrideOffset = 48;
inline constexpr std::size_t kUseCountOffset = 56;
inline constexpr std::size_t kModuleBlockOffset = 61;
inline constexpr std::size_t kModuleBlockSize = 5;
inline constexpr std::size_t kApplicabilityBOffset = 64;
inline constexpr std::size_t kEchoOffset = 108;
inline constexpr std::size_t kChecksumOffset = 128;
inline constexpr std::size_t kEndOffset = 134;
inline constexpr std::size_t kChecksumWord = 64;
inline constexpr std::size_t kReplyWords = 68;
// The status reply's fields that seed the power-module record (its bytes 10..17, in this order).
inline constexpr std::array<std::size_t, 8> kStatusFieldOffsets = {58, 59, 62, 63, 64, 65, 98, 99};
}  // namespace cmd

using CommandPacket = std::array<std::uint8_t, cmd::kRequestSize>;
using CommandReply = std::array<std::uint8_t, cmd::kReplySize>;

inline constexpr CommandPacket kIdentifyRequest = {0xA5, 0x5A, 0x01, 0x01, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x00, 0xB9, 0x9B};
inline constexpr CommandPacket kStatusRequest = {0xA5, 0x5A, 0x59, 0x00, 0x00, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0xB9, 0x9B};
CommandPacket MakeModeSwitchRequest();

// The sum that word 64 must hold: words 0..63 and 65..67, modulo 65536.
std::uint16_t ReplyChecksum(const std::uint8_t* reply);
// Fills word 64 so that the reply validates (the device's side; used by the simulator).
void SealReply(std::uint8_t* reply);
// Start marker, end marker, echo of the request body, checksum, in that order.
bool IsValidReply(const std::uint8_t* reply, const CommandPacket& sent);

// The reply inside a datagram: only a 138-byte datagram from the device's port with prefix
// A5 5A. Returns null for anything else.
const std::uint8_t* UnwrapReplyDatagram(const std::uint8_t* datagram, std::size_t length,
                                        std::uint16_t source_port);

// Fields of an identify reply.
std::uint16_t ReplyPresenceWord(const std::uint8_t* reply);
std::uint16_t ReplySerialNumber(const std::uint8_t* reply);
std::uint16_t ReplyUseOverride(const std::uint8_t* reply);
std::int16_t ReplyUseCount(const std::uint8_t* reply);
std::uint16_t ReplyApplicabilityA(const std::uint8_t* reply);
std::uint16_t ReplyApplicabilityB(const std::uint8_t* reply);

}  // namespace quillon
