#include "app/cli_options.h"

#include <cstring>
#include <string_view>

#include "search/broadcast_addresses.h"

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

}  // namespace

std::string CliUsage() {
  return "usage: quillon-reconfigurator-cli --serial N [--port PATH]... [--no-serial] [--no-udp]\n"
         "                                  [--address IPV4]... [--verbose]\n"
         "       quillon-reconfigurator-cli --list-ports | --help | --version\n"
         "\n"
         "Finds the Quillon with serial number N on the serial ports and on the local IPv4\n"
         "networks, and sets the maximum adjustable high voltage of its power module to 5000 V.\n"
         "\n"
         "  --serial N       serial number of the device, 0 to 65535\n"
         "  --port PATH      search this serial port (repeatable) instead of the system's ports\n"
         "  --no-serial      search no serial port\n"
         "  --no-udp         search no network\n"
         "  --address IPV4   send the identify request to this address (repeatable) instead of\n"
         "                   the local broadcast addresses\n"
         "  --verbose        trace every request and reply on standard error\n"
         "  --list-ports     show the serial ports and the broadcast addresses, then exit\n"
         "\n"
         "Exit status: 0 reconfigured, 1 not reconfigured, 2 usage error.\n";
}

CliParse ParseCommandLine(int argc, const char* const* argv, bool requireSerial) {
  CliParse r;
  CliOptions& o = r.options;
  bool list = false, help = false, version = false;
  auto fail = [&r](std::string why) {
    r.ok = false;
    r.error = std::move(why);
    return r;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (arg == "--serial") {
      if (!requireSerial) return fail("--serial is not an option of the dialog");
      if (!value(&v)) return fail("--serial needs a number");
      if (!ParseSerial(v, &o.serial)) {
        return fail(std::string("--serial: '") + v + "' is not a whole number from 0 to 65535");
      }
      o.haveSerial = true;
    } else if (arg == "--port") {
      if (!value(&v) || *v == '\0') return fail("--port needs a path");
      o.ports.emplace_back(v);
    } else if (arg == "--no-serial") {
      o.noSerial = true;
    } else if (arg == "--no-udp") {
      o.noUdp = true;
    } else if (arg == "--address") {
      if (!value(&v)) return fail("--address needs an IPv4 address");
      if (!ParseIPv4(v)) return fail(std::string("--address: '") + v + "' is not an IPv4 address");
      o.addresses.emplace_back(v);
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--list-ports") {
      list = true;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else {
      return fail("unknown option '" + std::string(arg) + "' (see --help)");
    }
  }
  if (help) {
    o.action = CliOptions::Action::kHelp;
  } else if (version) {
    o.action = CliOptions::Action::kVersion;
  } else if (list) {
    o.action = CliOptions::Action::kListPorts;
  } else if (requireSerial && !o.haveSerial) {
    return fail("--serial N is required (see --help)");
  }
  if (o.noSerial && !o.ports.empty()) return fail("--port and --no-serial exclude each other");
  if (o.noUdp && !o.addresses.empty()) return fail("--address and --no-udp exclude each other");
  r.ok = true;
  return r;
}

}  // namespace quillon
