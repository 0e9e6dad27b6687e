#include "tools/simulator/serial_framer.h"

#include "link/command_packet.h"
#include "link/service_frame.h"

namespace quillon::sim {
namespace {

bool PacketAt(const std::vector<std::uint8_t>& b, std::size_t i) {
  return b[i] == 0xA5 && b[i + 1] == 0x5A && b[i + 10] == 0xB9 && b[i + 11] == 0x9B;
}

}  // namespace

void SerialFramer::Feed(const std::uint8_t* data, std::size_t size, std::int64_t now) {
  if (size == 0) return;
  if (buffer_.size() + size > kMaxBuffered) {
    // Nothing sensible is that long: keep only the newest bytes.
    buffer_.clear();
    if (size > kMaxBuffered) {
      data += size - kMaxBuffered;
      size = kMaxBuffered;
    }
  }
  buffer_.insert(buffer_.end(), data, data + size);
  last_arrival_ = now;
}

SerialFramer::Piece SerialFramer::Take(Piece piece, std::size_t count,
                                       std::vector<std::uint8_t>* out) {
  out->assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
  return piece;
}

SerialFramer::Piece SerialFramer::Next(bool service_mode, std::int64_t now,
                                       std::vector<std::uint8_t>* out) {
  if (buffer_.empty()) return Piece::kNone;
  if (service_mode) {
    if (buffer_.size() >= svc::kFrameSize) return Take(Piece::kFrame, svc::kFrameSize, out);
  } else {
    std::size_t i = 0;
    while (i + cmd::kRequestSize <= buffer_.size() && !PacketAt(buffer_, i)) ++i;
    if (i + cmd::kRequestSize <= buffer_.size()) {
      if (i > 0) return Take(Piece::kDropped, i, out);
      return Take(Piece::kPacket, cmd::kRequestSize, out);
    }
    // Whatever precedes the last 11 bytes can start no packet any more.
    if (i > 0) return Take(Piece::kDropped, i, out);
  }
  if (now - last_arrival_ >= kStaleMs) return Take(Piece::kDropped, buffer_.size(), out);
  return Piece::kNone;
}

std::optional<std::int64_t> SerialFramer::StaleAt() const {
  if (buffer_.empty()) return std::nullopt;
  return last_arrival_ + kStaleMs;
}

}  // namespace quillon::sim
