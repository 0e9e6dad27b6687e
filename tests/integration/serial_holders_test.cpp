// Another program's port is never harmed: real foreign holders of a pseudo-terminal, and what an
// unprivileged user can do with the port afterwards.
//
// The lock folder is /run/lock, as the tool finds it, but a fresh one: an empty tmpfs mounted there
// in a mount namespace of this test's own (the tool it starts inherits it). So a developer's
// machine runs these tests too, without root, in a user namespace where the user is root; the
// machine's own lock folder neither shows another program's locks to the test nor keeps what a
// run of the tool leaves behind, and the test sees that the tool leaves nothing there.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "link/system_platform.h"
#include "program/text_sanitizer.h"
#include "support/posix_fixtures.h"
#include "support/process_runner.h"

namespace quillon {
namespace {

// kNothing: a live process that does not touch the port (a lock file may name it).
enum class Hold { kNothing, kOpen, kFlock, kExclusive };

// A child process that opens the port and holds it as told until it is released.
class Holder {
 public:
  Holder(const std::string& path, Hold hold, const char* name = nullptr) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(m_release) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      // Only what the case says: not the test's own descriptors of the port.
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != ready[1] && fd != m_release[0]) ::close(fd);
      }
      if (name) ::prctl(PR_SET_NAME, name);
      const int fd =
          hold == Hold::kNothing ? 0 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      bool ok = fd >= 0;
      if (ok && hold == Hold::kFlock) ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (ok && hold == Hold::kExclusive) ok = ::ioctl(fd, TIOCEXCL) == 0;
      const char state = ok ? 'y' : 'n';
      (void)!::write(ready[1], &state, 1);
      char byte = 0;
      (void)!::read(m_release[0], &byte, 1);
      if (hold == Hold::kExclusive) ::ioctl(fd, TIOCNXCL);  // a well-behaved program
      ::_exit(0);
    }
    ::close(ready[1]);
    char state = 0;
    m_ok = ::read(ready[0], &state, 1) == 1 && state == 'y';
    ::close(ready[0]);
  }
  ~Holder() { Release(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  bool ok() const { return m_ok; }
  pid_t pid() const { return m_pid; }
  void Release() {
    if (m_pid <= 0) return;
    (void)!::write(m_release[1], "x", 1);
    ::waitpid(m_pid, nullptr, 0);
    ::close(m_release[0]);
    ::close(m_release[1]);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  int m_release[2] = {-1, -1};
  bool m_ok = false;
};

constexpr char kLockFolder[] = "/run/lock";

bool WriteSmallFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

// This process (single-threaded still: gtest has started no thread) moves into a mount namespace
// of its own, with an empty tmpfs on the lock folder; a user other than root first enters a user
// namespace where it is root. Empty on success, else why not.
std::string EnterOwnLockFolder() {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (uid != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      return std::string("no user namespace could be made: ") + std::strerror(errno);
    }
    if (!WriteSmallFile("/proc/self/setgroups", "deny") ||
        !WriteSmallFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteSmallFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "the user namespace's id maps could not be written";
    }
  } else if (::unshare(CLONE_NEWNS) != 0) {
    return std::string("no mount namespace could be made: ") + std::strerror(errno);
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", kLockFolder, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=1777") != 0) {
    return std::string("no tmpfs could be mounted on /run/lock: ") + std::strerror(errno);
  }
  return {};
}

// The names in the lock folder.
std::vector<std::string> LockFolderEntries() {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(kLockFolder)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        names.push_back(entry->d_name);
      }
    }
    ::closedir(dir);
  }
  return names;
}

class SerialHoldersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_realRoot = ::geteuid() == 0;
    s_noLockFolder = EnterOwnLockFolder();
  }

  void SetUp() override {
    if (!m_pty.ok()) GTEST_SKIP() << "no pseudo-terminal could be made here";
    if (!s_noLockFolder.empty()) GTEST_SKIP() << s_noLockFolder;
    m_path = m_pty.slavePath();
    m_number = m_path.substr(m_path.rfind('/') + 1);
    struct stat st {};
    ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
    char svr4[40];
    std::snprintf(svr4, sizeof svr4, "/run/lock/LK.%03u.%03u.%03u", major(st.st_dev),
                  major(st.st_rdev), minor(st.st_rdev));
    m_locks = {"/run/lock/LCK..pts_" + m_number, "/run/lock/LCK.." + m_number, svr4};
  }
  void TearDown() override {
    if (m_path.empty()) return;  // skipped
    for (const std::string& lock : m_locks) ::unlink(lock.c_str());
    EXPECT_EQ(LockFolderEntries(), std::vector<std::string>{})
        << "the tool left files in the lock folder";
  }

  // The settings the test set up stay with the pseudo-terminal; the test itself must not hold
  // its terminal side while the tool runs as another process, or it would be a holder too.
  void LetGoOfThePort() { ::close(m_pty.TakeSlave()); }

  // What an unprivileged user gets: open the port and flock it (flock(1) does both). In a user
  // namespace the test itself is that user: its root there has no privilege over the terminal's
  // exclusive flag.
  bool NobodyCanOpenAndLock() {
    ::chmod(m_path.c_str(), 0666);
    std::vector<std::string> argv = {"/usr/bin/flock", "-n", m_path, "true"};
    if (s_realRoot) argv.insert(argv.begin(), std::begin(kAsNobody), std::end(kAsNobody));
    return testing::RunProcess(argv, 5000).exitCode == 0;
  }

  static constexpr const char* kAsNobody[] = {"/usr/bin/setpriv", "--reuid=nobody",
                                              "--regid=nogroup", "--clear-groups"};
  static inline bool s_realRoot = false;
  static inline std::string s_noLockFolder;

  testing::PtyPair m_pty;
  std::string m_path;
  std::string m_number;              // N of /dev/pts/N
  std::vector<std::string> m_locks;  // the tool's name, picocom's name, the SVR4 name
};

