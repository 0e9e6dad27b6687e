#include "support/posix_fixtures.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace quillon::testing {

PtyPair::PtyPair() {
  int slave = -1;
  char name[256] = {};
  if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
    m_master = -1;
    return;
  }
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);
  ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  m_slaveKeep = slave;
  m_slavePath = name;
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (m_slaveKeep >= 0) ::close(m_slaveKeep);
}

void PtyPair::CloseMaster() {
  if (m_master >= 0) ::close(m_master);
  m_master = -1;
}

int PtyPair::TakeSlave() {
  const int fd = m_slaveKeep;
  m_slaveKeep = -1;
  return fd;
}

long PtyPair::Send(const void* data, long size) {
  const ssize_t n = ::write(m_master, data, static_cast<std::size_t>(size));
  return n < 0 ? 0 : static_cast<long>(n);
}

std::string PtyPair::Receive(long size, int timeout_ms) {
  const std::vector<std::uint8_t> bytes =
      ReadFor(m_master, size > 0 ? static_cast<std::size_t>(size) : 0, timeout_ms);
  return std::string(bytes.begin(), bytes.end());
}

PtyClient::PtyClient(const std::string& path)
    : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  termios t{};
  if (m_fd >= 0 && ::tcgetattr(m_fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(m_fd, TCSANOW, &t);
  }
}

PtyClient::~PtyClient() {
  if (m_fd >= 0) ::close(m_fd);
}

void PtyClient::Write(const std::vector<std::uint8_t>& bytes) {
  ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::vector<std::uint8_t> PtyClient::Read(std::size_t count, int timeout_ms) {
  return ReadFor(m_fd, count, timeout_ms);
}

std::vector<std::uint8_t> ReadFor(int fd, std::size_t count, int timeout_ms) {
  std::vector<std::uint8_t> out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t buf[512];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
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

int GonePid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

std::string LockText(int pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", pid);
  return text;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && written;
}

}  // namespace quillon::testing
