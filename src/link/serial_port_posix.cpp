// Serial ports on POSIX: termios, exclusive open without harm to other programs, FIONREAD for the
// queued count.
//
// The Windows side sets queue sizes (SetupComm) and clears the port's error state together with
// reading the queued count (ClearCommError). Neither has a POSIX counterpart: the tty layer sizes
// its own buffers, and termios reports no latched line errors that would block reads.
//
// On a real UART or USB adapter the open itself raises DTR and RTS, so everything that can tell
// that a port is another program's is asked before the open (port_holders_posix.cpp: lock files
// under every usual name, flock, other processes' descriptors, the consoles). The kernel's
// exclusive flag (TIOCEXCL; root opens such a port all the same, so the flag is asked for with
// TIOCGEXCL) can only be seen from an open descriptor and is checked right after the open.
// While the tool holds a port it sets the flag, a flock and a lock file itself (the lock file's
// owner is own_lock_file_posix.cpp's OwnLockFile, held with the port), and it clears the
// exclusive flag only where it set it: cleared by anyone else, the flag stays off for the other
// program; left set, a pseudo-terminal refuses every later opener. The line settings and modem
// lines found at the open are put back at the close, on every path.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/own_lock_file_posix.h"
#include "link/path_posix.h"
#include "link/port_holders_posix.h"
#include "link/serial_port.h"
#include "link/system_platform.h"

