#include "tools/simulator/output_schedule.h"

#include <algorithm>

#include "link/service_frame.h"
#include "link/wire.h"

namespace quillon::sim {
namespace {

constexpr std::uint8_t kGarbageByte = 0xEE;
constexpr std::size_t kTrickleSize = 10;

// A reply datagram: the UDP prefix, then the reply; the device uses A5 5A on both protocols.
std::vector<std::uint8_t> Datagram(const std::uint8_t* reply, std::size_t size) {
  // Sized once and filled: GCC 12 at -O3 takes an insert into a two-byte vector for an
  // out-of-bounds write (-Warray-bounds).
  std::vector<std::uint8_t> bytes(cmd::kPrefixSize + size);
  PutU16(bytes.data(), 0, cmd::kDatagramPrefix);
  std::copy(reply, reply + size, bytes.begin() + cmd::kPrefixSize);
  return bytes;
}

}  // namespace

void OutputSchedule::Add(std::int64_t due, Entry entry) {
  m_entries.emplace(std::make_pair(due, m_sequence++), std::move(entry));
}

void OutputSchedule::AddReply(std::size_t device, Kind kind, const std::uint8_t* reply,
                              std::size_t size, const Target& target, std::int64_t now) {
  if (m_options.faults.silent) return;
  const bool service = size == svc::kFrameSize && kind != Kind::kIdentify &&
                       kind != Kind::kStatus && kind != Kind::kMode;
  std::int64_t due =
      now + m_options.replyDelayMs + static_cast<std::int64_t>(device) * m_options.deviceStaggerMs;
  if (kind == Kind::kStatus) due += m_options.statusDelayMs;
  std::vector<std::int64_t> times = {due};
  if (service && m_options.duplicateAfterMs) times.push_back(due + *m_options.duplicateAfterMs);

  if (target.serial) {
    std::vector<std::uint8_t> bytes;
    if (kind == Kind::kIdentify && m_options.strayBytes > 0 &&
        (m_options.strayTimes == 0 || m_straySent < m_options.strayTimes)) {
      bytes.assign(static_cast<std::size_t>(m_options.strayBytes), kGarbageByte);
      ++m_straySent;
    }
    bytes.insert(bytes.end(), reply, reply + size);
    AddSerialReply(std::move(bytes), target, times);
    return;
  }
  for (std::int64_t at : times) {
    Entry entry;
    entry.output = {target, Datagram(reply, size)};
    Add(at, std::move(entry));
  }
}

void OutputSchedule::AddSerialReply(std::vector<std::uint8_t> bytes, const Target& target,
                                    const std::vector<std::int64_t>& times) {
  const std::size_t pieces = static_cast<std::size_t>(m_options.splitPieces);
  for (std::int64_t at : times) {
    std::size_t begin = 0;
    for (std::size_t i = 0; i < pieces && begin < bytes.size(); ++i) {
      const std::size_t end = bytes.size() * (i + 1) / pieces;
      if (end == begin) continue;
      Entry entry;
      entry.output = {target, std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(begin),
                                                        bytes.begin() + static_cast<long>(end))};
      Add(at + static_cast<std::int64_t>(i) * m_options.splitPauseMs, std::move(entry));
      begin = end;
    }
  }
}

void OutputSchedule::AddForgery(const CommandReply& status_reply, const Target& target,
                                std::int64_t now) {
  if (!m_options.forgeStatusMs) return;
  Entry entry;
  entry.output = {target, Datagram(status_reply.data(), status_reply.size())};
  entry.stream = Stream::kForgery;
  entry.everyMs = *m_options.forgeStatusMs;
  entry.repeatsLeft = m_options.forgeStatusCount - 1;
  Add(now + entry.everyMs, std::move(entry));
}

void OutputSchedule::RestartTrickle(const Target& target, std::int64_t now) {
  if (!m_options.trickleMs) return;
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    it = it->second.stream == Stream::kTrickle ? m_entries.erase(it) : std::next(it);
  }
  Entry entry;
  entry.output = {target, std::vector<std::uint8_t>(kTrickleSize, kGarbageByte)};
  entry.stream = Stream::kTrickle;
  entry.everyMs = *m_options.trickleMs;
  entry.repeatsLeft = m_options.trickleCount;
  if (entry.repeatsLeft) --*entry.repeatsLeft;
  Add(now + entry.everyMs, std::move(entry));
}

std::optional<std::int64_t> OutputSchedule::NextDue() const {
  if (m_entries.empty()) return std::nullopt;
  return m_entries.begin()->first.first;
}

std::optional<Output> OutputSchedule::TakeDue(std::int64_t now) {
  if (m_entries.empty() || m_entries.begin()->first.first > now) return std::nullopt;
  const std::int64_t due = m_entries.begin()->first.first;
  Entry entry = std::move(m_entries.begin()->second);
  m_entries.erase(m_entries.begin());
  if (entry.repeatsLeft != 0) {
    // The next one from this one's due time, not from now, so that a late wake-up does not
    // stretch the period.
    Entry next = entry;
    if (next.repeatsLeft) --*next.repeatsLeft;
    Add(due + next.everyMs, std::move(next));
  }
  return std::move(entry.output);
}

}  // namespace quillon::sim
