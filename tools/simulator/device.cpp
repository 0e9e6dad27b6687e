#include "tools/simulator/device.h"

#include <algorithm>
#include <cstring>

#include "link/wire.h"

namespace quillon::sim {
namespace {

constexpr const char* kKindNames[kKindCount] = {
    "identify", "status", "mode", "svc0", "svc1", "svc2", "svc3", "svc4", "svc5", "svc6", "unknown",
};

// What the device reports as its service information after the version word.
constexpr char kServiceName[] = "QUILLON SIM";
constexpr std::size_t kServiceNameOffset = 4;
constexpr std::size_t kServiceSerialOffset = 16;

// Device error code for a record block longer than the frame carries.
constexpr std::uint8_t kErrorBlockTooLong = 2;

bool HasMarkers(const std::uint8_t* p) {
  return GetU16(p, 0) == cmd::kStartMarker && GetU16(p, cmd::kRequestEndOffset) == cmd::kEndMarker;
}

bool BodyIs(const std::uint8_t* p, const CommandPacket& request) {
  return std::equal(request.begin() + cmd::kBodyOffset, request.begin() + cmd::kRequestEndOffset,
                    p + cmd::kBodyOffset);
}

}  // namespace

const char* KindName(Kind kind) {
  return kKindNames[static_cast<int>(kind)];
}

std::optional<Kind> KindFromName(const std::string& name) {
  for (int i = 0; i < kKindCount; ++i) {
    if (name == kKindNames[i]) return static_cast<Kind>(i);
  }
  return std::nullopt;
}

Kind ClassifyCommandPacket(const std::uint8_t* data, std::size_t size) {
  if (size != cmd::kRequestSize || !HasMarkers(data)) return Kind::kUnknown;
  if (BodyIs(data, kIdentifyRequest)) return Kind::kIdentify;
  if (BodyIs(data, kStatusRequest)) return Kind::kStatus;
  if (BodyIs(data, MakeModeSwitchRequest())) return Kind::kMode;
  return Kind::kUnknown;
}

Kind ClassifyServiceFrame(const std::uint8_t* data, std::size_t size) {
  if (size != svc::kFrameSize || data[svc::kCommandOffset] > svc::kReadShort) return Kind::kUnknown;
  return static_cast<Kind>(static_cast<int>(Kind::kSvc0) + data[svc::kCommandOffset]);
}

Kind ClassifyRequest(const std::uint8_t* data, std::size_t size) {
  if (size == cmd::kRequestSize) return ClassifyCommandPacket(data, size);
  return ClassifyServiceFrame(data, size);
}

Device::Device(const Profile& profile, const Faults& faults, std::uint16_t serial_number)
    : m_profile(profile), m_faults(faults), m_serialNumber(serial_number) {}

CommandReply Device::BuildReply(Kind kind, const CommandPacket& packet) const {
  CommandReply r{};
  PutU16(r.data(), cmd::kStartOffset, cmd::kStartMarker);
  PutU16(r.data(), cmd::kPresenceWordOffset, m_profile.presenceWord);
  PutU16(r.data(), cmd::kApplicabilityAOffset, m_profile.applicabilityA);
  PutU16(r.data(), cmd::kSerialNumberOffset, m_serialNumber);
  PutU16(r.data(), cmd::kUseOverrideOffset, m_profile.useOverride);
  PutU16(r.data(), cmd::kUseCountOffset, static_cast<std::uint16_t>(m_profile.useCount));
  std::copy(m_profile.moduleBlock.begin(), m_profile.moduleBlock.end(),
            r.begin() + cmd::kModuleBlockOffset);
  if (kind == Kind::kStatus) {
    for (std::size_t i = 0; i < m_profile.statusFields.size(); ++i) {
      r[cmd::kStatusFieldOffsets[i]] = m_profile.statusFields[i];
    }
  }
  std::copy(packet.begin() + cmd::kBodyOffset, packet.begin() + cmd::kRequestEndOffset,
            r.begin() + cmd::kEchoOffset);
  PutU16(r.data(), cmd::kEndOffset, cmd::kEndMarker);
  SealReply(r.data());
  if (m_faults.badChecksum[static_cast<int>(kind)]) {
    PutU16(r.data(), cmd::kChecksumOffset,
           static_cast<std::uint16_t>(GetU16(r.data(), cmd::kChecksumOffset) + 1));
  }
  return r;
}

void Device::SealFrame(ServiceFrame& frame) {
  frame[svc::kChecksumOffset] = FrameChecksum(frame.data());
}

ServiceFrame Device::EchoReply(const ServiceFrame& request) {
  ServiceFrame reply = request;
  SealFrame(reply);
  return reply;
}

ServiceFrame Device::ErrorReply(std::uint8_t code) {
  ServiceFrame reply{};
  reply[svc::kCommandOffset] = svc::kErrorReply;
  reply[svc::kErrorCodeOffset] = code;
  SealFrame(reply);
  return reply;
}

std::optional<CommandReply> Device::OnCommandPacket(const CommandPacket& packet) {
  if (m_serviceMode) return std::nullopt;
  const Kind kind = ClassifyCommandPacket(packet.data(), packet.size());
  switch (kind) {
    case Kind::kIdentify:
    case Kind::kStatus:
      return BuildReply(kind, packet);
    case Kind::kMode:
      if (m_faults.answerModeSwitch) return BuildReply(kind, packet);
      m_serviceMode = true;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::uint8_t Device::MemoryAt(std::uint32_t address) const {
  const auto it = m_written.find(address);
  if (it != m_written.end()) return it->second;
  return static_cast<std::uint8_t>(address * 7u + (address >> 8) + 0x3Cu);
}

std::optional<ServiceFrame> Device::OnServiceFrame(const ServiceFrame& frame) {
  if (!m_serviceMode) return std::nullopt;
  if (FrameChecksum(frame.data()) != frame[svc::kChecksumOffset]) return std::nullopt;
  const std::uint8_t command = frame[svc::kCommandOffset];
  if (command > svc::kReadShort) return std::nullopt;

  ServiceFrame reply = frame;
  std::optional<std::uint8_t> error;
  const auto forced = m_faults.errorReply.find(command);
  if (forced != m_faults.errorReply.end()) error = forced->second;

  switch (command) {
    case svc::kReadInfo:
      std::fill(reply.begin() + svc::kPayloadOffset, reply.end(), 0);
      PutU16(reply.data(), svc::kPayloadOffset, m_profile.serviceVersion);
      std::memcpy(reply.data() + kServiceNameOffset, kServiceName, sizeof kServiceName - 1);
      PutU16(reply.data(), kServiceSerialOffset, m_serialNumber);
      break;
    case svc::kWriteBlock:
      if (!error) {
        const std::uint32_t address = GetU32(frame.data(), svc::kAddressOffset);
        const std::size_t n =
            std::min<std::size_t>(GetU16(frame.data(), svc::kLengthOffset), svc::kMaxBlockData);
        for (std::size_t i = 0; i < n; ++i) {
          m_written[address + static_cast<std::uint32_t>(i)] = frame[svc::kDataOffset + i];
        }
      }
      break;
    case svc::kReadBlock: {
      const std::uint32_t address = GetU32(frame.data(), svc::kAddressOffset);
      for (std::size_t i = 0; i < svc::kMaxBlockData; ++i) {
        reply[svc::kDataOffset + i] = MemoryAt(address + static_cast<std::uint32_t>(i));
      }
      break;
    }
    case svc::kWriteRecord: {
      const std::size_t n = GetU16(frame.data(), svc::kRecordLengthOffset);
      if (n > svc::kMaxRecordData) {
        if (!error) error = kErrorBlockTooLong;
        break;
      }
      if (!error) {
        m_record.assign(frame.begin() + svc::kRecordLengthOffset,
                        frame.begin() + static_cast<std::ptrdiff_t>(svc::kRecordDataOffset + n));
        ++m_recordsWritten;
      }
      // The low byte of the maximum high voltage, read back wrong.
      if (m_faults.noRecordEcho) ++reply[svc::kRecordDataOffset + 6];
      break;
    }
    case svc::kReadShort:
      std::fill(reply.begin() + svc::kPayloadOffset, reply.end(), 0);
      for (std::size_t i = 0; i < 7; ++i) {
        reply[svc::kPayloadOffset + i] = MemoryAt(static_cast<std::uint32_t>(i));
      }
      break;
    default:
      break;  // commands 1 and 4 echo the request
  }

  if (error) {
    reply = ErrorReply(*error);
  } else {
    SealFrame(reply);
  }
  const Kind kind = ClassifyServiceFrame(frame.data(), frame.size());
  if (m_faults.badChecksum[static_cast<int>(kind)]) ++reply[svc::kChecksumOffset];
  if (command == svc::kFinish && !error) m_serviceMode = false;
  return reply;
}

}  // namespace quillon::sim
