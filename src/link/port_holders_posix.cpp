// Who holds a serial port, asked without opening the port: on a real UART or USB adapter an open
// raises DTR and RTS (and an FTDI adapter is reset), so every check that can be made from the
// outside is made before the open.

#include "link/port_holders_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "link/own_lock_file_posix.h"
#include "link/path_posix.h"

namespace quillon {
namespace {

constexpr const char* kLockDirectories[] = {"/run/lock", "/var/lock"};
// Linux's Unix98 pseudo-terminals: terminal sides have majors 136 to 143 and no sysfs entry.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "4:64" as sysfs writes a device number.
std::optional<dev_t> ParseDeviceNumber(const std::string& text) {
  unsigned major_number = 0;
  unsigned minor_number = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &major_number, &minor_number) != 2) return std::nullopt;
  return makedev(major_number, minor_number);
}

// LCK..ttyUSB0 for /dev/ttyUSB0, LCK..pts_3 for /dev/pts/3: the name under /dev with '/' as '_'.
std::string SlashForm(const std::string& device) {
  std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : BaseName(device);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// Every name under which a serial program may have locked the device: the base name of the
// path it was given (picocom, minicom: LCK..3, LCK..ttyUSB0, the by-id link's name), the name
// under /dev with '/' as '_' (lockdev, this tool), and the SVR4 form by device numbers.
std::vector<std::string> LockNames(const std::string& path, const std::string& resolved,
                                   const struct stat& st) {
  std::vector<std::string> names;
  auto add = [&names](const std::string& name) {
    if (name.empty()) return;
    for (const std::string& n : names) {
      if (n == name) return;
    }
    names.push_back(name);
  };
  add("LCK.." + BaseName(path));
  add("LCK.." + BaseName(resolved));
  add("LCK.." + SlashForm(resolved));
  add("LCK.." + SlashForm(path));
  char svr4[40];
  std::snprintf(svr4, sizeof svr4, "LK.%03u.%03u.%03u", major(st.st_dev), major(st.st_rdev),
                minor(st.st_rdev));
  add(svr4);
  return names;
}

bool IsAlive(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The pid in a lock file: ASCII digits (HDB UUCP: ten characters and a newline) or, in the old
// form, a binary int. Told apart by content, not by size: "123\n" is four bytes too.
std::optional<long> LockPid(const char* text, ssize_t n) {
  bool ascii = n > 0;
  bool digit_seen = false;
  for (ssize_t i = 0; i < n && ascii; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digit_seen = true;
    } else if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
      ascii = false;
    }
  }
  if (ascii && digit_seen) return std::strtol(text, nullptr, 10);
  if (n == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    return binary;
  }
  return std::nullopt;
}

bool AllDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// The terminal this process runs in: field 7 of /proc/self/stat, in the kernel's encoding.
std::optional<dev_t> ControllingTerminal() {
  const std::string stat = ReadFirstLine("/proc/self/stat");
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(paren + 1));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0, tty_nr = 0;
  if (!(fields >> state >> ppid >> pgrp >> session >> tty_nr) || tty_nr == 0) return std::nullopt;
  const auto nr = static_cast<unsigned long>(tty_nr);
  return makedev((nr >> 8) & 0xfffu, (nr & 0xffu) | ((nr >> 12) & 0xfff00u));
}

// The devices behind /dev/console: the names in /sys/class/tty/console/active, and for tty0 the
// virtual terminal it stands for.
std::set<dev_t> ActiveConsoles() {
  std::set<dev_t> consoles;
  std::istringstream names(ReadFirstLine("/sys/class/tty/console/active"));
  for (std::string name; names >> name;) {
    if (name.find('/') != std::string::npos || name == "." || name == "..") continue;
    if (auto dev = ParseDeviceNumber(ReadFirstLine("/sys/class/tty/" + name + "/dev"))) {
      consoles.insert(*dev);
    }
    if (name == "tty0") {
      const std::string vt = ReadFirstLine("/sys/class/tty/tty0/active");
      if (vt.find('/') == std::string::npos && !vt.empty()) {
        if (auto dev = ParseDeviceNumber(ReadFirstLine("/sys/class/tty/" + vt + "/dev"))) {
          consoles.insert(*dev);
        }
      }
    }
  }
  return consoles;
}

