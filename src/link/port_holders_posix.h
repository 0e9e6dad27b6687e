// Who holds a serial port, found without opening it: UUCP lock files under every name that
// serial programs use, advisory locks on the device (/proc/locks), other processes' open
// descriptors (/proc/PID/fd), the system consoles and this process's own terminal. And the
// tool's own lock file, taken so that a competitor's fresh lock is never lost.
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

// The tool's own UUCP lock for the resolved device. Take() is true when the tool holds the lock
// (path() names it then) or when no lock folder is writable here; false, with *claim, when
// another process holds it.
class OwnLockFile {
 public:
  OwnLockFile() = default;
  bool Take(const std::string& resolved, PortClaim* claim);
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// The lock file name the tool writes for a resolved device: LCK..ttyUSB0, LCK..pts_3.
std::string OwnLockFileName(const std::string& resolved);
// The file a process of the tool links its locks from: LTMP.<pid>.
std::string TemplateName(pid_t pid);

// A lock file judged stale (its process is gone, or it names this process, which did not make
// it), as it was when judged.
struct StaleLock {
  pid_t pid = 0;
  dev_t dev = 0;
  ino_t inode = 0;
  timespec mtime{};
  std::string content;
};
// The lock file, when it is stale.
std::optional<StaleLock> JudgeStale(const std::string& file);
// Removes the stale lock through `aside` (a name of the tool's own in the same folder). False,
// with the lock put back, when what was moved is not exactly the lock that was judged. A
// template of the gone process that the lock was linked from goes with it.
bool RemoveStaleLock(const std::string& lock, const std::string& aside, const StaleLock& judged);

// Removes the lock file while it is still the tool's own.
void RemoveOwnLockFile(const char* lock_file);
// The same from a signal handler: only async-signal-safe calls.
void RemoveOwnLockFileForExit(const char* lock_file);
// From a signal handler, after every lock file was removed: the file the locks were linked from.
void RemoveLockTemplateForExit();

}  // namespace quillon
