#include "tools/simulator/serial_framer.h"

#include "link/command_packet.h"
#include "link/service_frame.h"
#include "link/wire.h"

namespace quillon::sim {
namespace {

bool PacketAt(const std::vector<std::uint8_t>& b, std::size_t i) {
  return GetU16(b.data(), i) == cmd::kStartMarker &&
         GetU16(b.data(), i + cmd::kRequestEndOffset) == cmd::kEndMarker;
}

}  // namespace

void SerialFramer::Feed(const std::uint8_t* data, std::size_t size, std::int64_t now) {
  if (size == 0) return;
  if (m_buffer.size() + size > kMaxBuffered) {
    // Nothing sensible is that long: keep only the newest bytes.
    m_buffer.clear();
    if (size > kMaxBuffered) {
      data += size - kMaxBuffered;
      size = kMaxBuffered;
    }
  }
  m_buffer.insert(m_buffer.end(), data, data + size);
  m_lastArrival = now;
}

SerialFramer::Piece SerialFramer::Take(Piece piece, std::size_t count,
                                       std::vector<std::uint8_t>* out) {
  out->assign(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(count));
  m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(count));
  return piece;
}

SerialFramer::Piece SerialFramer::Next(bool service_mode, std::int64_t now,
                                       std::vector<std::uint8_t>* out) {
  if (m_buffer.empty()) return Piece::kNone;
  if (service_mode) {
    if (m_buffer.size() >= svc::kFrameSize) return Take(Piece::kFrame, svc::kFrameSize, out);
  } else {
    std::size_t i = 0;
    while (i + cmd::kRequestSize <= m_buffer.size() && !PacketAt(m_buffer, i)) ++i;
    if (i + cmd::kRequestSize <= m_buffer.size()) {
      if (i > 0) return Take(Piece::kDropped, i, out);
      return Take(Piece::kPacket, cmd::kRequestSize, out);
    }
    // Whatever precedes the last 11 bytes can start no packet any more.
    if (i > 0) return Take(Piece::kDropped, i, out);
  }
  if (now - m_lastArrival >= kStaleMs) return Take(Piece::kDropped, m_buffer.size(), out);
  return Piece::kNone;
}

std::optional<std::int64_t> SerialFramer::StaleAt() const {
  if (m_buffer.empty()) return std::nullopt;
  return m_lastArrival + kStaleMs;
}

}  // namespace quillon::sim
