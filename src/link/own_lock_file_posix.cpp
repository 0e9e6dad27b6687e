// The tool's own lock file: linked in under the port's lock name from one file per process, so
// that it appears complete or not at all and never replaces a competitor's lock.

#include "link/own_lock_file_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace quillon {
namespace {

// The identity of this process's template (see LockTemplate): it tells the tool's locks from
// any other file that names this process.
struct OwnLockIdentity {
  dev_t dev = 0;
  ino_t inode = 0;
};
OwnLockIdentity g_ownLock;

// The tool's lock file says the same for every port (this process's pid), so it is written once
// per process under a name of its own and linked in under each port's lock name: the lock
// appears complete or not at all, link() never replaces anything, and a search of 256 ports
// makes one file, not 256. Its identity (g_ownLock) tells the tool's locks from others. Removed
// with the last lock that uses it. Plain and fixed-size, so that a signal handler can remove it.
struct LockTemplate {
  char path[128] = {};
  int users = 0;
};
LockTemplate g_template;
// The tool's lock bookkeeping, when the ports of a search are opened side by side. Never
// destroyed: a port still held when the process exits removes its lock from a static destructor.
std::mutex& LockMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

bool MakeTemplate(const std::string& dir) {
  if (g_template.path[0] != '\0') return true;
  const std::string path = dir + "/" + TemplateName(::getpid());
  if (path.size() >= sizeof g_template.path) return false;
  ::unlink(path.c_str());
  // Named before it exists: a signal that ends the process from here on removes it.
  std::memcpy(g_template.path, path.c_str(), path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    g_template.path[0] = '\0';
    return false;
  }
  ::fchmod(fd, 0644);  // readable by every other tool, whatever the umask
  char text[16];
  const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  struct stat st {};
  const bool written =
      ::write(fd, text, static_cast<std::size_t>(len)) == len && ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!written) {
    ::unlink(path.c_str());
    g_template.path[0] = '\0';
    return false;
  }
  g_ownLock = {st.st_dev, st.st_ino};
  return true;
}

void DropTemplateUser(bool was_user) {
  if (was_user && g_template.users > 0) --g_template.users;
  if (g_template.users == 0 && g_template.path[0] != '\0') {
    ::unlink(g_template.path);
    g_template.path[0] = '\0';
  }
}

// The template's folder, once there is a template: every lock of the process is linked there.
std::string TemplateFolder() {
  const std::string path = g_template.path;
  return path.substr(0, path.rfind('/'));
}

// Whether the file at `path` is the lock that was judged stale: the same file, unchanged.
bool IsJudgedLock(const std::string& path, const StaleLock& judged) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_dev != judged.dev || st.st_ino != judged.inode) return false;
  // (The rename itself changes the status time: only the content's time tells a rewrite.)
  if (st.st_mtim.tv_sec != judged.mtime.tv_sec || st.st_mtim.tv_nsec != judged.mtime.tv_nsec) {
    return false;
  }
  const LockState again = ReadLock(path);
  return again.kind == LockState::Kind::kStale && again.stale.content == judged.content;
}

}  // namespace

bool IsOwnLockFile(const struct stat& st) {
  return g_ownLock.inode != 0 && st.st_ino == g_ownLock.inode && st.st_dev == g_ownLock.dev;
}

std::string TemplateName(pid_t pid) {
  return "LTMP." + std::to_string(pid);
}

std::optional<StaleLock> JudgeStale(const std::string& file) {
  const LockState state = ReadLock(file);
  if (state.kind != LockState::Kind::kStale) return std::nullopt;
  return state.stale;
}

bool RemoveStaleLock(const std::string& lock, const std::string& aside, const StaleLock& judged) {
  // Moved aside first, then looked at again: only the very file that was judged is removed. A
  // competitor's fresh lock that took its place, or the same file rewritten in place meanwhile,
  // is put back.
  if (::rename(lock.c_str(), aside.c_str()) != 0) return false;
  if (!IsJudgedLock(aside, judged)) {
    // Put back; should yet another lock have appeared meanwhile, the port is held either way.
    if (::link(aside.c_str(), lock.c_str()) == 0 || errno == EEXIST) ::unlink(aside.c_str());
    return false;
  }
  ::unlink(aside.c_str());
  // The tool's own lock of a process that is gone was a link to that process's template: it goes
  // with it, instead of piling up.
  const std::string dir = lock.substr(0, lock.rfind('/') + 1);
  const std::string left_template = dir + TemplateName(judged.pid);
  struct stat st {};
  if (judged.pid != ::getpid() && ::lstat(left_template.c_str(), &st) == 0 &&
      st.st_dev == judged.dev && st.st_ino == judged.inode) {
    ::unlink(left_template.c_str());
  }
  return true;
}

OwnLockFile& OwnLockFile::operator=(OwnLockFile&& other) noexcept {
  if (this != &other) {
    Remove();
    m_path = std::exchange(other.m_path, {});
  }
  return *this;
}

bool OwnLockFile::Take(const std::string& resolved, PortClaim* claim) {
  Remove();
  const std::lock_guard<std::mutex> guard(LockMutex());
  if (g_template.path[0] == '\0') {
    const std::vector<std::string> dirs = LockDirectories();
    if (dirs.empty() || !MakeTemplate(dirs.front())) return true;  // no lock folder we may write
  }
  const std::string lock = TemplateFolder() + "/" + OwnLockFileName(resolved);
  const std::string aside = std::string(g_template.path) + ".stale";
  bool held = false;
  for (int attempt = 0; attempt < 3 && !held; ++attempt) {
    if (::link(g_template.path, lock.c_str()) == 0) {
      held = true;
      break;
    }
    if (errno != EEXIST) break;
    const LockState state = ReadLock(lock);
    if (state.kind == LockState::Kind::kHeld) {
      DropTemplateUser(false);
      *claim = state.claim;
      if (state.pid > 0) claim->detail += DescribeProcess(state.pid);
      return false;
    }
    if (state.kind == LockState::Kind::kNotAFile) break;  // not a lock: not ours to remove
    if (state.kind != LockState::Kind::kStale) continue;  // gone meanwhile: try again
    if (!RemoveStaleLock(lock, aside, state.stale)) {
      // Not the lock that was judged stale: a competitor's, live or not yet readable.
      DropTemplateUser(false);
      *claim = {PortClaim::Kind::kLockFile, "lock file " + lock + " (changed while it was read)"};
      return false;
    }
  }
  if (!held) {
    DropTemplateUser(false);
    return true;
  }
  ++g_template.users;
  m_path = lock;
  return true;
}

void OwnLockFile::Remove() {
  if (m_path.empty()) return;
  const std::lock_guard<std::mutex> guard(LockMutex());
  // Known by its identity, not by reading it: no descriptor is needed, so a process at its
  // descriptor limit still removes its locks.
  struct stat st {};
  if (::lstat(m_path.c_str(), &st) == 0 && IsOwnLockFile(st)) ::unlink(m_path.c_str());
  m_path.clear();
  DropTemplateUser(true);
}

void RemoveOwnLockFileForExit(const char* lock_file) {
  struct stat st {};
  if (lock_file[0] != '\0' && ::lstat(lock_file, &st) == 0 && IsOwnLockFile(st)) {
    ::unlink(lock_file);
  }
}

void RemoveLockTemplateForExit() {
  if (g_template.path[0] != '\0') ::unlink(g_template.path);
}

}  // namespace quillon
