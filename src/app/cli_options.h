// The command line of quillon-reconfigurator-cli (and the options that the dialog shares).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

struct CliOptions {
  enum class Action { kStart, kListPorts, kHelp, kVersion };
  Action action = Action::kStart;
  bool haveSerial = false;
  std::uint16_t serial = 0;
  std::vector<std::string> ports;  // --port, in the order given
  bool noSerial = false;
  bool noUdp = false;
  std::vector<std::string> addresses;  // --address, dotted IPv4
  bool verbose = false;
};

struct CliParse {
  bool ok = false;
  std::string error;  // one line, when !ok
  CliOptions options;
};

// Parses argv[1..argc-1]. `requireSerial`: the command line needs --serial for a Start; the
// dialog takes its number from the field instead and refuses --serial.
CliParse ParseCommandLine(int argc, const char* const* argv, bool requireSerial = true);

std::string CliUsage();

}  // namespace quillon
