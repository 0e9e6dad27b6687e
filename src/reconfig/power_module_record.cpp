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
  bytes[10] = reply[58];
  bytes[11] = reply[59];
  bytes[12] = reply[62];
  bytes[13] = reply[63];
  bytes[14] = reply[64];
  bytes[15] = reply[65];
  bytes[16] = reply[98];
  bytes[17] = reply[99];
}

}  // namespace quillon
