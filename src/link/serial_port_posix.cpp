// Serial ports on POSIX: termios, exclusive open, FIONREAD for the queued count.
//
// The Windows side sets queue sizes (SetupComm) and clears the port's error state together with
// reading the queued count (ClearCommError). Neither has a POSIX counterpart: the tty layer sizes
// its own buffers, and termios reports no latched line errors that would block reads.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace quillon {
namespace {

int Fd(SerialHandle h) {
  return static_cast<int>(h);
}

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Orders names by their letters, then by their number: ttyS2 before ttyS10, ttyACM0 before ttyS0.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    const std::string digits = s.substr(i);
    return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::stol(digits));
  };
  return split(a) < split(b);
}

// Devices under /sys/class/tty that have a driver. A legacy ttyS port whose UART type is 0
// (PORT_UNKNOWN) is a placeholder without hardware and is left out.
std::vector<std::string> ScanSystemPorts() {
  std::vector<std::string> names;
  DIR* dir = ::opendir("/sys/class/tty");
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string base = "/sys/class/tty/" + name;
    if (!PathExists(base + "/device/driver")) continue;
    if (name.rfind("ttyS", 0) == 0 && ReadFirstLine(base + "/type") == "0") continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), NaturalLess);
  if (names.size() > static_cast<std::size_t>(kMaxSerialPorts)) names.resize(kMaxSerialPorts);
  for (auto& n : names) n = "/dev/" + n;
  return names;
}

void Release(int fd) {
  ::ioctl(fd, TIOCNXCL);  // else the next open of a pseudo-terminal fails with EBUSY
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

}  // namespace

std::vector<std::string> ScanSystemSerialPorts() {
  return ScanSystemPorts();
}

std::string UserPortPath(const std::string& name) {
  return name;
}

SerialHandle SerialOpenPath(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (why) *why = std::strerror(errno);
    return kInvalidSerialHandle;
  }
  // Exclusive: another program's TIOCEXCL makes our open fail with EBUSY above; the lock also
  // keeps out programs that only use flock.
  if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (why) *why = errno == EWOULDBLOCK ? "busy" : std::strerror(errno);
    ::close(fd);
    return kInvalidSerialHandle;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    if (why) *why = std::string("settings refused: ") + std::strerror(errno);
    Release(fd);
    return kInvalidSerialHandle;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, B38400);
  ::cfsetospeed(&tio, B38400);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    if (why) *why = std::string("settings refused: ") + std::strerror(errno);
    Release(fd);
    return kInvalidSerialHandle;
  }
  // DTR on, RTS off. A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  if ((::ioctl(fd, TIOCMBIS, &dtr) != 0 || ::ioctl(fd, TIOCMBIC, &rts) != 0) && errno != ENOTTY &&
      errno != EINVAL) {
    if (why) *why = std::string("settings refused: ") + std::strerror(errno);
    Release(fd);
    return kInvalidSerialHandle;
  }
  return fd;
}

long SerialQueuedCount(SerialHandle h) {
  int count = 0;
  if (h == kInvalidSerialHandle || ::ioctl(Fd(h), FIONREAD, &count) != 0 || count < 0) return 0;
  return count;
}

long SerialReadQueued(SerialHandle h, std::uint8_t* buf, long max) {
  if (h == kInvalidSerialHandle || max <= 0) return 0;
  const ssize_t n = ::read(Fd(h), buf, static_cast<std::size_t>(max));
  return n > 0 ? static_cast<long>(n) : 0;
}

long SerialWriteBytes(SerialHandle h, const std::uint8_t* buf, long n) {
  if (h == kInvalidSerialHandle) return 0;
  long done = 0;
  // The port is non-blocking; give a full output buffer a short while to drain.
  for (int round = 0; done < n && round < 50; ++round) {
    const ssize_t w = ::write(Fd(h), buf + done, static_cast<std::size_t>(n - done));
    if (w > 0) {
      done += static_cast<long>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd p{Fd(h), POLLOUT, 0};
    ::poll(&p, 1, 2);
  }
  return done;
}

bool SerialWaitReadable(SerialHandle h, int ms) {
  if (h == kInvalidSerialHandle) return false;
  pollfd p{Fd(h), POLLIN, 0};
  const int r = ::poll(&p, 1, ms < 0 ? 0 : ms);
  // A hung-up port reports POLLHUP at once; let the caller pause rather than spin.
  return r == 0 || (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0);
}

void SerialCloseHandle(SerialHandle h) {
  if (h != kInvalidSerialHandle) Release(Fd(h));
}

void SerialEnsureBaud(SerialHandle h) {
  termios tio{};
  if (h == kInvalidSerialHandle || ::tcgetattr(Fd(h), &tio) != 0) return;
  if (::cfgetospeed(&tio) != B38400 || ::cfgetispeed(&tio) != B38400) {
    ::cfsetispeed(&tio, B38400);
    ::cfsetospeed(&tio, B38400);
    ::tcsetattr(Fd(h), TCSANOW, &tio);
  }
}

std::string SerialPermissionHint() {
  return "To use a port that says 'permission denied', add your user to the group that owns "
         "the device (usually 'dialout': sudo usermod -aG dialout $USER), then log in again.";
}

PortState ProbeSerialPort(const std::string& path, std::string* detail) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (detail) *detail = std::strerror(err);
    if (err == EACCES || err == EPERM) {
      struct stat st {};
      if (detail && ::stat(path.c_str(), &st) == 0) {
        if (const group* g = ::getgrgid(st.st_gid)) *detail += std::string(", group ") + g->gr_name;
      }
      return PortState::kPermissionDenied;
    }
    if (err == EBUSY) return PortState::kBusy;
    return PortState::kMissing;
  }
  ::close(fd);
  std::string why;
  const SerialHandle h = SerialOpenPath(path, &why);
  if (h == kInvalidSerialHandle) {
    if (detail) *detail = why;
    return why.rfind("settings refused", 0) == 0 ? PortState::kSettingsRefused : PortState::kBusy;
  }
  SerialCloseHandle(h);
  return PortState::kFree;
}

}  // namespace quillon