namespace quillon {
namespace {

int Fd(SerialHandle h) {
  return static_cast<int>(h);
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

std::string GroupOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  return std::to_string(st.st_gid);
}

// --- the ports this process holds ---------------------------------------------------------------

// What the tool changes on a port: its line settings and its modem lines.
struct LineState {
  bool haveSettings = false;
  termios settings{};
  bool haveModemLines = false;
  int modemLines = 0;
};

LineState SaveLineState(int fd) {
  LineState state;
  state.haveSettings = ::tcgetattr(fd, &state.settings) == 0;
  state.haveModemLines = ::ioctl(fd, TIOCMGET, &state.modemLines) == 0;
  return state;
}

// Only async-signal-safe calls: ReleaseSerialPortsForExit uses it too.
void RestoreLineState(int fd, const LineState& state) {
  if (state.haveSettings) ::tcsetattr(fd, TCSANOW, &state.settings);
  if (state.haveModemLines) {
    for (const int line : {TIOCM_DTR, TIOCM_RTS}) {
      int bit = line;
      ::ioctl(fd, (state.modemLines & line) != 0 ? TIOCMBIS : TIOCMBIC, &bit);
    }
  }
}

// Fixed-size and plain, so that a signal handler can release them (ReleaseSerialPortsForExit).
// The signal handler reads the lock file's name from lockFile, the published view of its owner.
struct HeldPort {
  volatile int fd = -1;
  bool exclusiveSet = false;
  char lockFile[128] = {};
  LineState found;   // as the port was before the tool changed it
  OwnLockFile lock;  // the owner; never touched by the signal handler
};
std::array<HeldPort, kMaxSerialPorts + 8> g_held;
// The ports of a search open side by side: the look at the holders and the table of held ports
// are taken one thread at a time (the opens themselves are not).
std::mutex g_openMutex;

HeldPort* Held(int fd) {
  for (HeldPort& p : g_held) {
    if (p.fd == fd) return &p;
  }
  return nullptr;
}

// Published before the tool changes anything on the port, so that a signal handler that ends
// the process from here on (ReleaseSerialPortsForExit) undoes whatever has been done. Each field
// is written before the step it undoes, behind a fence against the handler.
HeldPort* Register(int fd, const LineState& found) {
  const std::lock_guard<std::mutex> lock(g_openMutex);
  HeldPort* slot = Held(-1);
  if (!slot) return nullptr;
  slot->exclusiveSet = false;
  slot->lockFile[0] = '\0';
  slot->found = found;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot->fd = fd;  // last: from here on a signal handler sees a complete entry
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return slot;
}

// Undoes what the tool did to a port, then closes it. Each step leaves the entry so that a
// signal in between finds undone only what is still to undo; the entry goes just before the
// close, which the process's end does as well.
void Release(HeldPort& held) {
  const int fd = held.fd;
  RestoreLineState(fd, held.found);
  if (held.exclusiveSet) ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  held.lockFile[0] = '\0';
  std::atomic_signal_fence(std::memory_order_seq_cst);
  held.lock.Remove();
  held.fd = -1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  ::close(fd);
}

// --- the checks before a port is taken ----------------------------------------------------------

SerialOpenResult Refused(SerialOpenStatus status, std::string detail, std::string group = {}) {
  return {kInvalidSerialHandle, status, std::move(detail), std::move(group)};
}

std::string FileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "not a character device";
}

// The survey of holders that a search takes once at its start and then asks for each port: the
// ports of one search are opened within a few milliseconds, so one look at /proc serves them
// all. Anything older is taken again.
constexpr std::int64_t kSurveyLifetimeMs = 1000;

// Everything that can be known about a port without opening it: that it exists, is a serial
// port at all, is not a console or this program's terminal, and that no other program holds it.
// kOpened means: free as far as can be seen from outside.
// *resolved is the device node the path leads to: what is checked is what gets opened, even when
// a link on the way is changed meanwhile.
SerialOpenResult CheckBeforeOpen(const std::string& path, const PortHolderSurvey& survey,
                                 struct stat* st, std::string* resolved) {
  *resolved = RealPath(path);
  if (::stat(resolved->c_str(), st) != 0) {
    const int err = errno;
    if (err == EACCES) {
      return Refused(SerialOpenStatus::kPermissionDenied, ErrorText(err), GroupOf(path));
    }
    return Refused(SerialOpenStatus::kMissing, ErrorText(err));
  }
  if (!S_ISCHR(st->st_mode))
    return Refused(SerialOpenStatus::kNotASerialPort, FileKind(st->st_mode));
  // A device that is not a terminal may act on the open alone (a watchdog arms): never opened.
  if (!IsTerminalDevice(*st)) {
    return Refused(SerialOpenStatus::kNotASerialPort, "not a terminal device");
  }
  if (IsTerminalAlias(*st)) {
    return Refused(SerialOpenStatus::kNotASerialPort, "stands for another terminal");
  }
  if (const std::optional<PortClaim> claim = survey.Claim(path, *resolved, *st)) {
    const bool never =
        claim->kind == PortClaim::Kind::kConsole || claim->kind == PortClaim::Kind::kOwnTerminal;
    return Refused(never ? SerialOpenStatus::kNotSearched : SerialOpenStatus::kBusy, claim->detail);
  }
  return {kInvalidSerialHandle, SerialOpenStatus::kOpened, {}, {}};
}

// Opens a port that the checks found free. On success *fd is open and flocked by this process.
SerialOpenResult CheckAndOpen(const std::string& path, const PortHolderSurvey& survey, int* fd) {
  *fd = -1;
  struct stat st {};
  std::string resolved;
  SerialOpenResult checked;
  {
    const std::lock_guard<std::mutex> lock(g_openMutex);
    checked = CheckBeforeOpen(path, survey, &st, &resolved);
  }
  if (checked.status != SerialOpenStatus::kOpened) return checked;
  const int opened = ::open(resolved.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (opened < 0) {
    const int err = errno;
    switch (err) {
      case EACCES:
      case EPERM:
        return Refused(SerialOpenStatus::kPermissionDenied, ErrorText(err), GroupOf(path));
      case EBUSY:
        return Refused(SerialOpenStatus::kBusy, "held exclusively by another program (TIOCEXCL)");
      case EMFILE:
      case ENFILE: {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        return Refused(SerialOpenStatus::kNoDescriptors, std::to_string(limit.rlim_cur));
      }
      default:
        return Refused(SerialOpenStatus::kMissing, ErrorText(err));
    }
  }
  struct stat now {};
  if (::fstat(opened, &now) != 0 || now.st_rdev != st.st_rdev || !::isatty(opened)) {
    ::close(opened);
    return Refused(SerialOpenStatus::kNotASerialPort, "not a terminal device");
  }
  int exclusive = 0;
  if (::ioctl(opened, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    ::close(opened);  // the other program's flag stays as it is
    return Refused(SerialOpenStatus::kBusy, "held exclusively by another program (TIOCEXCL)");
  }
  // Taken between the survey and the open: still another program's.
  if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(opened);
    if (err == EWOULDBLOCK) {
      return Refused(SerialOpenStatus::kBusy, "locked by another program (flock)");
    }
    return Refused(SerialOpenStatus::kMissing, ErrorText(err));
  }
  *fd = opened;
  return {static_cast<SerialHandle>(opened), SerialOpenStatus::kOpened, {}, {}};
}

// 38400 8N1 raw, no flow control; DTR on, RTS off.
bool ApplyLineSettings(int fd, std::string* why) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    *why = ErrorText(errno);
    return false;
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
    *why = ErrorText(errno);
    return false;
  }
  // A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  if ((::ioctl(fd, TIOCMBIS, &dtr) != 0 || ::ioctl(fd, TIOCMBIC, &rts) != 0) && errno != ENOTTY &&
      errno != EINVAL) {
    *why = ErrorText(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string SystemPlatform::NamedPortPath(const std::string& name) {
  return name;
}

void SystemPlatform::SurveyPortHolders() {
  auto survey = std::make_shared<const PortHolderSurvey>(PortHolderSurvey::Take());
  const std::lock_guard<std::mutex> lock(m_surveyMutex);
  m_survey = std::move(survey);
  m_surveyTakenAt = SteadyClockMs();
}

std::shared_ptr<const PortHolderSurvey> SystemPlatform::RecentSurvey() {
  const std::lock_guard<std::mutex> lock(m_surveyMutex);
  const std::int64_t now = SteadyClockMs();
  if (!m_survey || now - m_surveyTakenAt > kSurveyLifetimeMs) {
    m_survey = std::make_shared<const PortHolderSurvey>(PortHolderSurvey::Take());
    m_surveyTakenAt = now;
  }
  return m_survey;
}

namespace {

SerialOpenResult OpenWithSurvey(const std::string& path, const PortHolderSurvey& survey) {
  int fd = -1;
  SerialOpenResult result = CheckAndOpen(path, survey, &fd);
  if (fd < 0) return result;

  // Taken: the exclusive flag keeps out later openers, the flock (already held) those that only
  // use flock, the lock file those that only look there.
  HeldPort* held = Register(fd, SaveLineState(fd));
  if (!held) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return Refused(SerialOpenStatus::kBusy, "too many open ports");
  }
  // Clearing a flag that was not set does no harm; a flag set but not noted would stay.
  held->exclusiveSet = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  held->exclusiveSet = ::ioctl(fd, TIOCEXCL) == 0;
  PortClaim claim;
  if (!held->lock.Take(RealPath(path), &claim)) {
    Release(*held);
    return Refused(SerialOpenStatus::kBusy, claim.detail);
  }
  const std::string& lock_file = held->lock.path();
  if (lock_file.size() >= sizeof held->lockFile) {
    Release(*held);
    return Refused(SerialOpenStatus::kBusy, "the lock file's name is too long");
  }
  std::memcpy(held->lockFile, lock_file.c_str(), lock_file.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::string why;
  if (!ApplyLineSettings(fd, &why)) {
    Release(*held);
    return Refused(SerialOpenStatus::kSettingsRefused, "settings refused: " + why);
  }
  return result;
}

}  // namespace

SerialOpenResult SystemPlatform::OpenPath(const std::string& path) {
  return OpenWithSurvey(path, PortHolderSurvey::Take());
}

SerialOpenResult SystemPlatform::OpenPortPath(const std::string& path, bool in_search) {
  if (!in_search) return OpenPath(path);
  // Shared, not borrowed: a thread that takes a fresh survey leaves this one whole.
  const std::shared_ptr<const PortHolderSurvey> survey = RecentSurvey();
  return OpenWithSurvey(path, *survey);
}

std::string NamedPortProblem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Not there at all: a usage error. Not ours to see (a directory we may not search): the
    // search skips it with its reason.
    return errno == ENOENT || errno == ENOTDIR ? path + " does not exist" : std::string();
  }
  if (!S_ISCHR(st.st_mode) || !IsTerminalDevice(st)) return path + " is not a terminal device";
  if (IsTerminalAlias(st)) return path + " stands for another terminal, not a serial port";
  return {};
}

