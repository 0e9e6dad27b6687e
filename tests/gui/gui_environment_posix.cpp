#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/dialog.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gui/gui_environment.h"
#include "support/simulator_process.h"

extern char** environ;

namespace quillon::testing {
namespace {

constexpr int kXvfbStartTimeoutMs = 10000;
constexpr int kXvfbStopTimeoutMs = 5000;

std::string FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

// Xvfb on the first free display; it writes the display number to a pipe (-displayfd) when it
// is ready to accept clients.
class XvfbServer {
 public:
  ~XvfbServer() { Stop(); }

  bool Start(std::string* error) {
    const std::string program = FindInPath("Xvfb");
    if (program.empty()) {
      *error = "Xvfb is not installed (the dialog tests need a virtual X server)";
      return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      *error = "pipe failed";
      return false;
    }
    // Only the write end reaches Xvfb: the child's copy of it is made inheritable.
    constexpr int kChildFd = 3;
    if (fds[1] == kChildFd) {  // dup2 onto itself would keep close-on-exec
      const int moved = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
      ::close(fds[1]);
      fds[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], kChildFd);
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
      posix_spawn_file_actions_adddup2(&actions, devnull, STDOUT_FILENO);
      posix_spawn_file_actions_adddup2(&actions, devnull, STDERR_FILENO);
    }
    std::vector<std::string> args = {program,     "-displayfd", std::to_string(kChildFd),
                                     "-screen",   "0",          "1024x768x24",
                                     "-nolisten", "tcp",        "-noreset"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (devnull >= 0) ::close(devnull);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      m_pid = -1;
      *error = "could not start Xvfb";
      return false;
    }
    std::string number;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kXvfbStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      char c = 0;
      if (::read(fds[0], &c, 1) != 1) break;  // Xvfb ended
      if (c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
      Stop();
      *error =
          "Xvfb did not report a display within " + std::to_string(kXvfbStartTimeoutMs) + " ms";
      return false;
    }
    m_display = ":" + number;
    return true;
  }

  void Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kXvfbStopTimeoutMs);
    while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
  }

  const std::string& display() const { return m_display; }

 private:
  pid_t m_pid = -1;
  std::string m_display;
};

XvfbServer g_xvfb;

}  // namespace

bool StartTestDisplay(std::string* error) {
  if (!g_xvfb.Start(error)) return false;
  // This process only: our display, X11 even where Wayland is the default, and no
  // accessibility bus (it is not there and GTK would wait for it).
  ::setenv("DISPLAY", g_xvfb.display().c_str(), 1);
  ::setenv("GDK_BACKEND", "x11", 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  return true;
}

void StopTestDisplay() {
  g_xvfb.Stop();
}

std::string TestDisplayName() {
  return "Xvfb display " + g_xvfb.display();
}

void PressCloseBox(wxDialog& dialog) {
  dialog.Close();  // what GTK's delete event leads to
}

std::optional<std::set<std::string>> OwnUdpSockets() {
  std::set<std::string> own;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      char target[128] = {};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
      const std::string link(target, n > 0 ? static_cast<std::size_t>(n) : 0);
      if (link.rfind("socket:[", 0) == 0) own.insert(link.substr(8, link.size() - 9));
    }
    ::closedir(dir);
  }
  std::set<std::string> udp;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 10 && fields >> field; ++i) {
    }
    if (own.count(field) != 0) udp.insert(field);
  }
  return udp;
}

struct TestDevice::Simulator {
  SimulatorProcess process;
};

TestDevice::TestDevice() = default;
TestDevice::~TestDevice() = default;

std::string TestDevice::Start(State state, bool* skip) {
  *skip = !SimulatorProcess::Available();
  if (*skip) return "the simulator was not built";
  m_simulator = std::make_unique<Simulator>();
  std::vector<std::string> args = {"--pty", "--serial", "1234"};
  if (state == State::kInUse) args.insert(args.end(), {"--use-count", "1"});
  std::string error;
  if (!m_simulator->process.Start(args, &error)) return "the simulator did not start: " + error;
  m_port = m_simulator->process.PtyPath();
  m_log = m_simulator->process.LogPath();
  m_record = m_simulator->process.RecordPath();
  return {};
}

}  // namespace quillon::testing
