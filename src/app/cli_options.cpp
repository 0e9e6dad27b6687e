#include "app/cli_options.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "app/help_words.h"
#include "link/platform.h"
#include "search/ipv4.h"

namespace quillon {
namespace {

bool ParseSerial(std::string_view text, std::uint16_t* out) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > 0xFFFF) return false;
  *out = static_cast<std::uint16_t>(v);
  return true;
}

// --serials-from: one number a line; blank lines and # comments are skipped. Appends to `out`;
// otherwise gives why not, naming the line.
std::optional<std::string> ReadSerials(const std::string& path, std::vector<std::uint16_t>* out) {
  std::ifstream file;
  if (path != "-") {
    file.open(path);
    if (!file) return "--serials-from: cannot read '" + EscapeArgument(path) + "'";
  }
  std::istream& in = path == "-" ? std::cin : file;
  const std::string name = path == "-" ? "standard input" : EscapeArgument(path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const std::string text = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    std::uint16_t serial = 0;
    if (!ParseSerial(text, &serial)) {
      return "--serials-from: " + name + " line " + std::to_string(number) + ": '" +
             EscapeArgument(text) + "' is not a whole number from 0 to 65535";
    }
    out->push_back(serial);
  }
  return std::nullopt;
}

// 0.0.0.0 and the multicast range (224.0.0.0/4) name no device.
bool CanNameADevice(const IPv4Bytes& address) {
  return address != IPv4Bytes{} && (address[0] & 0xF0) != 0xE0;
}

enum class Kind { kFlag, kValue, kList };

struct Rule {
  Kind kind;
  bool cliOnly;  // the dialog refuses it
};

const std::map<std::string_view, Rule>& Options() {
  static const std::map<std::string_view, Rule> options = {
      {"--serial", {Kind::kList, true}},
      {"--serials-from", {Kind::kValue, true}},
      {"--port", {Kind::kList, false}},
      {"--no-serial", {Kind::kFlag, false}},
      {"--no-udp", {Kind::kFlag, false}},
      {"--address", {Kind::kList, false}},
      {"--verbose", {Kind::kFlag, true}},
      {"--json", {Kind::kFlag, true}},
      {"--list-ports", {Kind::kFlag, true}},
      {"--scan", {Kind::kFlag, true}},
      {"--help", {Kind::kFlag, false}},
      {"--version", {Kind::kFlag, false}},
      {"--leave-service-mode", {Kind::kFlag, true}},
  };
  return options;
}

std::string_view LongName(std::string_view arg) {
  if (arg == "-h") return "--help";
  if (arg == "-V") return "--version";
  if (arg == "-v") return "--verbose";
  return arg;
}

// Options that contradict each other: each pair is a usage error naming both. (The dialog may be
// opened with --no-serial --no-udp, to try the field without any device traffic.)
constexpr std::pair<std::string_view, std::string_view> kContradictions[] = {
    {"--no-serial", "--port"},
    {"--no-udp", "--address"},
    {"--list-ports", "--serial"},
    {"--scan", "--serial"},
    {"--scan", "--list-ports"},
    {"--list-ports", "--json"},
    {"--scan", "--serials-from"},
    {"--list-ports", "--serials-from"},
    {"--leave-service-mode", "--serial"},
    {"--leave-service-mode", "--serials-from"},
    {"--leave-service-mode", "--scan"},
    {"--leave-service-mode", "--list-ports"},
    {"--leave-service-mode", "--no-serial"},
    {"--leave-service-mode", "--no-udp"},
};

}  // namespace

