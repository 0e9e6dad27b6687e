// The operating-system calls that the link layer makes on serial ports and on the clock.
//
// The front ends pass the system's (system_platform.h: the real ports of the port table, the
// monotonic clock) into the link; tests pass a scripted one so that the timing rules of the
// search and the service-mode entry can be driven by a fake clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillon {

// An open serial port. On Windows this carries the HANDLE, on POSIX the file descriptor.
using SerialHandle = std::intptr_t;
// The invalid handle: all bits set, as INVALID_HANDLE_VALUE.
inline constexpr SerialHandle kInvalidSerialHandle = -1;

// Highest port number of the port table (COM1..COM256).
inline constexpr int kMaxSerialPorts = 256;

// One row of the port table: COMn and what the system opens for it.
struct SerialPortInfo {
  int number = 0;
  std::string path;
};

// How a port is named to the user everywhere: "COM3 (/dev/ttyUSB0)"; a port of the Windows
// device namespace, "\\.\COM9" as COM9, is just "COM9", as Windows names it.
std::string SerialPortName(int number, const std::string& path);
// n for "COMn" or "\\.\COMn" (any case, 1..256, no leading zero); 0 for any other name.
int ComPortNumber(const std::string& name);
inline std::string SerialPortName(const SerialPortInfo& port) {
  return SerialPortName(port.number, port.path);
}

// The outcome of opening (or, for a listing, of probing) a port.
enum class SerialOpenStatus {
  kOpened,            // open, with the device's line settings (a probe: free)
  kMissing,           // no such port
  kBusy,              // another program holds it (detail: who or what says so)
  kPermissionDenied,  // the user may not open it (group: the device's owning group)
  kNotASerialPort,    // a file, a FIFO, /dev/null ...
  kSettingsRefused,   // opened, but the line settings were refused; closed again
  kNotSearched,       // a system console or this program's own terminal: never touched
  kNotProbed,         // a listing's probe: the port is there; only an open could tell more
  kNoDescriptors,     // this process is at its limit of open files (detail: that limit)
};

struct SerialOpenResult {
  SerialHandle handle = kInvalidSerialHandle;
  SerialOpenStatus status = SerialOpenStatus::kMissing;
  std::string detail;  // for the user: the holder, the system's error text
  std::string group;   // kPermissionDenied: the group that owns the device, when known
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Monotonic milliseconds. Deadlines are values of this clock.
  virtual std::int64_t NowMs() = 0;
  // Gives up the processor for about ms milliseconds (0: just yield).
  virtual void SleepMs(int ms) = 0;

  // The port table, read afresh: the search does so once at its start, so that an adapter
  // plugged in meanwhile is seen.
  virtual void RescanSerialPorts() = 0;
  virtual const std::vector<SerialPortInfo>& SerialPorts() = 0;
  // Opens COMn (1..256) of the table exclusively with the device's line settings. A port that
  // someone else holds is left exactly as it was found.
  virtual SerialOpenResult OpenSerial(int n) = 0;
  // Bytes waiting in the port's input queue; 0 when the port is gone.
  virtual std::size_t SerialQueued(SerialHandle h) = 0;
  // Reads at most buf.size() bytes that are already queued; never waits. Returns the count read.
  virtual std::size_t SerialRead(SerialHandle h, std::span<std::uint8_t> buf) = 0;
  // Writes the bytes; the result is the count written (callers ignore it, as the device's
  // protocol does: a lost write shows up as a missing reply).
  virtual std::size_t SerialWrite(SerialHandle h, std::span<const std::uint8_t> data) = 0;
  // Closes the port and releases every lock the open took.
  virtual void SerialClose(SerialHandle h) = 0;
  // Waits up to ms milliseconds for input to arrive on an empty port, or just pauses where the
  // system cannot tell (returns early at the latest when bytes arrive).
  virtual void SerialWaitInput(SerialHandle h, int ms) = 0;
  // Puts the port back to 38400 baud if something changed it.
  virtual void SerialEnsureBaudRate(SerialHandle h) = 0;
  // "COMn (path)" of an open port, for the trace.
  virtual std::string SerialName(SerialHandle h) = 0;
};

// Makes sure standard input, output and error are open (on /dev/null where they were closed)
// before anything else is opened: a serial port or socket that took descriptor 2 would receive
// the trace. Nothing to do on Windows, where a port never becomes a standard handle.
void EnsureStandardDescriptors();
// Raises this process's limit of open files, as far as the system allows, so that `needed` more
// can be opened. Nothing to do on Windows.
void EnsureDescriptorsFor(std::size_t needed);

// The system's monotonic clock in milliseconds (std::chrono::steady_clock), for code that must
// not follow a test's fake clock: the simulator, the tests' own time limits.
std::int64_t SteadyClockMs();

}  // namespace quillon
