// Runs a program to its end with a time limit and collects what it printed.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace quillon::testing {

struct ProcessResult {
  bool started = false;
  bool timedOut = false;
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, if one did
  std::string out;
  std::string err;
};

// argv[0] is the program. Killed (by its own pid) after timeout_ms. `while_running`, when
// given, is called with the child's pid once it runs (to signal it, say), before its output is
// collected.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeout_ms,
                         const std::function<void(pid_t)>& while_running = {});

}  // namespace quillon::testing
