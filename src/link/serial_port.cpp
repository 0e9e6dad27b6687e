// The parts of the serial layer that every platform shares: the owner of an open port and the
// traced calls.

#include "link/serial_port.h"

#include "link/leave_at_exit.h"
#include "link/link.h"

namespace quillon {

std::string SerialPortName(int number, const std::string& path) {
  return "COM" + std::to_string(number) + " (" + path + ")";
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
