// Runs quillon-simulator as a child process for a test: starts it, reads what it prints, stops
// it. Each instance has its own temporary directory for the simulator's log, its record file
// and the link to its pseudo-terminal.
#pragma once

#if !defined(_WIN32)

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

class SimulatorProcess {
 public:
  // How long Start waits for "ready", and Stop for the exit, at most.
  static constexpr int kStartTimeoutMs = 5000;
  static constexpr int kStopTimeoutMs = 5000;

  SimulatorProcess() = default;
  ~SimulatorProcess();
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // Whether the simulator was built (not on Windows); the path of its program.
  static bool Available();
  static std::string ProgramPath();

  // Starts the simulator with `args` and waits until it is ready. Adds --log and --record-out
  // (files in the temporary directory) unless `args` name their own, --link LinkPath() when
  // `args` contain --pty and no --link, and --exit-on-stdin-eof, so that the simulator also
  // ends when the test process dies. On false, `error` says why (with the simulator's
  // standard error) and nothing is left running.
  bool Start(std::vector<std::string> args, std::string* error);
  // Runs the simulator inside this network namespace (from the next Start on).
  void SetNetworkNamespace(std::string name) { m_namespace = std::move(name); }

  // Sends SIGTERM and waits for the exit (SIGKILL after kStopTimeoutMs). The temporary directory
  // stays, for the log, until the next Start or the destructor. Harmless when not running.
  void Stop();

  // Waits up to timeout_ms for the simulator to end by itself (e.g. after --exit-after).
  // True when it ended; `status` gets the waitpid status.
  bool WaitForExit(int timeout_ms, int* status);
  bool Running();
  // The waitpid status of the last exit, valid after Stop or a successful WaitForExit.
  int exit_status() const { return m_exitStatus; }

  pid_t pid() const { return m_pid; }
  const std::string& dir() const { return m_dir; }
  // The slave path printed after "pty ", empty without --pty (or before Start).
  const std::string& PtyPath() const { return m_ptyPath; }
  // The symlink in the temporary directory that Start asks for with --pty.
  std::string LinkPath() const { return m_dir + "/ttyQuillon"; }
  // "ADDRESS:PORT" printed after "udp ", empty without --udp; and its port alone.
  const std::string& UdpEndpoint() const { return m_udpEndpoint; }
  std::uint16_t UdpPort() const;
  std::string LogPath() const { return m_dir + "/requests.log"; }
  std::string RecordPath() const { return m_dir + "/record.hex"; }

  // The log, one entry per request: "<transport> <kind> <HEX>".
  std::vector<std::string> LogLines() const;
  // Waits up to timeout_ms until the log holds at least `count` lines; gives what it holds.
  std::vector<std::string> WaitForLogLines(std::size_t count, int timeout_ms) const;
  // The last record written by service command 5, as upper-case hex; empty when none.
  std::string LastRecordHex() const;

 private:
  bool ReadUntilReady(std::string* error);
  std::string StandardError() const;
  bool Reap(int timeout_ms);
  void CloseDescriptors();
  void RemoveDirectory();

  pid_t m_pid = -1;
  int m_stdinFd = -1;   // our end of the simulator's standard input
  int m_stdoutFd = -1;  // our end of its standard output
  int m_exitStatus = 0;
  std::string m_dir;
  std::string m_ptyPath;
  std::string m_udpEndpoint;
  std::string m_namespace;
};

}  // namespace quillon::testing

#endif  // !_WIN32
