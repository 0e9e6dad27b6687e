// The command line under test: this build's own, or the Windows build's under Wine when the
// environment names it (QUILLON_TEST_CLI_EXE, with QUILLON_TEST_WINE, the launcher, and
// QUILLON_TEST_WINE_DIR, its prefix), so that one test source checks both programs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/process_runner.h"

namespace quillon::testing {

// Whether the program under test is the Windows one, under Wine.
bool CliUnderWine();

// The command that runs the program under test with `args`, inside the network namespace
// `netns` when one is named.
std::vector<std::string> CliCommand(const std::vector<std::string>& args,
                                    const std::string& netns = {});

// Runs the program under test; its output without carriage returns.
ProcessResult RunCli(const std::vector<std::string>& args, int timeout_ms,
                     const std::function<void(pid_t)>& while_running = {},
                     const std::string& netns = {});

// What to pass as --port for a pseudo-terminal: its path, or under Wine the COM port (COM10 + n)
// that the prefix's device link leads to it.
std::string CliPort(const std::string& pty, int n = 0);
// Under Wine, makes the ports that CliPort mapped known to the system's port list, as Wine does
// on its start (the listing reads that list; an open needs only the mapping).
void ListMappedPortsUnderWine();
// How the program names that port in its messages: under Wine the COM port itself, as Windows
// names it; on POSIX "COMn (path)" when it is the search's `number`th.
std::string CliPortName(const std::string& port, int number = 1);

// Windows takes the host's networks from the registry (the interface keys of TCP/IP), matched
// against the addresses of the host name: under Wine, `address`/24 is written there. False when
// the registry refused it.
bool UseNetworkUnderWine(const std::string& address);

// Runs a Windows program (reg, say) in the prefix of the program under test, in `netns` when
// named. Only under Wine.
ProcessResult RunInWine(const std::vector<std::string>& argv, const std::string& netns = {});

// Runs each row of a table of real-time cases on a thread of its own, so that a table of rows that
// mostly wait for the device costs the time of its slowest row. Under Wine (one prefix, one set of
// mapped ports) the rows run one after another.
template <typename Row, std::size_t N, typename Body>
void ForEachRowAtOnce(const Row (&rows)[N], Body body) {
  if (CliUnderWine()) {
    for (std::size_t i = 0; i < N; ++i) body(rows[i]);
    return;
  }
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < N; ++i) threads.emplace_back([&rows, &body, i] { body(rows[i]); });
  for (std::thread& t : threads) t.join();
}

}  // namespace quillon::testing

// Ends a test that the Windows program under Wine cannot show, with the reason.
#define QUILLON_SKIP_UNDER_WINE(reason) \
  if (::quillon::testing::CliUnderWine()) GTEST_SKIP() << "under Wine: " << reason
