// Little-endian field access for both wire protocols and the power-module record.
// Fields are packed and read byte by byte, never by casting structs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

inline std::uint16_t GetU16(const std::uint8_t* p, std::size_t offset) {
  return static_cast<std::uint16_t>(p[offset] | (p[offset + 1] << 8));
}

inline std::int16_t GetS16(const std::uint8_t* p, std::size_t offset) {
  return static_cast<std::int16_t>(GetU16(p, offset));
}

inline void PutU16(std::uint8_t* p, std::size_t offset, std::uint16_t v) {
  p[offset] = static_cast<std::uint8_t>(v & 0xFF);
  p[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline std::uint32_t GetU32(const std::uint8_t* p, std::size_t offset) {
  return static_cast<std::uint32_t>(GetU16(p, offset)) |
         (static_cast<std::uint32_t>(GetU16(p, offset + 2)) << 16);
}

inline void PutU32(std::uint8_t* p, std::size_t offset, std::uint32_t v) {
  PutU16(p, offset, static_cast<std::uint16_t>(v & 0xFFFF));
  PutU16(p, offset + 2, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace quillon
