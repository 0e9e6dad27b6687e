// Serial ports on Windows: CreateFileA on the device namespace name, a DCB for the line settings,
// ClearCommError for the queued count, synchronous ReadFile and WriteFile.
//
// No time-outs (COMMTIMEOUTS) are set on the port, so the port keeps whatever the last program
// left there, which may be "wait until every requested byte is in". A read therefore never asks
// for more than ClearCommError has just reported as queued, and returns at once.

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "link/serial_port_list_win32.h"
#include "link/system_platform.h"

namespace quillon {

// The settings of a port as the tool found it (one thread uses the ports).
struct SystemPlatform::FoundSettings {
  DCB dcb;
};
namespace {

constexpr DWORD kInputQueueBytes = 300;
constexpr DWORD kOutputQueueBytes = 140;
constexpr DWORD kBaudRate = 38400;

HANDLE Native(SerialHandle h) {
  return reinterpret_cast<HANDLE>(h);
}

// "The system cannot find the file specified." without the trailing period and line break.
std::string ErrorText(DWORD code) {
  char text[256] = {};
  const DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, static_cast<DWORD>(sizeof text), nullptr);
  std::string out(text, n);
  while (!out.empty() &&
         (out.back() == '\r' || out.back() == '\n' || out.back() == '.' || out.back() == ' ')) {
    out.pop_back();
  }
  if (out.empty()) out = "error " + std::to_string(code);
  return out;
}

// "COM7" (any case) is a DOS name that CreateFileA resolves only for COM1..COM9; the device
// namespace form "\\.\COM7" reaches every number. Anything else is opened as given.
std::string DeviceName(const std::string& path) {
  if (path.size() > 3 && (path[0] == 'C' || path[0] == 'c') && (path[1] == 'O' || path[1] == 'o') &&
      (path[2] == 'M' || path[2] == 'm') && std::all_of(path.begin() + 3, path.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return "\\\\.\\" + path;
  }
  return path;
}

std::string ComName(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

SerialOpenResult Refused(SerialOpenStatus status, DWORD error) {
  return {kInvalidSerialHandle, status, ErrorText(error), {}};
}

// Exclusive (no sharing): a port that another program holds fails here with access denied.
HANDLE CreatePort(const std::string& path, DWORD* error) {
  const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
  *error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  return h;
}

SerialOpenResult FailedOpen(DWORD error) {
  switch (error) {
    // Windows reports a port that another program holds as access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return Refused(SerialOpenStatus::kBusy, error);
    default:
      return Refused(SerialOpenStatus::kMissing, error);
  }
}

}  // namespace

// COM1..COM256 by number: the search tries every number; a number without a port fails to open
// and is skipped.
std::vector<std::string> SystemPlatform::ScanSystemPorts() {
  std::vector<std::string> ports;
  for (int n = 1; n <= kMaxSerialPorts; ++n) ports.push_back(ComName(n));
  return ports;
}

std::string SystemPlatform::NamedPortPath(const std::string& name) {
  return DeviceName(name);
}

SerialOpenResult SystemPlatform::OpenPath(const std::string& path) {
  DWORD error = ERROR_SUCCESS;
  const HANDLE h = CreatePort(path, &error);
  if (h == INVALID_HANDLE_VALUE) return FailedOpen(error);
  ::SetupComm(h, kInputQueueBytes, kOutputQueueBytes);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const SerialHandle handle = reinterpret_cast<SerialHandle>(h);
  if (::GetCommState(h, &dcb)) m_found[handle] = std::make_shared<FoundSettings>(dcb);
  dcb.BaudRate = kBaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (!::SetCommState(h, &dcb)) {
    error = ::GetLastError();
    m_found.erase(handle);
    ::CloseHandle(h);
    SerialOpenResult r = Refused(SerialOpenStatus::kSettingsRefused, error);
    r.detail = "settings refused: " + r.detail;
    return r;
  }
  return {handle, SerialOpenStatus::kOpened, {}, {}};
}

// The line settings, DTR and RTS included, go back to what the port had before the tool opened it.
void SystemPlatform::ClosePath(SerialHandle h) {
  const HANDLE native = Native(h);
  if (const auto it = m_found.find(h); it != m_found.end()) {
    ::SetCommState(native, &it->second->dcb);
    m_found.erase(it);
  }
  ::CloseHandle(native);
}

// The exclusive open is the system's own check of every holder; there is nothing to look at
// before it.
void SystemPlatform::SurveyPortHolders() {}

SerialOpenResult SystemPlatform::OpenPortPath(const std::string& path, bool /*in_search*/) {
  return OpenPath(path);
}

// Windows names ports (COM7, \\.\COM7); whether one is a serial port shows at the open, which
// does nothing to a port that another program holds.
std::string NamedPortProblem(const std::string& /*path*/) {
  return {};
}

// ClearCommError also clears a latched line error (framing, overrun), which would otherwise
// stop further reads on some drivers.
std::size_t SystemPlatform::SerialQueued(SerialHandle h) {
  if (h == kInvalidSerialHandle) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(Native(h), &errors, &stat)) return 0;
  return stat.cbInQue;
}

std::size_t SystemPlatform::SerialRead(SerialHandle h, std::span<std::uint8_t> buf) {
  const std::size_t want = std::min(buf.size(), SerialQueued(h));
  if (want == 0) return 0;
  DWORD got = 0;
  if (!::ReadFile(Native(h), buf.data(), static_cast<DWORD>(want), &got, nullptr)) return 0;
  return got;
}

std::size_t SystemPlatform::SerialWrite(SerialHandle h, std::span<const std::uint8_t> data) {
  if (h == kInvalidSerialHandle || data.empty()) return 0;
  DWORD written = 0;
  if (!::WriteFile(Native(h), data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
    return 0;
  }
  return written;
}

void EnsureStandardDescriptors() {}

void EnsureDescriptorsFor(std::size_t /*needed*/) {}

// The console's control handler runs on a thread of its own; the write is bounded by the
// port's write timeout.
void WriteSerialForExit(SerialHandle h, std::span<const std::uint8_t> frame) {
  DWORD written = 0;
  if (::WriteFile(Native(h), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) {
    ::FlushFileBuffers(Native(h));
  }
}

// A port opened without overlapped input/output cannot be waited on with a time limit:
// WaitCommEvent would block until a character arrives, however long that takes. Pause instead
// and ask ClearCommError again.
void SystemPlatform::SerialWaitInput(SerialHandle /*h*/, int /*ms*/) {
  SleepMs(1);
}

void SystemPlatform::SerialEnsureBaudRate(SerialHandle h) {
  if (h == kInvalidSerialHandle) return;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(Native(h), &dcb);
  if (dcb.BaudRate != kBaudRate) {
    dcb.BaudRate = kBaudRate;
    ::SetCommState(Native(h), &dcb);
  }
}

// A COM port is not opened (serial_port_list_win32.cpp); anything else is free when it opens
// exclusively and reports line settings; they are read, not changed.
SerialOpenResult ProbeSerialPort(const std::string& path) {
  if (const std::string com = ComNameOf(path); !com.empty()) return ComPortPresence(com);
  DWORD error = ERROR_SUCCESS;
  const HANDLE h = CreatePort(DeviceName(path), &error);
  if (h == INVALID_HANDLE_VALUE) return FailedOpen(error);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const bool serial = ::GetFileType(h) == FILE_TYPE_CHAR && ::GetCommState(h, &dcb);
  ::CloseHandle(h);
  if (!serial)
    return {kInvalidSerialHandle, SerialOpenStatus::kNotASerialPort, "no line settings", {}};
  return {kInvalidSerialHandle, SerialOpenStatus::kOpened, {}, {}};
}

// The ports that the system knows: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM hold their
// names (COM1, COM7, ...).
std::vector<SerialPortInfo> ExistingSerialPorts() {
  std::vector<SerialPortInfo> ports;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD index = 0; index < 1024; ++index) {
    char name[256];
    DWORD name_length = sizeof name;
    char data[64] = {};
    DWORD data_length = sizeof data - 1;
    DWORD type = 0;
    const LONG status = ::RegEnumValueA(key, index, name, &name_length, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &data_length);
    // A name or a value longer than its buffer is no port name: that value is skipped, the
    // enumeration goes on.
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    const std::string com(data, ::strnlen(data, sizeof data));
    if (type != REG_SZ || com.size() < 4 || (com[0] != 'C' && com[0] != 'c')) continue;
    const int n = std::atoi(com.c_str() + 3);
    if (n >= 1 && n <= kMaxSerialPorts) ports.push_back({n, ComName(n)});
  }
  ::RegCloseKey(key);
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.number < b.number; });
  return ports;
}

std::string SerialPermissionFix(const std::string& /*group*/) {
  return "close the program that holds the port, then try again";
}

// The system closes a process's handles when it ends; nothing here needs undoing.
void ReleaseSerialPortsForExit() {}

}  // namespace quillon
