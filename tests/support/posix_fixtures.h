// Pseudo-terminal pairs and descriptor counting for the transport tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

// Both ends of a pseudo-terminal; the slave is what the tool opens as a serial port.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return m_master >= 0; }
  int master() const { return m_master; }
  const std::string& slavePath() const { return m_slavePath; }
  // Writes to the device side; returns the count written.
  long Send(const void* data, long size);
  // Reads what the tool wrote, waiting up to timeout_ms for `size` bytes.
  std::string Receive(long size, int timeout_ms);
  void CloseMaster();
  // Gives the kept slave descriptor away (say, as a child's standard error); the master then
  // sees the end of input once every other opener of the slave has closed it.
  int TakeSlave();

 private:
  int m_master = -1;
  int m_slaveKeep = -1;  // held open so the pty stays while the tool opens and closes it
  std::string m_slavePath;
};

// The tool's end of a pseudo-terminal that someone else made (the simulator's), raw.
class PtyClient {
 public:
  explicit PtyClient(const std::string& path);
  ~PtyClient();
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool ok() const { return m_fd >= 0; }
  void Write(const std::vector<std::uint8_t>& bytes);
  // Up to `count` bytes, waiting at most timeout_ms for them.
  std::vector<std::uint8_t> Read(std::size_t count, int timeout_ms);

 private:
  int m_fd;
};

// Reads up to `count` bytes from fd, waiting at most timeout_ms in all.
std::vector<std::uint8_t> ReadFor(int fd, std::size_t count, int timeout_ms);

// Number of open descriptors of this process.
int OpenDescriptorCount();

// A pid that no process has any more: a child that has ended and been reaped.
int GonePid();
// A UUCP lock file's text for `pid` (ten columns and a newline).
std::string LockText(int pid);
// Writes `text` as the whole file at `path`; false when it could not.
bool WriteWholeFile(const std::string& path, const std::string& text);

}  // namespace quillon::testing
