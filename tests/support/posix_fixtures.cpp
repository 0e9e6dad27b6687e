#include "support/posix_fixtures.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace quillon::testing {

PtyPair::PtyPair() {
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
    master_ = -1;
    return;
  }
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  slave_keep_ = slave;
  slave_path_ = name;
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave_keep_ >= 0) ::close(slave_keep_);
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

int PtyPair::TakeSlave() {
  const int fd = slave_keep_;
  slave_keep_ = -1;
  return fd;
}

long PtyPair::Send(const void* data, long size) {
  const ssize_t n = ::write(master_, data, static_cast<std::size_t>(size));
  return n < 0 ? 0 : static_cast<long>(n);
}

std::string PtyPair::Receive(long size, int timeout_ms) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (static_cast<long>(out.size()) < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

int OpenDescriptorCount() {
  int count = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++count;
    ::closedir(d);
  }
  return count;
}

}  // namespace quillon::testing
