#include "app/cli_options.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>

#include "app/help_words.h"
#include "link/platform.h"
#include "program/text_sanitizer.h"
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
    if (!file) return "--serials-from: cannot read '" + ArgumentText(path) + "'";
  }
  std::istream& in = path == "-" ? std::cin : file;
  const std::string name = path == "-" ? "standard input" : ArgumentText(path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const std::string text = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    std::uint16_t serial = 0;
    if (!ParseSerial(text, &serial)) {
      return "--serials-from: " + name + " line " + std::to_string(number) + ": '" +
             ArgumentText(text) + "' is not a whole number from 0 to 65535";
    }
    out->push_back(serial);
  }
  return std::nullopt;
}

// 0.0.0.0 and the multicast range (224.0.0.0/4) name no device.
bool CanNameADevice(const IPv4Bytes& address) {
  return address != IPv4Bytes{} && (address[0] & 0xF0) != 0xE0;
}

// The text of the help column: names and value up to here, the text after.
constexpr std::size_t kHelpColumn = 19;

constexpr const char* kCliOnly = " is an option of quillon-reconfigurator-cli";

// Options that contradict each other: each pair is a usage error naming both. (The dialog may be
// opened with --no-serial --no-udp, to try the field without any device traffic.)
constexpr std::pair<const char*, const char*> kContradictions[] = {
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

// The options of the command line, or of the dialog (those it shares), bound to `options`.
class OptionTable {
 public:
  OptionTable(bool dialog, CliOptions& options) : m_line(Words(dialog)) {
    CliOptions& o = options;
    auto set = [](bool& flag) { return [&flag] { flag = true; }; };
    if (!dialog) {
      m_line.Value(
          "--serial", "N", "serial number of the device, 0 to 65535 (repeatable)",
          [&o](const std::string& value) {
            std::uint16_t serial = 0;
            if (!ParseSerial(value, &serial)) {
              return "--serial: '" + ArgumentText(value) +
                     "' is not a whole number from 0 to 65535";
            }
            o.serials.push_back(serial);
            return std::string();
          },
          OptionValue::kText, true, "--serial needs a number");
      m_line.Value(
          "--serials-from", "FILE",
          "the serial numbers in FILE (- for standard input), one a line;\n"
          "blank lines and # comments are skipped",
          [&o](const std::string& value) {
            if (std::optional<std::string> why = ReadSerials(value, &o.serials)) return *why;
            return value.empty() ? std::string("--serials-from needs a file (- for standard input)")
                                 : std::string();
          },
          OptionValue::kFile, false, "--serials-from needs a file (- for standard input)");
      m_line.Flag("--scan", "list every Quillon that answers, and where; change nothing", [] {});
    }
    m_line.Value(
        "--port", std::string(PortValueName()),
        "search this serial port (repeatable) instead of the system's ports",
        [&o](const std::string& value) {
          o.ports.push_back(value);
          if (value.empty()) return std::string("--port needs a path");
          if (o.ports.size() > static_cast<std::size_t>(kMaxSerialPorts)) {
            return "--port is given more than " + std::to_string(kMaxSerialPorts) + " times";
          }
          return std::string();
        },
        OptionValue::kSerialPort, true, "--port needs a path");
    m_line.Flag("--no-serial", "search no serial port", set(o.noSerial));
    m_line.Flag("--no-udp", "search no network", set(o.noUdp));
    m_line.Value(
        "--address", "IPV4",
        "send the identify request to this address (repeatable) instead of\n"
        "the local broadcast addresses",
        [&o](const std::string& value) {
          o.addresses.push_back(value);
          const std::optional<IPv4Bytes> address = ParseIPv4(value);
          if (!address) return "--address: '" + ArgumentText(value) + "' is not an IPv4 address";
          if (!CanNameADevice(*address)) return "--address: '" + value + "' cannot name a device";
          return std::string();
        },
        OptionValue::kText, true, "--address needs an IPv4 address");
    if (!dialog) {
      m_line.Flag("-v,--verbose", "trace every request and reply on standard error",
                  set(o.verbose));
      m_line.Flag("--json", "print one JSON object (for --scan: an array) instead of the text",
                  set(o.json));
      m_line.Flag("--list-ports", "show the serial ports and the broadcast addresses, then exit",
                  [] {});
      m_line.Flag("--leave-service-mode",
                  "tell a Quillon left in service mode (the tool was killed, the\n"
                  "computer lost power) at this port or address to leave it; no search",
                  [] {});
    }
    // The dialog's help shows its options alone.
    const CLI::Option* help =
        m_line.Flag("-h,--help", dialog ? "" : "show this help and exit", [] {});
    if (!std::string(PlatformHelpName()).empty()) {
      m_line.ShowAlso(help, std::string(PlatformHelpName()));
    }
    m_line.Flag("-V,--version", dialog ? "" : "show the version and exit", [] {});
  }

  CommandLine& line() { return m_line; }

 private:
  static ParseWords Words(bool dialog) {
    ParseWords words;
    words.unknownOption = [dialog](const std::string& arg) {
      // An option of the command line that the dialog does not take is named as such.
      CliOptions unused;
      OptionTable cli(false, unused);
      const CLI::Option* option = dialog ? cli.line().Find(arg) : nullptr;
      if (option == nullptr) return "unknown option '" + ArgumentText(arg) + "' (see --help)";
      const std::string name = "--" + option->get_lnames().front();
      return name == "--serial" ? name + " is not an option of the dialog" : name + kCliOnly;
    };
    words.unexpectedArgument = [](const std::string& arg) {
      return "unexpected argument '" + ArgumentText(arg) + "' (see --help)";
    };
    words.givenTwice = [](const std::string& name) { return name + " is given twice"; };
    words.needsValue = [](const std::string& name) { return name + " needs a value"; };
    return words;
  }

  CommandLine m_line;
};

}  // namespace

