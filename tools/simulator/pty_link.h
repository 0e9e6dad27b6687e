// The serial side of the simulated device: the master end of a pseudo-terminal whose slave end
// the tool opens as its serial port, in raw mode at 38400 baud like the device's line. Replies
// that nobody reads wait in a bounded backlog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/simulator/owned_fd.h"
#include "tools/simulator/serial_framer.h"

namespace quillon::sim {

class PtyLink {
 public:
  // Bytes that nobody reads are dropped beyond this.
  static constexpr std::size_t kMaxBacklog = 65536;

  PtyLink() = default;
  ~PtyLink() { RemoveLink(); }
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Creates the pseudo-terminal; on false `error` says why.
  bool Open(std::string* error);
  // Makes `path` a symbolic link to the slave end. An old link there is replaced; anything
  // else at `path` is left alone and refused.
  bool MakeLink(const std::string& path, std::string* error);
  // Removes the link, if this link made it and it still points here.
  void RemoveLink();

  bool IsOpen() const { return m_master.Valid(); }
  int Fd() const { return m_master.Get(); }
  // The slave end, /dev/pts/N.
  const std::string& Path() const { return m_path; }

  // A hung-up line (no client holds the slave end) reports POLLHUP at once whatever poll is
  // asked, so after a hang-up the master is left out of the poll until RestingUntil().
  bool Resting(std::int64_t now) const { return now < m_restUntil; }
  std::int64_t RestingUntil() const { return m_restUntil; }
  // What to poll for: input, and room for output while a backlog waits.
  short PollEvents() const;
  // Acts on what poll reported: writes the backlog, feeds arrived bytes to `framer`, notes a
  // hang-up. True when there was input to take (the framer may hold new pieces).
  bool OnPoll(short revents, std::int64_t now, SerialFramer* framer);

  // Sends bytes down the line, behind any backlog.
  void Write(const std::vector<std::uint8_t>& bytes);

 private:
  void Read(std::int64_t now, SerialFramer* framer);
  void WriteBacklog();

  OwnedFd m_master;  // the terminal side is not held: between clients the master rests
  std::string m_path;
  std::string m_linkPath;  // empty while no link is made
  std::vector<std::uint8_t> m_backlog;
  std::int64_t m_restUntil = 0;
};

}  // namespace quillon::sim