void SystemPlatform::ClosePath(SerialHandle h) {
  const int fd = Fd(h);
  if (HeldPort* held = Held(fd)) {
    Release(*held);
  } else {
    ::close(fd);
  }
}

std::size_t SystemPlatform::SerialQueued(SerialHandle h) {
  int count = 0;
  if (h == kInvalidSerialHandle || ::ioctl(Fd(h), FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

std::size_t SystemPlatform::SerialRead(SerialHandle h, std::span<std::uint8_t> buf) {
  if (h == kInvalidSerialHandle || buf.empty()) return 0;
  const ssize_t n = ::read(Fd(h), buf.data(), buf.size());
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t SystemPlatform::SerialWrite(SerialHandle h, std::span<const std::uint8_t> data) {
  if (h == kInvalidSerialHandle) return 0;
  std::size_t done = 0;
  // The port is non-blocking; give a full output buffer a short while to drain.
  for (int round = 0; done < data.size() && round < 50; ++round) {
    const ssize_t w = ::write(Fd(h), data.data() + done, data.size() - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd p{Fd(h), POLLOUT, 0};
    ::poll(&p, 1, 2);
  }
  return done;
}

void SystemPlatform::SerialWaitInput(SerialHandle h, int ms) {
  if (h != kInvalidSerialHandle) {
    pollfd p{Fd(h), POLLIN, 0};
    const int r = ::poll(&p, 1, ms < 0 ? 0 : ms);
    // A hung-up port reports POLLHUP at once; pause rather than spin.
    if (r == 0 || (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0)) return;
  }
  SleepMs(1);
}

void SystemPlatform::SerialEnsureBaudRate(SerialHandle h) {
  termios tio{};
  if (h == kInvalidSerialHandle || ::tcgetattr(Fd(h), &tio) != 0) return;
  if (::cfgetospeed(&tio) != B38400 || ::cfgetispeed(&tio) != B38400) {
    ::cfsetispeed(&tio, B38400);
    ::cfsetospeed(&tio, B38400);
    ::tcsetattr(Fd(h), TCSANOW, &tio);
  }
}

// The listing opens no port: on a real UART or USB adapter an open alone changes the modem lines.
// The state comes from the checks before an open and the access rights; the exclusive flag of
// another program cannot be seen this way (that port shows as free, and a search skips it).
SerialOpenResult SystemPlatform::ProbePath(const std::string& path) {
  struct stat st {};
  std::string resolved;
  SerialOpenResult result = CheckBeforeOpen(path, *RecentSurvey(), &st, &resolved);
  if (result.status == SerialOpenStatus::kOpened && ::access(path.c_str(), R_OK | W_OK) != 0) {
    const int err = errno;
    return Refused(SerialOpenStatus::kPermissionDenied, ErrorText(err), GroupOf(path));
  }
  return result;
}

void EnsureStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: this one, as the lower ones are open by now.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) ::close(null);
  }
}

void EnsureDescriptorsFor(std::size_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  // What is open already, the ports, the socket and what the search reads meanwhile (/proc, the
  // lock folders, the network list).
  constexpr rlim_t kHeadroom = 64;
  const rlim_t want = static_cast<rlim_t>(needed) + kHeadroom + 3;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? want : std::min(want, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void WriteSerialForExit(SerialHandle h, std::span<const std::uint8_t> frame) {
  const int fd = Fd(h);
  std::size_t done = 0;
  for (int round = 0; done < frame.size() && round < 50; ++round) {
    const ssize_t w = ::write(fd, frame.data() + done, frame.size() - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 2);
    }
  }
  // On a real line the frame takes 35 ms at 38400 baud: it leaves before the settings go back.
  ::tcdrain(fd);
}

void ReleaseSerialPortsForExit() {
  for (HeldPort& p : g_held) {
    const int fd = p.fd;
    if (fd < 0) continue;
    p.fd = -1;
    RestoreLineState(fd, p.found);
    if (p.exclusiveSet) ::ioctl(fd, TIOCNXCL);
    RemoveOwnLockFileForExit(p.lockFile);
    ::close(fd);
  }
  RemoveLockTemplateForExit();
}

}  // namespace quillon
