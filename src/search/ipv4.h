// IPv4 addresses as the network configuration writes them: 4 bytes in network order and the
// dotted text "%u.%u.%u.%u".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// An IPv4 address or mask: 4 bytes in network order (first octet first).
using IPv4Bytes = std::array<std::uint8_t, 4>;

// "%u.%u.%u.%u" of the four bytes in order.
std::string FormatIPv4(const std::uint8_t (&bytes)[4]);
std::string FormatIPv4(const IPv4Bytes& bytes);

// Exactly four decimal numbers 0..255 separated by dots, nothing else: no spaces, no sign, no
// leading zeros (which some resolvers read as octal), no trailing dot.
std::optional<IPv4Bytes> ParseIPv4(std::string_view text);

inline bool IsZeroAddress(const IPv4Bytes& a) {
  return a == IPv4Bytes{};
}

}  // namespace quillon
