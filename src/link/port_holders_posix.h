// Who holds a serial port, found without opening it: UUCP lock files under every name that
// serial programs use, advisory locks on the device (/proc/locks), other processes' open
// descriptors (/proc/PID/fd), the system consoles and this process's own terminal. The tool's
// own lock file is own_lock_file_posix.h.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

// Why a port is not the tool's to touch.
struct PortClaim {
  enum class Kind {
    kConsole,       // an active system console: never searched
    kOwnTerminal,   // the terminal this program runs in: never searched
    kLockFile,      // a live (or unreadable) UUCP lock file
    kAdvisoryLock,  // flock or fcntl lock of another process
    kOpenElsewhere  // another process has the device open
  };
  Kind kind = Kind::kOpenElsewhere;
  std::string detail;  // for the user: the file, the program and its pid (raw, not escaped)
};

// One look at the system's processes and locks, taken once per search and then asked for each
// port. Only what this user may read is seen.
class PortHolderSurvey {
 public:
  static PortHolderSurvey Take();

  // Why the device node `path` (stat `st`, the resolved device `resolved`) is claimed, or none.
  // The lock files are read afresh: they are the cheapest look and the most likely to change.
  std::optional<PortClaim> Claim(const std::string& path, const std::string& resolved,
                                 const struct stat& st) const;

  std::size_t ProcessesSeen() const { return m_processes; }

 private:
  // Device number -> (process, descriptor) of each other process that has it open.
  std::multimap<dev_t, std::pair<pid_t, int>> m_openBy;
  // (filesystem device, inode) of a locked file -> the process that holds the lock; read from
  // /proc/locks only for the processes whose descriptors this user may not see.
  std::map<std::pair<dev_t, ino_t>, pid_t> m_lockedBy;
  // A lock folder and the names in it: a port's candidate lock names are read only where a file
  // of that name exists. The list is made again whenever the folder has changed since.
  struct LockFolder {
    std::string path;
    timespec changed{};
    bool settled = false;  // changed before the tick it was listed in: a later change shows
    std::set<std::string> names;
    void Refresh();
  };
  mutable std::vector<LockFolder> m_lockFolders;
  std::set<dev_t> m_consoles;
  std::optional<dev_t> m_ownTerminal;
  std::size_t m_processes = 0;
};

// True for a terminal device: a character device of the tty class, or a pseudo-terminal's
// terminal side (which has no sysfs entry). Asked of the device before anything opens it.
bool IsTerminalDevice(const struct stat& st);
// /dev/tty, /dev/console, /dev/ptmx: tty-class devices that stand for another terminal or make
// new ones, never a serial port of their own.
bool IsTerminalAlias(const struct stat& st);

// "name, pid N" of a process, its name as the system reports it (raw).
std::string DescribeProcess(pid_t pid);

// The lock folders that exist, each once (/var/lock is usually a link to /run/lock).
std::vector<std::string> LockDirectories();

// The lock file name the tool writes for a resolved device: LCK..ttyUSB0, LCK..pts_3.
std::string OwnLockFileName(const std::string& resolved);

// A lock file judged stale (its process is gone, or it names this process, which did not make
// it), as it was when judged.
struct StaleLock {
  pid_t pid = 0;
  dev_t dev = 0;
  ino_t inode = 0;
  timespec mtime{};
  std::string content;
};

// What a lock file says. The folder is world-writable, so the file is opened without following
// links and without waiting (a FIFO planted there would block a plain open), and honoured only
// as a regular file.
struct LockState {
  enum class Kind { kNone, kStale, kHeld, kNotAFile } kind = Kind::kNone;
  PortClaim claim;  // kHeld
  pid_t pid = 0;    // kHeld, kStale: the pid it names (0: none that could be read)
  StaleLock stale;  // kStale: the file as it was judged
};
LockState ReadLock(const std::string& file);

}  // namespace quillon
