// An owned file descriptor, closed with its owner.
#pragma once

#include <unistd.h>

namespace quillon::sim {

class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : m_fd(fd) {}
  ~OwnedFd() { Reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

}  // namespace quillon::sim
