// Cuts the byte stream of the serial line into requests. The line carries no frame boundaries:
// command packets are found by their markers (A5 5A, then B9 9B ten bytes later), service frames
// are taken 136 bytes at a time. Bytes that stop arriving mid-frame are dropped after a pause, so
// that a stray piece cannot shift every later frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillon::sim {

class SerialFramer {
 public:
  // A partial request older than this is dropped.
  static constexpr std::int64_t kStaleMs = 500;
  // Bytes kept at most; more arrive only when nothing is taken, and are then garbage.
  static constexpr std::size_t kMaxBuffered = 65536;

  enum class Piece { kNone, kPacket, kFrame, kDropped };

  void Feed(const std::uint8_t* data, std::size_t size, std::int64_t now);

  // The next piece for the device's current mode: a 12-byte command packet, a 136-byte service
  // frame, or bytes that are dropped (garbage before a packet, or a stale remainder).
  Piece Next(bool service_mode, std::int64_t now, std::vector<std::uint8_t>* out);

  // When the bytes held now go stale, if any are held.
  std::optional<std::int64_t> StaleAt() const;

  std::size_t Buffered() const { return m_buffer.size(); }

 private:
  Piece Take(Piece piece, std::size_t count, std::vector<std::uint8_t>* out);

  std::vector<std::uint8_t> m_buffer;
  std::int64_t m_lastArrival = 0;
};

}  // namespace quillon::sim
