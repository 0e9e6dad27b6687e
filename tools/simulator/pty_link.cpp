#include "tools/simulator/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillon::sim {
namespace {

constexpr int kMaxReadsPerWake = 64;  // so that a busy line cannot starve the socket
constexpr std::int64_t kHangupRestMs = 100;

}  // namespace

bool PtyLink::Open(std::string* error) {
  m_master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128] = {};
  if (!m_master.Valid() || grantpt(m_master.Get()) != 0 || unlockpt(m_master.Get()) != 0 ||
      ptsname_r(m_master.Get(), name, sizeof name) != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  m_path = name;
  // The terminal side is opened only to set the line up, then closed: a program that keeps it
  // open holds the port as far as a serial tool can tell. The settings stay with the
  // pseudo-terminal while the master is open.
  OwnedFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios tio{};
  if (!slave.Valid() || tcgetattr(slave.Get(), &tio) != 0) {
    *error = "cannot open " + m_path + ": " + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B38400);
  cfsetospeed(&tio, B38400);
  tio.c_cflag |= CLOCAL | CREAD;
  tcsetattr(slave.Get(), TCSANOW, &tio);
  fcntl(m_master.Get(), F_SETFL, fcntl(m_master.Get(), F_GETFL) | O_NONBLOCK);
  return true;
}

bool PtyLink::MakeLink(const std::string& path, std::string* error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = path + " exists and is not a symbolic link";
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(m_path.c_str(), path.c_str()) != 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  m_linkPath = path;
  return true;
}

void PtyLink::RemoveLink() {
  if (m_linkPath.empty()) return;
  // Only our own link: another simulator may have taken the name over meanwhile.
  char target[256] = {};
  const ssize_t n = readlink(m_linkPath.c_str(), target, sizeof target - 1);
  if (n > 0 && m_path == std::string(target, static_cast<std::size_t>(n))) {
    unlink(m_linkPath.c_str());
  }
  m_linkPath.clear();
}

short PtyLink::PollEvents() const {
  return m_backlog.empty() ? POLLIN : POLLIN | POLLOUT;
}

bool PtyLink::OnPoll(short revents, std::int64_t now, SerialFramer* framer) {
  if (revents & POLLOUT) WriteBacklog();
  if (revents & POLLIN) {
    Read(now, framer);
    return true;
  }
  if (revents & (POLLHUP | POLLERR)) m_restUntil = now + kHangupRestMs;
  return false;
}

void PtyLink::Read(std::int64_t now, SerialFramer* framer) {
  std::uint8_t buf[4096];
  for (int i = 0; i < kMaxReadsPerWake; ++i) {
    const ssize_t n = read(m_master.Get(), buf, sizeof buf);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) m_restUntil = now + kHangupRestMs;
      break;
    }
    framer->Feed(buf, static_cast<std::size_t>(n), now);
  }
}

void PtyLink::Write(const std::vector<std::uint8_t>& bytes) {
  if (m_backlog.size() + bytes.size() > kMaxBacklog) {
    std::fprintf(stderr, "quillon-simulator: nobody reads the pty; reply dropped\n");
    return;
  }
  m_backlog.insert(m_backlog.end(), bytes.begin(), bytes.end());
  WriteBacklog();
}

void PtyLink::WriteBacklog() {
  while (!m_backlog.empty()) {
    const ssize_t n = write(m_master.Get(), m_backlog.data(), m_backlog.size());
    if (n <= 0) break;
    m_backlog.erase(m_backlog.begin(), m_backlog.begin() + n);
  }
}

}  // namespace quillon::sim
