// The parts of the serial layer that every platform shares: the owner of an open port and the
// traced calls.

#include "link/serial_port.h"

#include "link/leave_at_exit.h"
#include "link/link.h"

namespace quillon {

int ComPortNumber(const std::string& name) {
  const std::size_t start = name.rfind("\\\\.\\", 0) == 0 ? 4 : 0;
  if (name.size() < start + 4 || name.size() > start + 6) return 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[start + i] & ~0x20) != "COM"[i]) return 0;
  }
  int n = 0;
  for (std::size_t i = start + 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || (n == 0 && name[i] == '0')) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n <= kMaxSerialPorts ? n : 0;
}

std::string SerialPortName(int number, const std::string& path) {
  const std::string com = "COM" + std::to_string(number);
  if (path.rfind("\\\\.\\", 0) == 0 && ComPortNumber(path) == number) return com;
  return com + " (" + path + ")";
}

SerialPort SerialPort::Open(const Link& link, int n, SerialOpenResult* result) {
  return Adopt(link, n, link.platform().OpenSerial(n), result);
}

SerialPort SerialPort::Adopt(const Link& link, int n, SerialOpenResult opened,
                             SerialOpenResult* result) {
  Platform& platform = link.platform();
  if (opened.handle == kInvalidSerialHandle && opened.status != SerialOpenStatus::kMissing) {
    std::string where = "COM" + std::to_string(n);
    for (const SerialPortInfo& port : platform.SerialPorts()) {
      if (port.number == n) where = SerialPortName(port);
    }
    link.TraceNote(where + " skipped: " + opened.detail);
  }
  const SerialHandle h = opened.handle;
  if (result) *result = std::move(opened);
  return SerialPort(platform, h);
}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    Close();
    m_platform = other.m_platform;
    m_handle = other.m_handle;
    other.m_handle = kInvalidSerialHandle;
  }
  return *this;
}

SerialHandle SerialPort::Release() {
  const SerialHandle h = m_handle;
  m_handle = kInvalidSerialHandle;
  return h;
}

void SerialPort::Close() {
  if (m_handle == kInvalidSerialHandle) return;
  DisarmLeaveAtExitPort(m_handle);  // nothing is ever written to a closed descriptor
  m_platform->SerialClose(m_handle);
  m_handle = kInvalidSerialHandle;
}

std::size_t SerialQueued(const Link& link, SerialHandle port) {
  return link.platform().SerialQueued(port);
}

std::size_t SerialRead(const Link& link, SerialHandle port, std::span<std::uint8_t> buf) {
  Platform& platform = link.platform();
  const std::size_t n = platform.SerialRead(port, buf);
  if (n > 0 && link.Tracing()) {
    link.TraceWire("serial " + platform.SerialName(port) + " <", buf.first(n));
  }
  return n;
}

std::size_t SerialWrite(const Link& link, SerialHandle port, std::span<const std::uint8_t> data) {
  Platform& platform = link.platform();
  if (link.Tracing()) link.TraceWire("serial " + platform.SerialName(port) + " >", data);
  return platform.SerialWrite(port, data);
}

}  // namespace quillon