// Whether the process holds a lock (flock, fcntl) through that descriptor: its fdinfo lists
// each as "lock:\t1: FLOCK  ADVISORY  WRITE ...".
bool HoldsLock(pid_t pid, int fd) {
  std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("lock:", 0) == 0 && line.find("->") == std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> LockDirectories() {
  std::vector<std::string> dirs;
  for (const char* dir : kLockDirectories) {
    const std::string real = RealPath(dir);
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    bool seen = false;
    for (const std::string& d : dirs) seen = seen || d == real;
    if (!seen) dirs.push_back(real);
  }
  return dirs;
}

LockState ReadLock(const std::string& file) {
  LockState state;
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM || errno == EMFILE || errno == ENFILE) {
      // Not ours to read (or not readable now), so not ours to call stale: its process may well
      // be alive.
      state.kind = LockState::Kind::kHeld;
      state.claim = {PortClaim::Kind::kLockFile, "lock file " + file + " (unreadable)"};
    } else if (errno == ELOOP) {
      state.kind = LockState::Kind::kNotAFile;
    }
    return state;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    state.kind = LockState::Kind::kNotAFile;
    return state;
  }
  char text[64] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  const std::optional<long> pid = LockPid(text, n);
  if (!pid || *pid <= 0 || *pid > INT_MAX) {
    // Half written by a competitor this instant, or of a form we do not know: held either way.
    state.kind = LockState::Kind::kHeld;
    state.claim = {PortClaim::Kind::kLockFile, "lock file " + file + " (content not understood)"};
    return state;
  }
  state.pid = static_cast<pid_t>(*pid);
  // A lock naming this process that the tool did not make (left by the shell that exec'ed it,
  // or by an earlier process of the same pid) holds nothing.
  const bool own_pid_not_ours = state.pid == ::getpid() && !IsOwnLockFile(st);
  if (own_pid_not_ours || !IsAlive(state.pid)) {
    state.kind = LockState::Kind::kStale;
    state.stale = {state.pid, st.st_dev, st.st_ino, st.st_mtim,
                   std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0)};
    return state;
  }
  state.kind = LockState::Kind::kHeld;
  // The process is named only when the claim is shown: the tool's own lock is read back
  // twice per port.
  state.claim = {PortClaim::Kind::kLockFile, "lock file " + file + " of "};
  return state;
}

std::string DescribeProcess(pid_t pid) {
  if (pid <= 0) return "another program";
  const std::string name = ReadFirstLine("/proc/" + std::to_string(pid) + "/comm");
  return (name.empty() ? std::string() : name + ", ") + "pid " + std::to_string(pid);
}

PortHolderSurvey PortHolderSurvey::Take() {
  PortHolderSurvey survey;
  const pid_t self = ::getpid();
  bool unreadable = false;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(proc)) {
      if (!AllDigits(entry->d_name)) continue;
      const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
      if (pid == self) continue;  // this process's own descriptors are the tool's
      ++survey.m_processes;
      const std::string fd_dir = std::string(entry->d_name) + "/fd";
      const int dir_fd =
          ::openat(::dirfd(proc), fd_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd < 0) {
        unreadable = unreadable || errno == EACCES;  // another user's process
        continue;                                    // or one that has just ended
      }
      DIR* fds = ::fdopendir(dir_fd);
      if (!fds) {
        ::close(dir_fd);
        continue;
      }
      while (const dirent* fd_entry = ::readdir(fds)) {
        if (!AllDigits(fd_entry->d_name)) continue;
        struct stat st {};
        // Follows the descriptor's link to what it has open; nothing is opened.
        if (::fstatat(dir_fd, fd_entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode)) {
          survey.m_openBy.emplace(st.st_rdev, std::make_pair(pid, std::atoi(fd_entry->d_name)));
        }
      }
      ::closedir(fds);
    }
    ::closedir(proc);
  }

  // A process that holds a lock on a device has it open, and the lock shows in the descriptor's
  // fdinfo. /proc/locks is read only for the processes whose descriptors this user cannot see:
  // reading it waits for the kernel to quiesce every lock operation (several milliseconds).
  // "1: FLOCK  ADVISORY  WRITE 4211 00:05:87 0 EOF"; "->" marks a waiter, not a holder.
  std::ifstream locks;
  if (unreadable) locks.open("/proc/locks");
  for (std::string line; locks.is_open() && std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string id, type, mode, access, where;
    long pid = 0;
    if (!(fields >> id >> type) || type == "->") continue;
    if (!(fields >> mode >> access >> pid >> where)) continue;
    unsigned fs_major = 0, fs_minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &fs_major, &fs_minor, &inode) != 3) continue;
    if (pid == self) continue;
    survey.m_lockedBy.emplace(
        std::make_pair(makedev(fs_major, fs_minor), static_cast<ino_t>(inode)),
        static_cast<pid_t>(pid));
  }

  for (const std::string& dir : LockDirectories()) {
    LockFolder folder;
    folder.path = dir;
    folder.Refresh();
    survey.m_lockFolders.push_back(std::move(folder));
  }
  survey.m_consoles = ActiveConsoles();
  survey.m_ownTerminal = ControllingTerminal();
  return survey;
}