TEST_F(SerialHoldersTest, AHeldPortIsLeftAsItWasFound) {
  ASSERT_TRUE(NobodyCanOpenAndLock()) << "the port before any holder";
  enum class Lock { kNone, kToolName, kPicocomName, kSvr4Name, kBinary, kShortAscii, kDead };
  struct Case {
    const char* what;
    Hold hold;
    Lock lock;
    SerialOpenStatus status;
    const char* detail;  // and the holder's pid, when busy
  };
  const Case cases[] = {
      {"flock", Hold::kFlock, Lock::kNone, SerialOpenStatus::kBusy, "flock"},
      {"exclusive flag (root opens it anyway)", Hold::kExclusive, Lock::kNone,
       SerialOpenStatus::kBusy, ""},
      {"plain open without any lock", Hold::kOpen, Lock::kNone, SerialOpenStatus::kBusy, ""},
      {"lock file under the tool's name", Hold::kNothing, Lock::kToolName, SerialOpenStatus::kBusy,
       "lock file /run/lock/LCK..pts_"},
      {"lock file under picocom's name", Hold::kNothing, Lock::kPicocomName,
       SerialOpenStatus::kBusy, "lock file /run/lock/LCK.."},
      {"lock file in the SVR4 form", Hold::kNothing, Lock::kSvr4Name, SerialOpenStatus::kBusy,
       "lock file /run/lock/LK."},
      {"binary pid", Hold::kNothing, Lock::kBinary, SerialOpenStatus::kBusy, "lock file"},
      {"4-byte ASCII pid of a live process", Hold::kNothing, Lock::kShortAscii,
       SerialOpenStatus::kBusy, "pid 1"},
      {"stale lock file", Hold::kNothing, Lock::kDead, SerialOpenStatus::kOpened, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Holder holder(m_path, c.hold);
    ASSERT_TRUE(holder.ok());
    int binary = holder.pid();
    switch (c.lock) {
      case Lock::kNone:
        break;
      case Lock::kToolName:
        ASSERT_TRUE(testing::WriteWholeFile(m_locks[0], testing::LockText(holder.pid())));
        break;
      case Lock::kPicocomName:
        ASSERT_TRUE(testing::WriteWholeFile(m_locks[1], testing::LockText(holder.pid())));
        break;
      case Lock::kSvr4Name:
        ASSERT_TRUE(testing::WriteWholeFile(m_locks[2], testing::LockText(holder.pid())));
        break;
      case Lock::kBinary:
        ASSERT_TRUE(
            testing::WriteWholeFile(m_locks[0], std::string(reinterpret_cast<char*>(&binary), 4)));
        break;
      case Lock::kShortAscii:
        ASSERT_TRUE(testing::WriteWholeFile(m_locks[0], "  1\n"));  // init: always alive
        break;
      case Lock::kDead:
        ASSERT_TRUE(testing::WriteWholeFile(m_locks[0], testing::LockText(testing::GonePid())));
        break;
    }
    const mode_t umask_before = ::umask(077);
    SystemPlatform platform;
    const SerialOpenResult opened = platform.OpenPath(m_path);
    ::umask(umask_before);
    EXPECT_EQ(opened.status, c.status) << opened.detail;
    EXPECT_NE(opened.detail.find(c.detail), std::string::npos) << opened.detail;
    if (c.status == SerialOpenStatus::kBusy && c.lock != Lock::kShortAscii) {
      EXPECT_NE(opened.detail.find("pid " + std::to_string(holder.pid())), std::string::npos)
          << opened.detail;
    }
    if (opened.handle != kInvalidSerialHandle) {
      // While the tool holds it, nobody else may have it; the stale lock became the tool's,
      // readable by every other tool although the umask said otherwise.
      EXPECT_FALSE(NobodyCanOpenAndLock());
      struct stat lock {};
      ASSERT_EQ(::stat(m_locks[0].c_str(), &lock), 0);
      EXPECT_EQ(lock.st_mode & 0777, 0644u);
      platform.SerialClose(opened.handle);
      EXPECT_NE(::access(m_locks[0].c_str(), F_OK), 0) << "the tool's lock file is removed";
    }
    holder.Release();
    for (const std::string& lock : m_locks) ::unlink(lock.c_str());
    EXPECT_TRUE(NobodyCanOpenAndLock()) << "afterwards the port is as it was";
  }
}

termios SettingsOf(const std::string& path) {
  termios tio{};
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  return tio;
}

// Settings a search would change: 9600 baud, echo, HUPCL, no CLOCAL.
termios SetForeignSettings(const std::string& path) {
  termios tio = SettingsOf(path);
  tio.c_cflag |= HUPCL;
  tio.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  tio.c_lflag |= ECHO;
  ::cfsetospeed(&tio, B9600);
  ::cfsetispeed(&tio, B9600);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
  ::close(fd);
  return SettingsOf(path);
}

TEST_F(SerialHoldersTest, AListingLeavesTheLineSettingsAlone) {
  const termios before = SetForeignSettings(m_path);
  LetGoOfThePort();
  const auto r = testing::RunProcess(
      {QUILLON_CLI_PATH, "--list-ports", "--port", m_path, "--port", "/dev/null", "--no-udp"},
      10000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("COM1  " + m_path + "  free"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COM2  /dev/null  not a serial port"), std::string::npos) << r.out;
  const termios after = SettingsOf(m_path);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the listing changed the settings";
}

// The whole tool against holders it must see before it opens anything, and the names they go by.
TEST_F(SerialHoldersTest, TheToolSeesEveryHolderAndLeavesThePortAsFound) {
  const termios before = SetForeignSettings(m_path);
  LetGoOfThePort();
  struct Case {
    const char* what;
    Hold hold;
    const char* name;                           // the holder's process name
    enum { kNoLock, kFifo, kUnreadable } lock;  // at picocom's name for the port
    bool unprivileged;                          // the tool runs as nobody
    const char* busy;  // the reason on standard error, then in --json; nullptr: searched
    const char* busyJson;
    bool withPid;  // the reason ends with the holder's pid
  };
  const Case cases[] = {
      {"a terminal program without locks", Hold::kOpen, "minicom", Case::kNoLock, false,
       "busy (minicom, pid ", "busy (minicom, pid ", true},
      {"a holder named with escape sequences", Hold::kOpen, "\x1b[2J\x1b[Hdone\xff", Case::kNoLock,
       false, "busy (\\x1B[2J\\x1B[Hdone\\xFF, pid ",
       "busy (\\u001b[2J\\u001b[Hdone\xEF\xBF\xBD, pid ", true},
      {"a root program's flock, seen by a user who may not see its descriptors", Hold::kFlock,
       "picocom", Case::kNoLock, true, "busy (locked by another program (flock): picocom, pid ",
       "busy (locked by another program (flock): picocom, pid ", true},
      {"a lock file the user may not read", Hold::kNothing, nullptr, Case::kUnreadable, true,
       "(unreadable))", "(unreadable))", false},
      {"a FIFO at the lock file's name", Hold::kNothing, nullptr, Case::kFifo, false, nullptr,
       nullptr, false},
      {"nobody holds it", Hold::kNothing, nullptr, Case::kNoLock, false, nullptr, nullptr, false},
  };
  ::chmod(m_path.c_str(), 0666);
  std::string left_out;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.unprivileged && !s_realRoot) {
      left_out += std::string(left_out.empty() ? "" : "; ") + c.what;
      continue;
    }
    Holder holder(m_path, c.hold, c.name);
    ASSERT_TRUE(holder.ok());
    if (c.lock == Case::kFifo) {
      ASSERT_EQ(::mkfifo(m_locks[1].c_str(), 0666), 0);
    } else if (c.lock == Case::kUnreadable) {
      ASSERT_TRUE(testing::WriteWholeFile(m_locks[1], testing::LockText(holder.pid())));
      ASSERT_EQ(::chmod(m_locks[1].c_str(), 0600), 0);
    }
    for (const bool json : {false, true}) {
      // --json gives the same reason, escaped its own way: the rows whose texts differ show it.
      if (json && (c.busy == nullptr || std::string(c.busy) == c.busyJson)) continue;
      std::vector<std::string> args = {QUILLON_CLI_PATH, "--serial", "1234",     "--port",
                                       m_path,           "--no-udp", "--verbose"};
      if (c.unprivileged) args.insert(args.begin(), std::begin(kAsNobody), std::end(kAsNobody));
      if (json) args.push_back("--json");
      const std::int64_t start = SteadyClockMs();
      const auto r = testing::RunProcess(args, 10000);
      EXPECT_LT(SteadyClockMs() - start, 2500) << "one answer window, no hang";
      EXPECT_EQ(r.exitCode, 3) << r.err;
      if (c.busy) {
        const std::string reason = std::string(json ? c.busyJson : c.busy) +
                                   (c.withPid ? std::to_string(holder.pid()) + ")" : "");
        EXPECT_NE((json ? r.out : r.err).find(reason), std::string::npos) << r.out << r.err;
      } else {
        EXPECT_EQ(r.err.find("busy"), std::string::npos) << r.err;
      }
      for (const std::string& out : {r.out, r.err}) {
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        EXPECT_EQ(ValidUtf8(out), out) << "a control character or invalid UTF-8 in: " << out;
      }
    }
    holder.Release();
    ::unlink(m_locks[1].c_str());
    const termios after = SettingsOf(m_path);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the port's settings changed";
    EXPECT_TRUE(NobodyCanOpenAndLock()) << "the exclusive flag or a lock was left behind";
  }
  if (!left_out.empty()) GTEST_SKIP() << "rows that need a second user (run as root): " << left_out;
}

// The terminal the tool runs in is never searched: it is the user's own (--port /dev/pts/N from
// inside that terminal, or /dev/tty, would write the request into it).
TEST_F(SerialHoldersTest, TheOwnTerminalIsNeverSearched) {
  LetGoOfThePort();
  // A new session whose controlling terminal is the pseudo-terminal; the tool keeps no
  // descriptor of it and writes its output to pipes.
  const std::vector<std::string> in_session = {"/usr/bin/setsid",
                                               "-w",
                                               "/bin/sh",
                                               "-c",
                                               "exec 3<>\"$0\"; exec 3>&-; shift; exec \"$@\"",
                                               m_path,
                                               "sh",
                                               QUILLON_CLI_PATH};
  auto run = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = in_session;
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::RunProcess(argv, 10000);
  };
  const auto listing = run({"--list-ports", "--port", m_path, "--no-udp"});
  EXPECT_NE(
      listing.out.find("COM1  " + m_path + "  not searched (the terminal this program runs in)"),
      std::string::npos)
      << listing.out << listing.err;
  const auto start = run({"--serial", "1234", "--port", m_path, "--no-udp"});
  EXPECT_EQ(start.exitCode, 3) << start.err;
  EXPECT_EQ(m_pty.Receive(12, 200), "") << "the identify request went into the user's terminal";

  for (const char* path : {"/dev/tty", "/dev/null", "/dev/ptmx"}) {
    const auto r = testing::RunProcess({QUILLON_CLI_PATH, "--serial", "1", "--port", path}, 10000);
    EXPECT_EQ(r.exitCode, 2) << path;
    EXPECT_EQ(r.err.rfind(std::string("quillon-reconfigurator-cli: ") + path, 0), 0u) << r.err;
  }
}

}  // namespace
}  // namespace quillon
