// The device's service protocol: one 136-byte frame each way per exchange. Over UDP a reply
// datagram is 138 bytes, the frame after 2 bytes that are not examined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "link/link.h"

namespace quillon {

namespace svc {
inline constexpr std::size_t kFrameSize = 136;
inline constexpr std::size_t kDatagramSize = 138;
inline constexpr std::size_t kReplyBufferSize = 272;
inline constexpr std::uint8_t kChecksumSeed = 42;  // '*'
inline constexpr std::size_t kChecksumOffset = 0;
inline constexpr std::size_t kCommandOffset = 1;
inline constexpr std::size_t kPayloadOffset = 2;
inline constexpr std::size_t kPayloadSize = 134;
inline constexpr std::size_t kErrorCodeOffset = 2;
inline constexpr std::uint8_t kErrorReply = 0xFF;
inline constexpr std::size_t kAddressOffset = 2;  // commands 2, 3
inline constexpr std::size_t kLengthOffset = 6;   // commands 2, 3
inline constexpr std::size_t kDataOffset = 8;     // commands 2, 3
inline constexpr std::size_t kMaxBlockData = 128;
inline constexpr std::size_t kRecordLengthOffset = 2;  // command 5
inline constexpr std::size_t kRecordDataOffset = 4;    // command 5
inline constexpr std::size_t kMaxRecordData = 132;
inline constexpr int kRetryAttempts = 4;  // commands 1 to 3
inline constexpr int kReplyTimeoutMs = 1000;

inline constexpr std::uint8_t kReadInfo = 0;
inline constexpr std::uint8_t kSendValue = 1;
inline constexpr std::uint8_t kWriteBlock = 2;
inline constexpr std::uint8_t kReadBlock = 3;
inline constexpr std::uint8_t kFinish = 4;
inline constexpr std::uint8_t kWriteRecord = 5;
inline constexpr std::uint8_t kReadShort = 6;  // replies only; never requested here
}  // namespace svc

using ServiceFrame = std::array<std::uint8_t, svc::kFrameSize>;

// Result of every service exchange. The device's own error codes each have theirs; a block too
// long for the frame is refused before anything is sent, and says so.
enum class LinkResult : std::int16_t {
  kOk = 0,
  kNoEndpoint = 1,
  kNoReply = 2,
  kDeviceError0 = 3,
  kDeviceError1 = 4,
  kDeviceError2 = 5,
  kDeviceError4 = 6,
  kBadChecksum = 7,
  kNotAnAnswer = 8,
  kDeviceError3 = 9,
  kDeviceError5 = 11,
  kBlockTooLong = 12,
};

// (42 + bytes 1..135) mod 256.
std::uint8_t FrameChecksum(const std::uint8_t* frame);

void SendServiceFrame(const Link& link, LinkEndpoint endpoint, ServiceFrame& request);
LinkResult ReceiveServiceReply(const Link& link, LinkEndpoint endpoint, ServiceFrame& request);

LinkResult ServiceReadInfo(const Link& link, LinkEndpoint endpoint,
                           std::uint8_t (&info)[svc::kPayloadSize]);
LinkResult ServiceSendValue(const Link& link, LinkEndpoint endpoint, std::uint32_t value);
LinkResult ServiceWriteBlock(const Link& link, LinkEndpoint endpoint, std::uint32_t address,
                             std::uint16_t length, const std::uint8_t* data);
LinkResult ServiceReadBlock(const Link& link, LinkEndpoint endpoint, std::uint32_t address,
                            std::uint16_t length, std::uint8_t* out);
LinkResult ServiceFinish(const Link& link, LinkEndpoint endpoint);
// block: a 16-bit little-endian length n followed by n bytes.
LinkResult ServiceWriteRecord(const Link& link, LinkEndpoint endpoint, const std::uint8_t* block);

}  // namespace quillon
