// The system's platform, the parts that every platform shares: the clock and the port table.

#include "link/system_platform.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace quillon {

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
  if (m_userNamed) {
    EnsureDescriptorsFor(m_table.size());
    return;
  }
  m_table.clear();
  const std::vector<std::string> paths = ScanSystemPorts();
  for (std::size_t i = 0; i < paths.size() && i < static_cast<std::size_t>(kMaxSerialPorts); ++i) {
    m_table.push_back({static_cast<int>(i + 1), paths[i]});
  }
  EnsureDescriptorsFor(m_table.size());
}

const std::vector<SerialPortInfo>& SystemPlatform::SerialPorts() {
  if (!m_scanned) RescanSerialPorts();
  return m_table;
}

SerialOpenResult SystemPlatform::OpenSerial(int n) {
  for (const SerialPortInfo& port : SerialPorts()) {
    if (port.number != n) continue;
    SerialOpenResult result = OpenPortPath(port.path, true);
    if (result.handle != kInvalidSerialHandle) {
      const std::lock_guard<std::mutex> lock(m_namesMutex);
      m_openNames[result.handle] = SerialPortName(port);
    }
    return result;
  }
  return {kInvalidSerialHandle, SerialOpenStatus::kMissing, "no such port", {}};
}

void SystemPlatform::SerialClose(SerialHandle h) {
  if (h == kInvalidSerialHandle) return;
  {
    const std::lock_guard<std::mutex> lock(m_namesMutex);
    m_openNames.erase(h);
  }
  ClosePath(h);
}

std::string SystemPlatform::SerialName(SerialHandle h) {
  const std::lock_guard<std::mutex> lock(m_namesMutex);
  const auto it = m_openNames.find(h);
  return it != m_openNames.end() ? it->second : "serial port " + std::to_string(h);
}

}  // namespace quillon
