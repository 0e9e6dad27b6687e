// Serial ports on Windows: CreateFileA on the device namespace name, a DCB for the line settings,
// COMMTIMEOUTS that make a read return at once and bound a write, ClearCommError for the queued
// count, synchronous ReadFile and WriteFile. A read never asks for more than ClearCommError has
// just reported as queued. The port's own DCB and time-outs go back when it closes, also when the
// process is made to end at once (ReleaseSerialPortsForExit).

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_line_win32.h"
#include "link/serial_port.h"
#include "link/serial_port_list_win32.h"
#include "link/system_platform.h"

namespace quillon {

namespace {

constexpr DWORD kInputQueueBytes = 300;
constexpr DWORD kOutputQueueBytes = 140;
constexpr DWORD kBaudRate = 38400;
// A 136-byte frame takes 35 ms at 38400 baud; a write still pending after this is stuck.
constexpr DWORD kWriteTimeoutMs = 1000;

// Each open port with the settings it had before the tool changed them. The console control
// handler runs on a thread of its own and may release the ports while the search holds them, so
// the table is fixed and each slot's handle is taken by exactly one side (an atomic exchange):
// whoever takes it puts the settings back and closes it.
struct HeldPort {
  std::atomic<HANDLE> handle{nullptr};
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  bool haveDcb = false;
  bool haveTimeouts = false;
};
std::array<HeldPort, kMaxSerialPorts> g_held;

void Restore(HANDLE h, const HeldPort& held) {
  if (held.haveDcb) {
    DCB dcb = held.dcb;
    ::SetCommState(h, &dcb);
  }
  if (held.haveTimeouts) {
    COMMTIMEOUTS timeouts = held.timeouts;
    ::SetCommTimeouts(h, &timeouts);
  }
}

// Takes a free slot for h with the settings found; false when every slot is taken (the port is
// then closed again: 256 ports at once are all the search opens).
bool Hold(HANDLE h, const DCB* dcb, const COMMTIMEOUTS* timeouts) {
  // The search opens its ports side by side: two opens must not fill one slot.
  static std::mutex hold_mutex;
  const std::lock_guard<std::mutex> lock(hold_mutex);
  for (HeldPort& held : g_held) {
    if (held.handle.load() != nullptr) continue;
    held.haveDcb = dcb != nullptr;
    if (dcb) held.dcb = *dcb;
    held.haveTimeouts = timeouts != nullptr;
    if (timeouts) held.timeouts = *timeouts;
    HANDLE expected = nullptr;
    if (held.handle.compare_exchange_strong(expected, h)) return true;
  }
  return false;
}

// Puts the port's settings back and closes it, unless the forced exit already did.
void Unhold(HANDLE h) {
  for (HeldPort& held : g_held) {
    HANDLE expected = h;
    if (held.handle.load() == h && held.handle.compare_exchange_strong(expected, nullptr)) {
      Restore(h, held);
      ::CloseHandle(h);
      return;
    }
  }
}

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

std::string SystemPlatform::NamedPortPath(const std::string& name) {
  const int n = ComPortNumber(name);
  return n > 0 ? ComName(n) : name;
}

DCB DeviceLineSettings(const DCB& reported) {
  DCB dcb = reported;
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = kBaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  // Unused without software flow control, but drivers refuse equal XON and XOFF characters and
  // limits beyond the input queue.
  dcb.XonLim = kInputQueueBytes / 4;
  dcb.XoffLim = kInputQueueBytes / 4;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  return dcb;
}

COMMTIMEOUTS DeviceTimeouts() {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with both read totals 0: return what is queued
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
  return timeouts;
}

SerialOpenResult SystemPlatform::OpenPath(const std::string& path) {
  DWORD error = ERROR_SUCCESS;
  const HANDLE h = CreatePort(path, &error);
  if (h == INVALID_HANDLE_VALUE) return FailedOpen(error);
  ::SetupComm(h, kInputQueueBytes, kOutputQueueBytes);
  DCB found{};
  found.DCBlength = sizeof found;
  const bool have_dcb = ::GetCommState(h, &found) != 0;
  COMMTIMEOUTS found_timeouts{};
  const bool have_timeouts = ::GetCommTimeouts(h, &found_timeouts) != 0;
  if (!Hold(h, have_dcb ? &found : nullptr, have_timeouts ? &found_timeouts : nullptr)) {
    ::CloseHandle(h);
    return Refused(SerialOpenStatus::kBusy, ERROR_TOO_MANY_OPEN_FILES);
  }
  DCB dcb = DeviceLineSettings(found);
  COMMTIMEOUTS timeouts = DeviceTimeouts();
  if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &timeouts)) {
    error = ::GetLastError();
    Unhold(h);
    SerialOpenResult r = Refused(SerialOpenStatus::kSettingsRefused, error);
    r.detail = "settings refused: " + r.detail;
    return r;
  }
  return {reinterpret_cast<SerialHandle>(h), SerialOpenStatus::kOpened, {}, {}};
}

// The line settings, DTR and RTS included, and the time-outs go back to what the port had before
// the tool opened it.
void SystemPlatform::ClosePath(SerialHandle h) {
  Unhold(Native(h));
}

// The exclusive open is the system's own check of every holder; there is nothing to look at
// before it.
void SystemPlatform::SurveyPortHolders() {}

SerialOpenResult SystemPlatform::OpenPortPath(const std::string& path, bool /*in_search*/) {
  return OpenPath(path);
}

// Windows names its serial ports COM1 to COM256 ("COM7" is the DOS name that CreateFileA resolves
// only up to COM9, "\\.\COM7" reaches every number). A port the system neither lists nor can
// open ("file not found") is not there. A port that is there but busy or denied is left to the
// search, which names the reason; a listed port is never opened here, since an open can switch
// its lines.
std::string NamedPortProblem(const std::string& path) {
  const int n = ComPortNumber(path);
  if (n == 0) {
    return path + " is not the name of a serial port: Windows names them COM1 to COM" +
           std::to_string(kMaxSerialPorts);
  }
  const std::string com = "COM" + std::to_string(n);
  if (ComPortPresence(com).status != SerialOpenStatus::kMissing) return {};
  for (const SerialPortInfo& port : ExistingSerialPorts()) {
    if (port.number == n) return {};
  }
  DWORD error = ERROR_SUCCESS;
  const HANDLE h = CreatePort(ComName(n), &error);
  if (h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return {};
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return path + " is not a serial port of this computer";
  }
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
SerialOpenResult SystemPlatform::ProbePath(const std::string& path) {
  if (const std::string com = ComNameOf(path); !com.empty()) return ComPortPresence(com);
  DWORD error = ERROR_SUCCESS;
  const HANDLE h = CreatePort(path, &error);
  if (h == INVALID_HANDLE_VALUE) return FailedOpen(error);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const bool serial = ::GetFileType(h) == FILE_TYPE_CHAR && ::GetCommState(h, &dcb);
  ::CloseHandle(h);
  if (!serial)
    return {kInvalidSerialHandle, SerialOpenStatus::kNotASerialPort, "no line settings", {}};
  return {kInvalidSerialHandle, SerialOpenStatus::kOpened, {}, {}};
}

// From the console control handler's thread while the main thread may still use the ports: each
// port is taken from its slot first, so that it is restored and closed once.
void ReleaseSerialPortsForExit() {
  for (HeldPort& held : g_held) {
    if (const HANDLE h = held.handle.exchange(nullptr)) {
      Restore(h, held);
      ::CloseHandle(h);
    }
  }
}

}  // namespace quillon