void PortHolderSurvey::LockFolder::Refresh() {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    names.clear();
    return;
  }
  // A folder's time stamp comes from the kernel's coarse clock, one value per tick: a file made
  // in the same tick as the listing would leave it unchanged. So the stamp is trusted only once
  // that clock has moved past it, and from then on any change shows as another stamp.
  if (settled && st.st_mtim.tv_sec == changed.tv_sec && st.st_mtim.tv_nsec == changed.tv_nsec) {
    return;
  }
  changed = st.st_mtim;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  settled = now.tv_sec > changed.tv_sec ||
            (now.tv_sec == changed.tv_sec && now.tv_nsec > changed.tv_nsec);
  names.clear();
  if (DIR* d = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      if (entry->d_name[0] == 'L') names.insert(entry->d_name);  // LCK.., LK.
    }
    ::closedir(d);
  }
}

std::optional<PortClaim> PortHolderSurvey::Claim(const std::string& path,
                                                 const std::string& resolved,
                                                 const struct stat& st) const {
  if (m_consoles.count(st.st_rdev) != 0) {
    return PortClaim{PortClaim::Kind::kConsole, "the system console"};
  }
  if (m_ownTerminal && *m_ownTerminal == st.st_rdev) {
    return PortClaim{PortClaim::Kind::kOwnTerminal, "the terminal this program runs in"};
  }
  const std::vector<std::string> names = LockNames(path, resolved, st);
  for (LockFolder& folder : m_lockFolders) {
    folder.Refresh();
    for (const std::string& name : names) {
      if (folder.names.count(name) == 0) continue;
      LockState lock = ReadLock(folder.path + "/" + name);
      if (lock.kind != LockState::Kind::kHeld) continue;
      if (lock.pid > 0) lock.claim.detail += DescribeProcess(lock.pid);
      return lock.claim;
    }
  }
  if (const auto it = m_lockedBy.find({st.st_dev, st.st_ino}); it != m_lockedBy.end()) {
    return PortClaim{PortClaim::Kind::kAdvisoryLock,
                     "locked by another program (flock): " + DescribeProcess(it->second)};
  }
  const auto [first, last] = m_openBy.equal_range(st.st_rdev);
  for (auto it = first; it != last; ++it) {
    if (HoldsLock(it->second.first, it->second.second)) {
      return PortClaim{PortClaim::Kind::kAdvisoryLock,
                       "locked by another program (flock): " + DescribeProcess(it->second.first)};
    }
  }
  if (first != last) {
    return PortClaim{PortClaim::Kind::kOpenElsewhere, DescribeProcess(first->second.first)};
  }
  return std::nullopt;
}

bool IsTerminalDevice(const struct stat& st) {
  if (!S_ISCHR(st.st_mode)) return false;
  const unsigned major_number = major(st.st_rdev);
  if (major_number >= kFirstPtyMajor && major_number <= kLastPtyMajor) return true;
  const std::string sysfs = "/sys/dev/char/" + std::to_string(major_number) + ":" +
                            std::to_string(minor(st.st_rdev)) + "/subsystem";
  return BaseName(RealPath(sysfs)) == "tty";
}

bool IsTerminalAlias(const struct stat& st) {
  const unsigned major_number = major(st.st_rdev);
  const unsigned minor_number = minor(st.st_rdev);
  return (major_number == 5 && minor_number <= 2) || (major_number == 4 && minor_number == 0);
}

std::string OwnLockFileName(const std::string& resolved) {
  return "LCK.." + SlashForm(resolved);
}

}  // namespace quillon
