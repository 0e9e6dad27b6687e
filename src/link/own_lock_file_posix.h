// The tool's own UUCP lock file on a port it holds, taken so that a competitor's fresh lock is
// never lost, and removed while it is still the tool's own.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

#include "link/port_holders_posix.h"

namespace quillon {

// The tool's own lock for one resolved device: the one owner of that file, which it removes when
// it goes. Move-only; the open port holds it.
class OwnLockFile {
 public:
  OwnLockFile() = default;
  ~OwnLockFile() { Remove(); }
  OwnLockFile(OwnLockFile&& other) noexcept : m_path(std::exchange(other.m_path, {})) {}
  OwnLockFile& operator=(OwnLockFile&& other) noexcept;
  OwnLockFile(const OwnLockFile&) = delete;
  OwnLockFile& operator=(const OwnLockFile&) = delete;

  // True when the tool holds the lock (path() names it then) or when no lock folder is writable
  // here; false, with *claim, when another process holds it.
  bool Take(const std::string& resolved, PortClaim* claim);
  // The lock file; empty when none is held.
  const std::string& path() const { return m_path; }
  // Removes the lock file while it is still the tool's own.
  void Remove();

 private:
  std::string m_path;
};

// Whether the file is one of the tool's own locks: a link to this process's template.
bool IsOwnLockFile(const struct stat& st);

// The file a process of the tool links its locks from: LTMP.<pid>.
std::string TemplateName(pid_t pid);

// The lock file, when it is stale.
std::optional<StaleLock> JudgeStale(const std::string& file);
// Removes the stale lock through `aside` (a name of the tool's own in the same folder). False,
// with the lock put back, when what was moved is not exactly the lock that was judged. A
// template of the gone process that the lock was linked from goes with it.
bool RemoveStaleLock(const std::string& lock, const std::string& aside, const StaleLock& judged);

// From a signal handler: only async-signal-safe calls. The lock file, read from the published
// view of its owner, while it is still the tool's own.
void RemoveOwnLockFileForExit(const char* lock_file);
// From a signal handler, after every lock file was removed: the file the locks were linked from.
void RemoveLockTemplateForExit();

}  // namespace quillon
