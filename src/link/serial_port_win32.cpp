// Serial ports on Windows: CreateFileA on the device namespace name, a DCB for the line settings,
// ClearCommError for the queued count, synchronous ReadFile and WriteFile.
//
// No time-outs (COMMTIMEOUTS) are set on the port, so the port keeps whatever the last program
// left there, which may be "wait until every requested byte is in". A read therefore never asks
// for more than ClearCommError has just reported as queued, and returns at once.

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace quillon {
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

// How an open went, for the search's trace and for --list-ports.
struct OpenOutcome {
  SerialHandle handle = kInvalidSerialHandle;
  DWORD error = ERROR_SUCCESS;
  bool settings_refused = false;
};

OpenOutcome OpenPort(const std::string& path) {
  OpenOutcome out;
  // Exclusive (no sharing): a port that another program holds fails here with access denied.
  const HANDLE h = ::CreateFileA(DeviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    out.error = ::GetLastError();
    return out;
  }
  ::SetupComm(h, kInputQueueBytes, kOutputQueueBytes);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(h, &dcb);
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
    out.error = ::GetLastError();
    out.settings_refused = true;
    ::CloseHandle(h);
    return out;
  }
  out.handle = reinterpret_cast<SerialHandle>(h);
  return out;
}

}  // namespace

// COM1..COM256 by number: Windows has no cheap list of the ports that exist, and the search
// tries every number anyway; a number without a port fails to open and is skipped.
std::vector<std::string> ScanSystemSerialPorts() {
  std::vector<std::string> ports;
  for (int n = 1; n <= kMaxSerialPorts; ++n) ports.push_back(ComName(n));
  return ports;
}

std::string UserPortPath(const std::string& name) {
  return DeviceName(name);
}

SerialHandle SerialOpenPath(const std::string& path, std::string* why) {
  const OpenOutcome out = OpenPort(path);
  if (out.handle == kInvalidSerialHandle && why) {
    *why = (out.settings_refused ? "settings refused: " : "") + ErrorText(out.error);
  }
  return out.handle;
}

// ClearCommError also clears a latched line error (framing, overrun), which would otherwise
// stop further reads on some drivers.
long SerialQueuedCount(SerialHandle h) {
  if (h == kInvalidSerialHandle) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(Native(h), &errors, &stat)) return 0;
  return static_cast<long>(stat.cbInQue);
}

long SerialReadQueued(SerialHandle h, std::uint8_t* buf, long max) {
  const long queued = SerialQueuedCount(h);
  const long want = std::min(max, queued);
  if (want <= 0) return 0;
  DWORD got = 0;
  if (!::ReadFile(Native(h), buf, static_cast<DWORD>(want), &got, nullptr)) return 0;
  return static_cast<long>(got);
}

long SerialWriteBytes(SerialHandle h, const std::uint8_t* buf, long n) {
  if (h == kInvalidSerialHandle || n <= 0) return 0;
  DWORD written = 0;
  if (!::WriteFile(Native(h), buf, static_cast<DWORD>(n), &written, nullptr)) return 0;
  return static_cast<long>(written);
}

// A port opened without overlapped input/output cannot be waited on with a time limit:
// WaitCommEvent would block until a character arrives, however long that takes. The caller
// pauses instead and asks ClearCommError again.
bool SerialWaitReadable(SerialHandle /*h*/, int /*ms*/) {
  return false;
}

void SerialCloseHandle(SerialHandle h) {
  if (h != kInvalidSerialHandle) ::CloseHandle(Native(h));
}

void SerialEnsureBaud(SerialHandle h) {
  if (h == kInvalidSerialHandle) return;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(Native(h), &dcb);
  if (dcb.BaudRate != kBaudRate) {
    dcb.BaudRate = kBaudRate;
    ::SetCommState(Native(h), &dcb);
  }
}

std::string SerialPermissionHint() {
  return "A port that says 'busy' is open in another program (a terminal, another tool for the "
         "device): close that program, then try again.";
}

PortState ProbeSerialPort(const std::string& path, std::string* detail) {
  const OpenOutcome out = OpenPort(path);
  if (out.handle != kInvalidSerialHandle) {
    SerialCloseHandle(out.handle);
    return PortState::kFree;
  }
  if (detail) *detail = ErrorText(out.error);
  if (out.settings_refused) return PortState::kSettingsRefused;
  switch (out.error) {
    // Windows reports a port that another program holds as access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return PortState::kBusy;
    default:
      return PortState::kMissing;
  }
}

}  // namespace quillon
