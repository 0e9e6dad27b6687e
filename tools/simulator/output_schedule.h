// What the simulator sends, and when. Every reply passes through here, because the faults move
// it in time (a reply delay, a status delay, staggered devices), cut it (split replies on the
// pty), add to it (stray bytes ahead of an identify reply, a duplicate) or repeat it (the
// forger's status replies, the trickle of garbage). One queue, ordered by due time and then by
// the order of scheduling, so that the poll loop needs only the earliest time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "link/command_packet.h"
#include "tools/simulator/device.h"
#include "tools/simulator/options.h"

namespace quillon::sim {

// Where bytes go: the pty, or a datagram to `to`, sent from `from` when set.
struct Target {
  bool serial = false;
  sockaddr_in to{};
  std::optional<in_addr> from;
};

struct Output {
  Target target;
  std::vector<std::uint8_t> bytes;
};

class OutputSchedule {
 public:
  explicit OutputSchedule(const Options& options) : m_options(options) {}

  // Device number `device`'s reply to a request of this kind, which arrived at `now`, with the
  // faults of the options applied; nothing at all with --silent.
  void AddReply(std::size_t device, Kind kind, const std::uint8_t* reply, std::size_t size,
                const Target& target, std::int64_t now);
  // The forger's answer to an identify request that arrived at `now`: `status_reply` as a
  // datagram, every forgeStatusMs from then on, forgeStatusCount in all.
  void AddForgery(const CommandReply& status_reply, const Target& target, std::int64_t now);
  // Starts the trickle of garbage datagrams towards `target`, ending the one that ran before.
  void RestartTrickle(const Target& target, std::int64_t now);

  std::optional<std::int64_t> NextDue() const;
  // The earliest output due at `now`, taken out of the queue; a repeated one stays queued for
  // its next time.
  std::optional<Output> TakeDue(std::int64_t now);

 private:
  enum class Stream { kReply, kForgery, kTrickle };
  struct Entry {
    Output output;
    Stream stream = Stream::kReply;
    int everyMs = 0;
    std::optional<int> repeatsLeft = 0;  // sent again after this; nothing: without end
  };

  void Add(std::int64_t due, Entry entry);
  void AddSerialReply(std::vector<std::uint8_t> bytes, const Target& target,
                      const std::vector<std::int64_t>& times);

  const Options& m_options;
  std::map<std::pair<std::int64_t, std::uint64_t>, Entry> m_entries;
  std::uint64_t m_sequence = 0;
  int m_straySent = 0;
};

}  // namespace quillon::sim
