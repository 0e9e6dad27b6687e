#include "app/front_end.h"

#include <sstream>

#include "link/endpoint.h"
#include "link/serial_port.h"
#include "search/broadcast_addresses.h"
#include "search/network_config.h"

namespace quillon {

void ApplyPortOptions(const CliOptions& options) {
  if (!options.ports.empty()) SetSerialPortTable(options.ports);
}

std::unique_ptr<DatagramSocket> MakeLinkSocket(const CliOptions& options) {
  if (options.noUdp) return nullptr;
  return CreateLinkSocket();
}

std::vector<std::string> LocalBroadcastTargets() {
  return BroadcastTargetTexts(GetBroadcastAddresses());
}

SessionOptions MakeSessionOptions(const CliOptions& options) {
  SessionOptions s;
  s.useSerial = !options.noSerial;
  s.identifyAddresses = options.addresses;
  s.broadcastTargets = LocalBroadcastTargets;
  return s;
}

std::string DescribePortsAndNetworks(const CliOptions& options) {
  std::ostringstream out;
  const auto& table = CurrentSerialPortTable();
  out << "Serial ports";
  if (options.noSerial) {
    out << ": none searched (--no-serial)\n";
  } else if (table.empty()) {
    out << ": none found\n";
  } else {
    out << ":\n";
    bool denied = false;
    for (const auto& port : table) {
      std::string detail;
      const PortState state = ProbeSerialPort(port.path, &detail);
      out << "  COM" << port.number << "  " << port.path << "  ";
      switch (state) {
        case PortState::kFree:
          out << "free";
          break;
        case PortState::kBusy:
          out << "busy (" << detail << ")";
          break;
        case PortState::kPermissionDenied:
          out << "permission denied (" << detail << ")";
          denied = true;
          break;
        case PortState::kMissing:
          out << "missing (" << detail << ")";
          break;
        case PortState::kSettingsRefused:
          out << "refuses the line settings (" << detail << ")";
          break;
      }
      out << '\n';
    }
    if (denied) out << SerialPermissionHint() << '\n';
  }
  out << "Identify requests go to";
  if (options.noUdp) {
    out << ": nowhere (--no-udp)\n";
  } else {
    const auto targets = options.addresses.empty() ? LocalBroadcastTargets() : options.addresses;
    if (targets.empty()) out << ": no local IPv4 network found";
    out << (targets.empty() ? "\n" : ":\n");
    for (const auto& t : targets) out << "  " << t << ":50000\n";
  }
  return out.str();
}

}  // namespace quillon