std::string CliUsage() {
  const std::string port(PortValueName());
  CliOptions unused;
  OptionTable table(false, unused);
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
         "\n" +
         table.line().OptionLines(kHelpColumn) +
         "\n"
         "Options take their value as --name value or --name=value; -- ends the options.\n"
         "\n"
         "Exit status: 0 reconfigured (--scan: a device answered; --leave-service-mode: a device\n"
         "in service mode answered), 1 another failure, 2 usage error, 3 not detected, 4 in use\n"
         "by another program, 5 not applicable, 6 the device did not complete the exchange\n"
         "(\"Unknown Error!\"), 7 several devices named and not all reconfigured,\n" +
         std::string(InterruptedExitText()) + ".\n";
}

std::string DialogOptionHelp() {
  CliOptions unused;
  OptionTable table(true, unused);
  return table.line().OptionLines(kHelpColumn);
}

std::vector<LongOption> ListLongOptions(bool dialog) {
  CliOptions unused;
  OptionTable table(dialog, unused);
  return table.line().LongOptions();
}

CliParse ParseCommandLine(int argc, const char* const* argv, bool requireSerial) {
  CliParse r;
  CliOptions& o = r.options;
  OptionTable table(!requireSerial, o);
  CommandLine& line = table.line();
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::string& arg : args) {
    if (arg == "--") break;
    if (IsPlatformHelpArgument(arg)) arg = "--help";
  }
  line.Parse(std::move(args));
  auto given = [&line](const char* name) { return line.Count(name) != 0; };

  o.haveSerial = !o.serials.empty();
  if (o.haveSerial) o.serial = o.serials.front();
  // A number named twice would reconfigure one device twice, side by side with itself.
  for (std::size_t i = 0; i < o.serials.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (o.serials[j] == o.serials[i]) {
        line.Fail("--serial: " + std::to_string(o.serials[i]) + " is named twice");
      }
    }
  }
  if (given("--serials-from") && !o.haveSerial) {
    line.Fail("--serials-from: no serial number in the file");
  }

  // --help and --version win over anything else on the line, errors included.
  if (given("--help")) {
    o.action = CliOptions::Action::kHelp;
    r.ok = true;
    return r;
  }
  if (given("--version")) {
    o.action = CliOptions::Action::kVersion;
    r.ok = true;
    return r;
  }
  for (const auto& [a, b] : kContradictions) {
    if (given(a) && given(b)) line.Fail(std::string(a) + " and " + b + " exclude each other");
  }
  if (requireSerial && o.noSerial && o.noUdp) {
    line.Fail("--no-serial and --no-udp exclude each other: nothing would be searched");
  }
  if (given("--leave-service-mode")) {
    o.action = CliOptions::Action::kLeaveServiceMode;
    if (o.ports.size() + o.addresses.size() != 1) {
      line.Fail("--leave-service-mode needs one --port PATH or one --address IPV4");
    }
  } else if (given("--list-ports")) {
    o.action = CliOptions::Action::kListPorts;
  } else if (given("--scan")) {
    o.action = CliOptions::Action::kScan;
  } else if (requireSerial && !o.haveSerial) {
    line.Fail("--serial N is required (see --help)");
  }
  r.error = line.error();
  r.ok = !line.failed();
  return r;
}

}  // namespace quillon
