#include "reconfig/power_module_record.h"

#include <algorithm>

#include "link/command_packet.h"
#include "link/wire.h"

namespace quillon {

PowerModuleRecord::PowerModuleRecord()
    : bytes{0x12, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x88, 0x13,
            0x88, 0x13, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00} {}

std::uint16_t PowerModuleRecord::recordLength() const {
  return GetU16(bytes.data(), rec::kRecordLengthOffset);
}

std::uint16_t PowerModuleRecord::maxHighVoltage() const {
  return GetU16(bytes.data(), rec::kMaxHighVoltageOffset);
}

void PowerModuleRecord::setMaxHighVoltage(std::uint16_t volts) {
  PutU16(bytes.data(), rec::kMaxHighVoltageOffset, volts);
}

void PowerModuleRecord::FillFromIdentifyReply(const std::uint8_t* reply) {
  std::copy_n(reply + cmd::kModuleBlockOffset, cmd::kModuleBlockSize,
              bytes.begin() + rec::kModuleBlockOffset);
}

void PowerModuleRecord::FillFromStatusReply(const std::uint8_t* reply) {
  // Copied as they stand in the reply, byte for byte.
  for (std::size_t i = 0; i < cmd::kStatusFieldOffsets.size(); ++i) {
    bytes[rec::kStatusFieldsOffset + i] = reply[cmd::kStatusFieldOffsets[i]];
  }
}

}  // namespace quillon
