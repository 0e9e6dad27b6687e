#include "support/simulator_process.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "link/platform.h"

extern char** environ;

namespace quillon::testing {
namespace {

bool Contains(const std::vector<std::string>& args, const std::string& name) {
  return std::any_of(args.begin(), args.end(), [&name](const std::string& a) {
    return a == name || a.rfind(name + "=", 0) == 0;
  });
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

bool SimulatorProcess::Available() {
  return !ProgramPath().empty();
}

std::string SimulatorProcess::ProgramPath() {
#ifdef QUILLON_SIMULATOR_PATH
  return QUILLON_SIMULATOR_PATH;
#else
  return "";
#endif
}

std::uint16_t SimulatorProcess::UdpPort() const {
  const std::size_t colon = m_udpEndpoint.rfind(':');
  if (colon == std::string::npos) return 0;
  return static_cast<std::uint16_t>(std::atoi(m_udpEndpoint.c_str() + colon + 1));
}

SimulatorProcess::~SimulatorProcess() {
  Stop();
  RemoveDirectory();
}

bool SimulatorProcess::Start(std::vector<std::string> args, std::string* error) {
  Stop();
  RemoveDirectory();
  m_ptyPath.clear();
  m_udpEndpoint.clear();
  if (!Available()) {
    *error = "the simulator is not built";
    return false;
  }
  char dir_template[] = "/tmp/quillon-sim-XXXXXX";
  if (!mkdtemp(dir_template)) {
    *error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  m_dir = dir_template;
  if (!Contains(args, "--log")) args.insert(args.end(), {"--log", LogPath()});
  if (!Contains(args, "--record-out")) args.insert(args.end(), {"--record-out", RecordPath()});
  if (Contains(args, "--pty") && !Contains(args, "--link")) {
    args.insert(args.end(), {"--link", LinkPath()});
  }
  if (!Contains(args, "--exit-on-stdin-eof")) args.push_back("--exit-on-stdin-eof");

  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    RemoveDirectory();
    return false;
  }
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(in_pipe[0]);
    close(in_pipe[1]);
    RemoveDirectory();
    return false;
  }
  const std::string stderr_path = m_dir + "/stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string program = ProgramPath();
  std::vector<std::string> prefix;
  if (!m_namespace.empty()) {
    // `ip netns exec` enters the namespace and then execs the simulator under the same pid.
    prefix = {"ip", "netns", "exec", m_namespace, program};
    program = "ip";
  }
  std::vector<char*> argv;
  if (prefix.empty()) argv.push_back(const_cast<char*>(program.c_str()));
  for (std::string& a : prefix) argv.push_back(a.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = posix_spawnp(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  m_stdinFd = in_pipe[1];
  m_stdoutFd = out_pipe[0];
  if (rc != 0) {
    m_pid = -1;
    *error = "cannot start " + program + ": " + std::strerror(rc);
    CloseDescriptors();
    RemoveDirectory();
    return false;
  }
  if (!ReadUntilReady(error)) {
    *error += StandardError();
    Stop();
    RemoveDirectory();
    return false;
  }
  return true;
}

bool SimulatorProcess::ReadUntilReady(std::string* error) {
  const std::int64_t deadline = SteadyClockMs() + kStartTimeoutMs;
  std::string pending;
  for (;;) {
    std::size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (line == "ready") return true;
      if (line.rfind("pty ", 0) == 0) m_ptyPath = line.substr(4);
      if (line.rfind("udp ", 0) == 0) m_udpEndpoint = line.substr(4);
    }
    const std::int64_t left = deadline - SteadyClockMs();
    if (left <= 0) {
      *error = "the simulator did not get ready within 5 s";
      return false;
    }
    pollfd p{m_stdoutFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
      *error = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (p.revents == 0) continue;
    char buf[512];
    const ssize_t n = read(m_stdoutFd, buf, sizeof buf);
    if (n <= 0) {
      *error = "the simulator ended before it was ready";
      return false;
    }
    pending.append(buf, static_cast<std::size_t>(n));
  }
}

std::string SimulatorProcess::StandardError() const {
  if (m_dir.empty()) return "";
  const std::string text = ReadFile(m_dir + "/stderr.txt");
  return text.empty() ? "" : "; its standard error: " + text;
}

bool SimulatorProcess::Reap(int timeout_ms) {
  const std::int64_t deadline = SteadyClockMs() + timeout_ms;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD)) {
      m_exitStatus = status;
      m_pid = -1;
      return true;
    }
    if (SteadyClockMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool SimulatorProcess::WaitForExit(int timeout_ms, int* status) {
  if (m_pid <= 0) return false;
  if (!Reap(timeout_ms)) return false;
  if (status) *status = m_exitStatus;
  return true;
}

bool SimulatorProcess::Running() {
  return m_pid > 0 && !Reap(0);
}

void SimulatorProcess::Stop() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    if (!Reap(kStopTimeoutMs)) {
      kill(m_pid, SIGKILL);
      Reap(kStopTimeoutMs);
    }
  }
  CloseDescriptors();
}

void SimulatorProcess::CloseDescriptors() {
  if (m_stdinFd >= 0) close(m_stdinFd);
  if (m_stdoutFd >= 0) close(m_stdoutFd);
  m_stdinFd = m_stdoutFd = -1;
}

void SimulatorProcess::RemoveDirectory() {
  if (m_dir.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
  m_dir.clear();
}

std::vector<std::string> SimulatorProcess::LogLines() const {
  std::vector<std::string> lines;
  if (m_dir.empty()) return lines;
  std::ifstream in(LogPath());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> SimulatorProcess::WaitForLogLines(std::size_t count,
                                                           int timeout_ms) const {
  const std::int64_t deadline = SteadyClockMs() + timeout_ms;
  for (;;) {
    std::vector<std::string> lines = LogLines();
    if (lines.size() >= count || SteadyClockMs() >= deadline) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string SimulatorProcess::LastRecordHex() const {
  if (m_dir.empty()) return "";
  std::string text = ReadFile(RecordPath());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace quillon::testing

#endif  // !_WIN32
