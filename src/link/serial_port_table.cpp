// The port table that maps COMn to a port of the system, or to the ports the user named.

#include "link/serial_port.h"

namespace quillon {
namespace {

struct PortTable {
  bool user_named = false;
  std::vector<SerialPortInfo> ports;
};

PortTable& Table() {
  static PortTable table;
  return table;
}

std::vector<SerialPortInfo> Number(const std::vector<std::string>& paths) {
  std::vector<SerialPortInfo> out;
  for (std::size_t i = 0; i < paths.size() && i < static_cast<std::size_t>(kMaxSerialPorts); ++i) {
    out.push_back({static_cast<int>(i + 1), paths[i]});
  }
  return out;
}

}  // namespace

std::vector<SerialPortInfo> SystemSerialPorts() {
  return Number(ScanSystemSerialPorts());
}

void SetSerialPortTable(const std::vector<std::string>& paths) {
  std::vector<std::string> opened;
  for (const auto& p : paths) opened.push_back(UserPortPath(p));
  Table().user_named = true;
  Table().ports = Number(opened);
}

void UseSystemSerialPortTable() {
  Table().user_named = false;
  Table().ports = SystemSerialPorts();
}

void RescanSerialPorts() {
  if (!Table().user_named) Table().ports = SystemSerialPorts();
}

const std::vector<SerialPortInfo>& CurrentSerialPortTable() {
  static bool scanned = false;
  if (!scanned && !Table().user_named) Table().ports = SystemSerialPorts();
  scanned = true;
  return Table().ports;
}

}  // namespace quillon
