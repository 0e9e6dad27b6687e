// Another program's port is never harmed: real foreign holders of a pseudo-terminal, and what an
// unprivileged user can do with the port afterwards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/serial_port.h"
#include "support/posix_fixtures.h"
#include "support/process_runner.h"

namespace quillon {
namespace {

enum class Hold { kNone, kFlock, kExclusive };

// A child process that opens the port and holds it as told until it is released.
class Holder {
 public:
  Holder(const std::string& path, Hold hold) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(m_release) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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

// A pid that no process has (any more).
pid_t DeadPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

class SerialHoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_pty.ok()) GTEST_SKIP() << "no pseudo-terminal could be made here";
    m_path = m_pty.slavePath();
    std::string name = m_path.substr(5);  // after /dev/
    std::replace(name.begin(), name.end(), '/', '_');
    m_lock = "/run/lock/LCK.." + name;
  }
  void TearDown() override { ::unlink(m_lock.c_str()); }

  bool WriteLock(pid_t pid) {
    std::FILE* f = std::fopen(m_lock.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "%10d\n", static_cast<int>(pid));
    return std::fclose(f) == 0;
  }

  // What an unprivileged user gets: open the port and flock it (flock(1) does both).
  bool NobodyCanOpenAndLock() {
    ::chmod(m_path.c_str(), 0666);
    const auto r = testing::RunProcess({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                        "--clear-groups", "/usr/bin/flock", "-n", m_path, "true"},
                                       5000);
    return r.exitCode == 0;
  }

  testing::PtyPair m_pty;
  std::string m_path;
  std::string m_lock;
};

TEST_F(SerialHoldersTest, AHeldPortIsLeftAsItWasFound) {
  const bool root = ::geteuid() == 0;
  if (!root) GTEST_SKIP() << "the unprivileged opener (setpriv) and the lock folder need root";
  ASSERT_TRUE(NobodyCanOpenAndLock()) << "the port before any holder";
  struct Case {
    const char* what;
    Hold hold;
    int lockPid;  // 0: no lock file, -1: a dead process's, 1: the holder's
    SerialOpenStatus status;
    const char* detail;
  };
  const Case cases[] = {
      {"flock", Hold::kFlock, 0, SerialOpenStatus::kBusy, "flock"},
      {"exclusive flag only (root opens it anyway)", Hold::kExclusive, 0, SerialOpenStatus::kBusy,
       "TIOCEXCL"},
      {"lock file of a live process", Hold::kNone, 1, SerialOpenStatus::kBusy, "lock file"},
      {"stale lock file", Hold::kNone, -1, SerialOpenStatus::kOpened, ""},
      {"plain open without locks", Hold::kNone, 0, SerialOpenStatus::kOpened, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Holder holder(m_path, c.hold);
    ASSERT_TRUE(holder.ok());
    if (c.lockPid != 0) {
      ASSERT_TRUE(WriteLock(c.lockPid > 0 ? holder.pid() : DeadPid()));
    }
    const SerialOpenResult opened = SystemPlatform::Instance().OpenPath(m_path);
    EXPECT_EQ(opened.status, c.status) << opened.detail;
    EXPECT_NE(opened.detail.find(c.detail), std::string::npos) << opened.detail;
    if (c.lockPid > 0) {
      EXPECT_NE(opened.detail.find(std::to_string(holder.pid())), std::string::npos);
    }
    if (opened.handle != kInvalidSerialHandle) {
      // While the tool holds it, nobody else may have it; the stale lock file became the tool's.
      EXPECT_FALSE(NobodyCanOpenAndLock());
      SystemPlatform::Instance().SerialClose(opened.handle);
      EXPECT_NE(::access(m_lock.c_str(), F_OK), 0) << "the tool's lock file is removed";
    }
    holder.Release();
    ::unlink(m_lock.c_str());
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

TEST_F(SerialHoldersTest, AListingLeavesTheLineSettingsAlone) {
  termios before = SettingsOf(m_path);
  before.c_cflag |= HUPCL;  // settings the tool would change
  before.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  ::cfsetospeed(&before, B9600);
  const int fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
  ::close(fd);
  before = SettingsOf(m_path);
  const auto r = testing::RunProcess(
      {QUILLON_CLI_PATH, "--list-ports", "--port", m_path, "--port", "/dev/null", "--no-udp"},
      10000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("COM1  " + m_path + "  free"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COM2  /dev/null  not a serial port"), std::string::npos) << r.out;
  const termios after = SettingsOf(m_path);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the listing changed the settings";
}

}  // namespace
}  // namespace quillon
