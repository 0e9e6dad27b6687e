// The system's platform with its port table; its serial calls are one file per platform,
// serial_port_posix.cpp and serial_port_win32.cpp, its port table and listing another,
// serial_port_list_posix.cpp and serial_port_list_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "link/platform.h"

namespace quillon {

class PortHolderSurvey;

// The system's platform: the monotonic clock and the real serial ports. COMn stands for the n-th
// port of the system's list (on Windows, \\.\COMn), or for the n-th port the user named.
class SystemPlatform final : public Platform {
 public:
  SystemPlatform() = default;
  SystemPlatform(const SystemPlatform&) = delete;
  SystemPlatform& operator=(const SystemPlatform&) = delete;

  // The user names the ports (an empty list: no serial port at all), or the system's list is
  // used again.
  void UseNamedSerialPorts(const std::vector<std::string>& paths);
  void UseSystemSerialPorts();

  std::int64_t NowMs() override;
  void SleepMs(int ms) override;
  void RescanSerialPorts() override;
  const std::vector<SerialPortInfo>& SerialPorts() override;
  SerialOpenResult OpenSerial(int n) override;
  std::size_t SerialQueued(SerialHandle h) override;
  std::size_t SerialRead(SerialHandle h, std::span<std::uint8_t> buf) override;
  std::size_t SerialWrite(SerialHandle h, std::span<const std::uint8_t> data) override;
  void SerialClose(SerialHandle h) override;
  void SerialWaitInput(SerialHandle h, int ms) override;
  void SerialEnsureBaudRate(SerialHandle h) override;
  std::string SerialName(SerialHandle h) override;

  // Opens one port by its path, as OpenSerial does for a row of the table, with a fresh look at
  // who holds ports.
  SerialOpenResult OpenPath(const std::string& path);

  // What a port is, for the port listing, without opening it with the line settings and without
  // touching its modem lines: access and locks only (status kOpened: free).
  SerialOpenResult ProbePath(const std::string& path);

 private:
  // The platform's list of its ports, in COM order, at most 256 (serial_port_list_*.cpp).
  static std::vector<std::string> ScanSystemPorts();
  // What a port named by the user is opened as (Windows: COM7 and com7 are \\.\COM7).
  static std::string NamedPortPath(const std::string& name);
  // Closes a handle that OpenPath opened (one per platform file).
  void ClosePath(SerialHandle h);
  // Looks once at who holds ports, for the opens of one search (POSIX: /proc; one per platform
  // file).
  void SurveyPortHolders();
  // The look SurveyPortHolders took, taken again when it is older than a second (POSIX).
  std::shared_ptr<const PortHolderSurvey> RecentSurvey();
  // OpenPath; in a search, with the look that SurveyPortHolders took.
  SerialOpenResult OpenPortPath(const std::string& path, bool in_search);

  bool m_userNamed = false;
  bool m_scanned = false;
  std::vector<SerialPortInfo> m_table;
  // Ports open side by side in a search: OpenSerial and SerialClose may run on several threads.
  std::mutex m_namesMutex;
  std::map<SerialHandle, std::string> m_openNames;  // "COMn (path)" of each open port
  // Who holds ports (POSIX), shared by the opens of a search, which may run on several threads.
  std::mutex m_surveyMutex;
  std::shared_ptr<const PortHolderSurvey> m_survey;
  std::int64_t m_surveyTakenAt = 0;
};

}  // namespace quillon
