// The command line of quillon-reconfigurator-cli (and the options that the dialog shares).
//
// Conventions: --name=value or --name value; -- ends the options; -h, -V and -v stand for
// --help, --version and --verbose; --help and --version win over anything else on the line; a
// single-value option given twice, or two options that contradict each other, is a usage error
// that names both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "program/command_line.h"

namespace quillon {

struct CliOptions {
  enum class Action { kStart, kScan, kListPorts, kLeaveServiceMode, kHelp, kVersion };
  Action action = Action::kStart;
  bool haveSerial = false;
  std::uint16_t serial = 0;            // the first number named
  std::vector<std::uint16_t> serials;  // --serial and --serials-from, in the order named
  std::vector<std::string> ports;      // --port, in the order given
  bool noSerial = false;
  bool noUdp = false;
  std::vector<std::string> addresses;  // --address, dotted IPv4
  bool verbose = false;
  bool json = false;
};

struct CliParse {
  bool ok = false;
  std::string error;  // one line, when !ok
  CliOptions options;
};

// Parses argv[1..argc-1]. `requireSerial`: the command line needs --serial for a Start; the
// dialog takes its number from the field instead and refuses --serial and the options that
// print to a terminal.
CliParse ParseCommandLine(int argc, const char* const* argv, bool requireSerial = true);

std::string CliUsage();
// The option lines of the dialog's help.
std::string DialogOptionHelp();

// The long options of the command line, or with `dialog` those that the dialog takes, in
// alphabetical order.
std::vector<LongOption> ListLongOptions(bool dialog);

// Exit statuses of the command line.
namespace cli_exit {
inline constexpr int kReconfigured = 0;  // also: --scan found at least one device
inline constexpr int kFailed = 1;        // anything not named below
inline constexpr int kUsage = 2;
inline constexpr int kNotDetected = 3;  // also: --scan found none
inline constexpr int kInUse = 4;
inline constexpr int kNotApplicable = 5;
inline constexpr int kIncomplete = 6;     // the device did not complete an exchange
inline constexpr int kNotAll = 7;         // several devices named, not all reconfigured
inline constexpr int kInterrupted = 128;  // plus the signal: 130 for SIGINT, 143 for SIGTERM
}  // namespace cli_exit

}  // namespace quillon
