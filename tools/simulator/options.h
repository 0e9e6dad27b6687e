// The simulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/datagram_socket.h"
#include "program/command_line.h"
#include "tools/simulator/device.h"

namespace quillon::sim {

struct Options {
  std::uint16_t serialNumber = 1234;
  bool pty = false;
  std::string linkPath;
  std::optional<std::string> udpAddress;
  std::uint16_t udpPort = kDevicePort;

  Profile profile;
  Faults faults;
  int strayBytes = 0;
  int strayTimes = 1;  // identify replies that get them; 0 = every one
  int splitPieces = 1;
  int splitPauseMs = 0;
  int replyDelayMs = 0;
  int statusDelayMs = 0;  // on top of replyDelayMs, for status requests only
  std::optional<int> duplicateAfterMs;
  std::optional<Kind> exitAfter;

  // Another host on the network, triggered by every identify request over UDP: it forges
  // status replies (every forgeStatusMs, forgeStatusCount in all, instead of the devices'
  // answers) or trickles garbage (every trickleMs, trickleCount in all or without end).
  std::optional<int> forgeStatusMs;
  int forgeStatusCount = 1;
  std::optional<int> trickleMs;
  std::optional<int> trickleCount;

  // Serial numbers of the devices behind the UDP port; the first is also the one on the pty.
  std::vector<std::uint16_t> deviceSerials;
  // Device k answers from this address + k (host order), when set.
  std::optional<std::uint32_t> deviceAddressesFrom;
  int deviceStaggerMs = 0;

  std::string logPath;
  std::string recordPath;
  bool exitOnStdinEof = false;
};

enum class ParseOutcome { kRun, kHelp, kVersion, kError };

// Fills `options`; on kError `error` names the offending argument (control characters
// escaped). --help and --version win over everything else on the line, --help first.
ParseOutcome ParseOptions(const std::vector<std::string>& args, Options* options,
                          std::string* error);

// The long options, --help and --version included, in alphabetical order.
std::vector<LongOption> ListLongOptions();

std::string HelpText();
// "quillon-simulator <version>".
std::string VersionText();

}  // namespace quillon::sim
