// The system's platform, the parts that every platform shares: the clock and the port table.

#include "link/system_platform.h"

#include <algorithm>
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

// A port of the Windows device namespace keeps its own number (COM9 is COM9, wherever it stands
// on the command line); any other path takes the lowest number left, in the order given. A port
// named twice is searched once.
void SystemPlatform::UseNamedSerialPorts(const std::vector<std::string>& paths) {
  m_userNamed = true;
  m_scanned = true;
  m_table.clear();
  std::vector<std::string> unnumbered;
  std::vector<bool> taken(kMaxSerialPorts + 1, false);
  for (const std::string& name : paths) {
    std::string path = NamedPortPath(name);
    const bool named_before =
        std::any_of(m_table.begin(), m_table.end(),
                    [&path](const auto& p) { return p.path == path; }) ||
        std::find(unnumbered.begin(), unnumbered.end(), path) != unnumbered.end();
    if (named_before) continue;
    const int n = path.rfind("\\\\.\\", 0) == 0 ? ComPortNumber(path) : 0;
    if (n > 0 && !taken[n]) {
      taken[n] = true;
      m_table.push_back({n, std::move(path)});
    } else if (n == 0) {
      unnumbered.push_back(std::move(path));
    }
  }
  int next = 1;
  for (std::string& path : unnumbered) {
    while (next <= kMaxSerialPorts && taken[next]) ++next;
    if (next > kMaxSerialPorts) break;
    taken[next] = true;
    m_table.push_back({next, std::move(path)});
  }
  std::sort(m_table.begin(), m_table.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.number < b.number; });
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
