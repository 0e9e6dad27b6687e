#include "app/front_end.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "link/endpoint.h"
#include "link/serial_port.h"
#include "reconfig/messages.h"
#include "search/broadcast_addresses.h"
#include "search/network_config.h"

namespace quillon {
namespace {

std::string PortState(const SerialOpenResult& probe) {
  switch (probe.status) {
    case SerialOpenStatus::kOpened:
      return "free";
    case SerialOpenStatus::kBusy:
      return "busy (" + probe.detail + ")";
    case SerialOpenStatus::kPermissionDenied:
      return "permission denied" +
             (probe.group.empty() ? std::string() : " (group " + probe.group + ")");
    case SerialOpenStatus::kNotASerialPort:
      return "not a serial port (" + probe.detail + ")";
    case SerialOpenStatus::kSettingsRefused:
      return "refuses the line settings (" + probe.detail + ")";
    case SerialOpenStatus::kNotSearched:
      return "not searched (" + probe.detail + ")";
    case SerialOpenStatus::kNotProbed:
      return "present (" + probe.detail + ")";
    case SerialOpenStatus::kNoDescriptors:
      return "not probed: too many open files";
    case SerialOpenStatus::kMissing:
      break;
  }
  return "missing (" + probe.detail + ")";
}

// "  COM1  /dev/ttyUSB0  /dev/serial/by-id/...  USB 0403:6001 FTDI FT232R (serial A1B2)  free"
// "  COM7  USB Serial Port (COM7)  USB 0403:6001 (serial A1B2)  present (...)"
void DescribePort(std::ostream& out, SystemPlatform& platform, const SerialPortInfo& port) {
  const SerialPortIdentity id = IdentifySerialPort(port.path);
  const SerialOpenResult probe = platform.ProbePath(port.path);
  // A Windows port is its COM name alone; a POSIX port shows its path.
  const std::string com = "COM" + std::to_string(port.number);
  out << "  " << com << "  ";
  if (SerialPortName(port) != com) out << port.path << "  ";
  if (!id.stableName.empty()) out << id.stableName << "  ";
  if (!id.friendlyName.empty()) out << id.friendlyName << "  ";
  if (!id.usbId.empty()) {
    out << "USB " << id.usbId;
    if (id.usbInterface >= 0) out << " interface " << id.usbInterface;
    if (!id.manufacturer.empty()) out << ' ' << id.manufacturer;
    if (!id.product.empty()) out << ' ' << id.product;
    if (!id.serialNumber.empty()) out << " (serial " << id.serialNumber << ')';
    out << "  ";
  }
  if (!id.problem.empty()) out << id.problem << "  ";
  out << PortState(probe) << '\n';
  if (probe.status == SerialOpenStatus::kPermissionDenied) {
    out << "      to use it: " << SerialPermissionFix(probe.group) << '\n';
  }
}

std::string AddressWithPrefix(const LocalNetwork& n) {
  std::string text = FormatIPv4(n.address);
  if (n.prefix >= 0) text.append("/").append(std::to_string(n.prefix));
  return text;
}

std::string Where(const LocalNetwork& n) {
  return n.interfaceName.empty() ? AddressWithPrefix(n)
                                 : n.interfaceName + ", " + AddressWithPrefix(n);
}

// "docker0 172.17.0.1/16 left out: no carrier (--address 172.17.255.255 searches it)"
std::string LeftOutLine(const LocalNetwork& n) {
  std::string line = (n.interfaceName.empty() ? "" : n.interfaceName + " ") + AddressWithPrefix(n) +
                     " left out: " + n.leftOut;
  if (!IsZeroAddress(n.broadcast)) {
    line += " (--address " + FormatIPv4(n.broadcast) + " searches it)";
  }
  return line;
}

}  // namespace

void ApplyPortOptions(SystemPlatform& platform, const CliOptions& options) {
  if (!options.ports.empty()) platform.UseNamedSerialPorts(options.ports);
}

std::string NamedPortsProblem(const CliOptions& options) {
  for (const std::string& path : options.ports) {
    if (std::string problem = NamedPortProblem(path); !problem.empty()) return problem;
  }
  return {};
}

std::unique_ptr<DatagramSocket> MakeLinkSocket(const CliOptions& options, std::string* failure) {
  if (options.noUdp) return nullptr;
  std::unique_ptr<DatagramSocket> socket = CreateLinkSocket();
  if (!socket && failure) *failure = std::strerror(errno);
  return socket;
}

std::vector<std::string> LocalBroadcastTargets(const LinkHooks* hooks) {
  // With --verbose, the networks that the search leaves out, each with the option that reaches
  // it.
  if (hooks && hooks->note) {
    for (const LocalNetwork& n : DescribeLocalNetworks()) {
      if (!n.leftOut.empty()) hooks->note("network " + LeftOutLine(n));
    }
  }
  return BroadcastTargetTexts(GetBroadcastAddresses(), OwnAddresses());
}

namespace {

// This computer's own addresses (but one the user named: a simulator here) and the broadcast
// addresses of its networks: no device answers from those.
std::vector<std::string> ImpossibleSources(const std::vector<std::string>& named) {
  std::vector<std::string> out;
  for (const IPv4Bytes& own : OwnAddresses()) {
    std::string text = FormatIPv4(own);
    if (std::find(named.begin(), named.end(), text) == named.end()) out.push_back(std::move(text));
  }
  for (const LocalNetwork& n : DescribeLocalNetworks()) {
    if (!IsZeroAddress(n.broadcast)) out.push_back(FormatIPv4(n.broadcast));
  }
  return out;
}

}  // namespace

SearchOptions MakeSearchOptions(const CliOptions& options, const LinkHooks* hooks) {
  SearchOptions s;
  s.useSerial = !options.noSerial;
  s.identifyAddresses = options.addresses;
  s.broadcastTargets = [hooks] { return LocalBroadcastTargets(hooks); };
  s.impossibleSources = [named = options.addresses] { return ImpossibleSources(named); };
  return s;
}

std::string DescribePortsAndNetworks(const CliOptions& options, SystemPlatform& platform) {
  std::ostringstream out;
  const std::vector<SerialPortInfo> ports =
      options.ports.empty() ? ExistingSerialPorts() : platform.SerialPorts();
  out << "Serial ports";
  if (options.noSerial) {
    out << ": none searched (--no-serial)\n";
  } else if (ports.empty()) {
    out << ": none found\n";
  } else {
    out << ":\n";
    for (const SerialPortInfo& port : ports) DescribePort(out, platform, port);
  }
  out << "Identify requests go to";
  if (options.noUdp) {
    out << ": nowhere (--no-udp)\n";
    return out.str();
  }
  if (!options.addresses.empty()) {
    out << " (--address):\n";
    for (const auto& t : options.addresses) out << "  " << t << ":" << kDevicePort << '\n';
    return out.str();
  }
  const std::vector<LocalNetwork> networks = DescribeLocalNetworks();
  const std::vector<std::string> targets = LocalBroadcastTargets();
  if (targets.empty()) out << ": no local IPv4 network found";
  out << (targets.empty() ? "\n" : ":\n");
  for (const auto& t : targets) {
    out << "  " << t << ":" << kDevicePort;
    for (const LocalNetwork& n : networks) {
      if (n.leftOut.empty() && FormatIPv4(n.broadcast) == t) {
        out << "  (" << Where(n) << ')';
        break;
      }
    }
    out << '\n';
  }
  bool heading = false;
  for (const LocalNetwork& n : networks) {
    if (n.leftOut.empty()) continue;
    if (!heading) out << "Networks left out:\n";
    heading = true;
    out << "  " << LeftOutLine(n) << '\n';
  }
  return out.str();
}

}  // namespace quillon
