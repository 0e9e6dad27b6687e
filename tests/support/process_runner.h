// Runs a program to its end with a time limit and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace quillon::testing {

struct ProcessResult {
  bool started = false;
  bool timedOut = false;
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// argv[0] is the program. Killed (by its own pid) after timeout_ms.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeout_ms);

}  // namespace quillon::testing
