// Replacing a stale UUCP lock never removes a live one: the lock is judged, then a competitor
// acts before the tool moves it (the race between the check and the rename), and what was moved
// is looked at again. In a folder of the test's own, so no privilege is needed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "link/own_lock_file_posix.h"
#include "link/port_holders_posix.h"
#include "support/posix_fixtures.h"

namespace quillon {
namespace {

using testing::GonePid;
using testing::LockText;

void Write(const std::string& path, const std::string& text) {
  ASSERT_TRUE(testing::WriteWholeFile(path, text)) << path;
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/quillon-locks-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    m_dir = dir;
  }
  void TearDown() override {
    for (const char* name : {"LCK..ttyX", "aside", "LTMP.x"})
      ::unlink((m_dir + "/" + name).c_str());
    if (m_gone != 0) ::unlink((m_dir + "/LTMP." + std::to_string(m_gone)).c_str());
    ::rmdir(m_dir.c_str());
  }
  std::string m_dir;
  pid_t m_gone = 0;
};

TEST_F(LockFileTest, OnlyTheLockThatWasJudgedStaleIsRemoved) {
  struct Case {
    const char* what;
    // What a competitor does between the judgement and the removal.
    std::function<void(const std::string& lock)> meanwhile;
    bool removed;
    bool liveAfter;  // the competitor's live lock is there afterwards
  };
  const std::string live = LockText(::getppid());
  const Case cases[] = {
      {"nobody", [](const std::string&) {}, true, false},
      {"rewritten in place", [&live](const std::string& lock) { Write(lock, live); }, false, true},
      {"deleted and made anew",
       [&live](const std::string& lock) {
         ::unlink(lock.c_str());
         Write(lock, live);
       },
       false, true},
      {"touched: another file time",
       [](const std::string& lock) {
         const timespec times[2] = {{1, 0}, {1, 0}};
         ::utimensat(AT_FDCWD, lock.c_str(), times, 0);
       },
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string lock = m_dir + "/LCK..ttyX";
    Write(lock, LockText(GonePid()));
    const std::optional<StaleLock> judged = JudgeStale(lock);
    ASSERT_TRUE(judged) << "a lock of a gone process is stale";
    c.meanwhile(lock);
    EXPECT_EQ(RemoveStaleLock(lock, m_dir + "/aside", *judged), c.removed);
    EXPECT_EQ(Exists(lock), !c.removed);
    if (c.liveAfter) {
      EXPECT_EQ(Read(lock), live);
    }
    EXPECT_FALSE(Exists(m_dir + "/aside"));
    ::unlink(lock.c_str());
  }
}

// A lock naming this very process that it did not make (the shell that exec'ed it left it) holds
// nothing; the tool's own lock template of a gone process goes with that process's stale lock.
TEST_F(LockFileTest, OwnPidAndLeftTemplates) {
  const std::string lock = m_dir + "/LCK..ttyX";
  Write(lock, LockText(::getpid()));
  EXPECT_TRUE(JudgeStale(lock)) << "a lock naming this process that it did not make";
  ::unlink(lock.c_str());

  m_gone = GonePid();
  const std::string left = m_dir + "/" + TemplateName(m_gone);
  Write(left, LockText(m_gone));
  ASSERT_EQ(::link(left.c_str(), lock.c_str()), 0);
  const std::string other = m_dir + "/LTMP.x";  // not linked: not the stale lock's
  Write(other, LockText(m_gone));
  const std::optional<StaleLock> judged = JudgeStale(lock);
  ASSERT_TRUE(judged);
  EXPECT_TRUE(RemoveStaleLock(lock, m_dir + "/aside", *judged));
  EXPECT_FALSE(Exists(lock));
  EXPECT_FALSE(Exists(left)) << "the gone process's template piles up";
  EXPECT_TRUE(Exists(other));
}

}  // namespace
}  // namespace quillon
