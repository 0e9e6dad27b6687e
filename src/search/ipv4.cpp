#include "search/ipv4.h"

#include <cstdio>

namespace quillon {

std::string FormatIPv4(const std::uint8_t (&bytes)[4]) {
  char text[20];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{bytes[0]}, unsigned{bytes[1]},
                unsigned{bytes[2]}, unsigned{bytes[3]});
  return text;
}

std::string FormatIPv4(const IPv4Bytes& bytes) {
  const std::uint8_t raw[4] = {bytes[0], bytes[1], bytes[2], bytes[3]};
  return FormatIPv4(raw);
}

std::optional<IPv4Bytes> ParseIPv4(std::string_view text) {
  IPv4Bytes out{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return out;
}

}  // namespace quillon
