// The parts of the serial layer that every platform shares: the port table, the owner of an open
// port and the traced calls.

#include "link/serial_port.h"

#include <chrono>
#include <thread>

#include "link/trace.h"

namespace quillon {

std::string SerialPortName(int number, const std::string& path) {
  return "COM" + std::to_string(number) + " (" + path + ")";
}

SystemPlatform& SystemPlatform::Instance() {
  static SystemPlatform platform;
  return platform;
}

std::int64_t SystemPlatform::NowMs() {
  return SteadyClockMs();
}

void SystemPlatform::SleepMs(int ms) {
  if (ms <= 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void SystemPlatform::UseNamedSerialPorts(const std::vector<std::string>& paths) {
  m_userNamed = true;
  m_scanned = true;
  m_table.clear();
  for (std::size_t i = 0; i < paths.size() && i < static_cast<std::size_t>(kMaxSerialPorts); ++i) {
    m_table.push_back({static_cast<int>(i + 1), NamedPortPath(paths[i])});
  }
}

void SystemPlatform::UseSystemSerialPorts() {
  m_userNamed = false;
  RescanSerialPorts();
}

void SystemPlatform::RescanSerialPorts() {
  m_scanned = true;
  SurveyPortHolders();
  if (m_userNamed) return;
  m_table.clear();
  const std::vector<std::string> paths = ScanSystemPorts();
  for (std::size_t i = 0; i < paths.size() && i < static_cast<std::size_t>(kMaxSerialPorts); ++i) {
    m_table.push_back({static_cast<int>(i + 1), paths[i]});
  }
}

const std::vector<SerialPortInfo>& SystemPlatform::SerialPorts() {
  if (!m_scanned) RescanSerialPorts();
  return m_table;
}

SerialOpenResult SystemPlatform::OpenSerial(int n) {
  for (const SerialPortInfo& port : SerialPorts()) {
    if (port.number != n) continue;
    SerialOpenResult result = OpenPortPath(port.path, true);
    if (result.handle != kInvalidSerialHandle) m_openNames[result.handle] = SerialPortName(port);
    return result;
  }
  return {kInvalidSerialHandle, SerialOpenStatus::kMissing, "no such port", {}};
}

void SystemPlatform::SerialClose(SerialHandle h) {
  if (h == kInvalidSerialHandle) return;
  m_openNames.erase(h);
  ClosePath(h);
}

std::string SystemPlatform::SerialName(SerialHandle h) {
  const auto it = m_openNames.find(h);
  return it != m_openNames.end() ? it->second : "serial port " + std::to_string(h);
}

SerialPort SerialPort::Open(int n, SerialOpenResult* result) {
  Platform& platform = CurrentPlatform();
  SerialOpenResult opened = platform.OpenSerial(n);
  if (opened.handle == kInvalidSerialHandle && opened.status != SerialOpenStatus::kMissing) {
    std::string where = "COM" + std::to_string(n);
    for (const SerialPortInfo& port : platform.SerialPorts()) {
      if (port.number == n) where = SerialPortName(port);
    }
    TraceNote(where + " skipped: " + opened.detail);
  }
  const SerialHandle h = opened.handle;
  if (result) *result = std::move(opened);
  return SerialPort(h);
}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    Close();
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
  CloseSerialPort(m_handle);
  m_handle = kInvalidSerialHandle;
}

std::size_t SerialQueued(SerialHandle port) {
  return CurrentPlatform().SerialQueued(port);
}

std::size_t SerialRead(SerialHandle port, std::span<std::uint8_t> buf) {
  Platform& platform = CurrentPlatform();
  const std::size_t n = platform.SerialRead(port, buf);
  if (n > 0 && WireTraceEnabled()) {
    TraceWire("serial " + platform.SerialName(port) + " <", buf.first(n));
  }
  return n;
}

std::size_t SerialWrite(SerialHandle port, std::span<const std::uint8_t> data) {
  Platform& platform = CurrentPlatform();
  if (WireTraceEnabled()) TraceWire("serial " + platform.SerialName(port) + " >", data);
  return platform.SerialWrite(port, data);
}

void CloseSerialPort(SerialHandle port) {
  if (port != kInvalidSerialHandle) CurrentPlatform().SerialClose(port);
}

}  // namespace quillon
