// The power module's configuration record as service command 5 writes it: 20 packed bytes,
// little-endian, whose first field counts the bytes after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

namespace rec {
inline constexpr std::size_t kSize = 20;
inline constexpr std::size_t kRecordLengthOffset = 0;
inline constexpr std::size_t kModuleBlockOffset = 2;  // bytes 2..6 from the identify reply
inline constexpr std::size_t kMaxHighVoltageOffset = 8;
inline constexpr std::size_t kStatusFieldsOffset = 10;  // bytes 10..17 from the status reply
inline constexpr std::uint16_t kDefaultRecordLength = 18;
inline constexpr std::uint16_t kTargetHighVoltage = 5000;  // volts
}  // namespace rec

struct PowerModuleRecord {
  std::array<std::uint8_t, rec::kSize> bytes;

  PowerModuleRecord();  // the defaults

  std::uint16_t recordLength() const;
  std::uint16_t maxHighVoltage() const;
  void setMaxHighVoltage(std::uint16_t volts);

  // Reply bytes 61..65 to record bytes 2..6.
  void FillFromIdentifyReply(const std::uint8_t* reply);
  // Reply bytes 58..59, 62..63, 64, 65, 98, 99 to record bytes 10..17.
  void FillFromStatusReply(const std::uint8_t* reply);

  const std::uint8_t* data() const { return bytes.data(); }
};

}  // namespace quillon