std::string EscapeArgument(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string CliUsage() {
  const std::string port(PortValueName());
  return "usage: quillon-reconfigurator-cli --serial N [--serial N]... [--serials-from FILE]\n"
         "                                  [--port " +
         port +
         "]... [--no-serial] [--no-udp]\n"
         "                                  [--address IPV4]... [--verbose] [--json]\n"
         "       quillon-reconfigurator-cli --scan [--port " +
         port +
         "]... [--no-serial] [--no-udp]\n"
         "                                  [--address IPV4]... [--verbose] [--json]\n"
         "       quillon-reconfigurator-cli --leave-service-mode (--port " +
         port +
         " | --address IPV4)\n"
         "       quillon-reconfigurator-cli --list-ports | --help | --version\n"
         "\n"
         "Finds the Quillon with serial number N on the serial ports and on the local IPv4\n"
         "networks, and sets the maximum adjustable high voltage of its power module to 5000 V.\n"
         "Several devices named: one search finds them all, and they are reconfigured side by\n"
         "side.\n"
         "\n"
         "  --serial N       serial number of the device, 0 to 65535 (repeatable)\n"
         "  --serials-from FILE  the serial numbers in FILE (- for standard input), one a line;\n"
         "                   blank lines and # comments are skipped\n"
         "  --scan           list every Quillon that answers, and where; change nothing\n"
         "  --port " +
         port +
         "      search this serial port (repeatable) instead of the system's ports\n"
         "  --no-serial      search no serial port\n"
         "  --no-udp         search no network\n"
         "  --address IPV4   send the identify request to this address (repeatable) instead of\n"
         "                   the local broadcast addresses\n"
         "  -v, --verbose    trace every request and reply on standard error\n"
         "  --json           print one JSON object (for --scan: an array) instead of the text\n"
         "  --list-ports     show the serial ports and the broadcast addresses, then exit\n"
         "  --leave-service-mode\n"
         "                   tell a Quillon left in service mode (the tool was killed, the\n"
         "                   computer lost power) at this port or address to leave it; no search\n"
         "  " +
         std::string(HelpOptionNames()) +
         "  show this help and exit\n"
         "  -V, --version    show the version and exit\n"
         "\n"
         "Options take their value as --name value or --name=value; -- ends the options.\n"
         "\n"
         "Exit status: 0 reconfigured (--scan: a device answered; --leave-service-mode: a device\n"
         "in service mode answered), 1 another failure, 2 usage\n"
         "error, 3 not detected, 4 in use by another program, 5 not applicable, 6 the device did\n"
         "not complete the exchange (\"Unknown Error!\"), 7 several devices named and not all\n"
         "reconfigured,\n" +
         std::string(InterruptedExitText()) + ".\n";
}

std::vector<LongOption> ListLongOptions(bool dialog) {
  std::vector<LongOption> list;
  for (const auto& [name, rule] : Options()) {
    if (dialog && rule.cliOnly) continue;
    LongOption option{std::string(name)};
    if (rule.kind != Kind::kFlag) {
      option.value = name == "--port"           ? OptionValue::kSerialPort
                     : name == "--serials-from" ? OptionValue::kFile
                                                : OptionValue::kText;
    }
    option.repeatable = rule.kind == Kind::kList;
    list.push_back(option);
  }
  return list;
}

CliParse ParseCommandLine(int argc, const char* const* argv, bool requireSerial) {
  CliParse r;
  CliOptions& o = r.options;
  std::set<std::string_view> seen;
  std::optional<std::string> error;
  auto fail = [&error](std::string why) {
    if (!error) error = std::move(why);
  };

  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view raw =
        !options_end && IsPlatformHelpArgument(argv[i]) ? "--help" : argv[i];
    if (options_end || raw.empty() || raw[0] != '-' || raw == "-") {
      fail("unexpected argument '" + EscapeArgument(raw) + "' (see --help)");
      continue;
    }
    if (raw == "--") {
      options_end = true;
      continue;
    }
    std::string_view name = LongName(raw);
    std::optional<std::string_view> inline_value;
    if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != name.npos) {
      inline_value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const auto rule = Options().find(name);
    if (rule == Options().end()) {
      fail("unknown option '" + EscapeArgument(raw) + "' (see --help)");
      continue;
    }
    if (!requireSerial && rule->second.cliOnly) {
      fail(name == "--serial" ? std::string("--serial is not an option of the dialog")
                              : std::string(name) + " is an option of quillon-reconfigurator-cli");
      continue;
    }
    if (rule->second.kind == Kind::kValue && seen.count(name) != 0) {
      fail(std::string(name) + " is given twice");
    }
    seen.insert(name);
    if (rule->second.kind == Kind::kFlag) {
      if (inline_value) fail(std::string(name) + " takes no value");
      if (name == "--no-serial") o.noSerial = true;
      if (name == "--no-udp") o.noUdp = true;
      if (name == "--verbose") o.verbose = true;
      if (name == "--json") o.json = true;
      continue;
    }
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      fail(name == "--serial"         ? "--serial needs a number"
           : name == "--address"      ? "--address needs an IPv4 address"
           : name == "--serials-from" ? "--serials-from needs a file (- for standard input)"
                                      : "--port needs a path");
      continue;
    }
    if (name == "--serial") {
      std::uint16_t serial = 0;
      if (!ParseSerial(value, &serial)) {
        fail("--serial: '" + EscapeArgument(value) + "' is not a whole number from 0 to 65535");
      }
      o.serials.push_back(serial);
    } else if (name == "--serials-from") {
      if (std::optional<std::string> why = ReadSerials(value, &o.serials)) fail(std::move(*why));
      if (value.empty()) fail("--serials-from needs a file (- for standard input)");
    } else if (name == "--port") {
      if (value.empty()) fail("--port needs a path");
      o.ports.push_back(value);
      if (o.ports.size() > static_cast<std::size_t>(kMaxSerialPorts)) {
        fail("--port is given more than " + std::to_string(kMaxSerialPorts) + " times");
      }
    } else {
      const std::optional<IPv4Bytes> address = ParseIPv4(value);
      if (!address) {
        fail("--address: '" + EscapeArgument(value) + "' is not an IPv4 address");
      } else if (!CanNameADevice(*address)) {
        fail("--address: '" + value + "' cannot name a device");
      }
      o.addresses.push_back(value);
    }
  }

  o.haveSerial = !o.serials.empty();
  if (o.haveSerial) o.serial = o.serials.front();
  // A number named twice would reconfigure one device twice, side by side with itself.
  for (std::size_t i = 0; i < o.serials.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (o.serials[j] == o.serials[i]) {
        fail("--serial: " + std::to_string(o.serials[i]) + " is named twice");
      }
    }
  }
  if (seen.count("--serials-from") != 0 && !o.haveSerial && !error) {
    fail("--serials-from: no serial number in the file");
  }

  // --help and --version win over anything else on the line, errors included.
  if (seen.count("--help") != 0) {
    o.action = CliOptions::Action::kHelp;
    r.ok = true;
    return r;
  }
  if (seen.count("--version") != 0) {
    o.action = CliOptions::Action::kVersion;
    r.ok = true;
    return r;
  }
  for (const auto& [a, b] : kContradictions) {
    if (seen.count(a) != 0 && seen.count(b) != 0) {
      fail(std::string(a) + " and " + std::string(b) + " exclude each other");
    }
  }
  if (requireSerial && o.noSerial && o.noUdp) {
    fail("--no-serial and --no-udp exclude each other: nothing would be searched");
  }
  if (seen.count("--leave-service-mode") != 0) {
    o.action = CliOptions::Action::kLeaveServiceMode;
    if (o.ports.size() + o.addresses.size() != 1) {
      fail("--leave-service-mode needs one --port PATH or one --address IPV4");
    }
  } else if (seen.count("--list-ports") != 0) {
    o.action = CliOptions::Action::kListPorts;
  } else if (seen.count("--scan") != 0) {
    o.action = CliOptions::Action::kScan;
  } else if (requireSerial && !o.haveSerial) {
    fail("--serial N is required (see --help)");
  }
  if (error) {
    r.error = *error;
    return r;
  }
  r.ok = true;
  return r;
}

}  // namespace quillon
