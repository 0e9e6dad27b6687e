// The operating-system calls that the link layer makes on serial ports and on the clock.
//
// The process has one current Platform. Normally it is the system's (serial ports through the
// port table, the monotonic clock); tests install a scripted one so that the timing rules of the
// search and the service-mode entry can be driven by a fake clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

// An open serial port. On Windows this carries the HANDLE, on POSIX the file descriptor.
using SerialHandle = std::intptr_t;
// The invalid handle: all bits set, as INVALID_HANDLE_VALUE.
inline constexpr SerialHandle kInvalidSerialHandle = -1;

// Highest port number of the port table (COM1..COM256).
inline constexpr int kMaxSerialPorts = 256;

class Platform {
 public:
  virtual ~Platform() = default;

  // Monotonic milliseconds. Deadlines are values of this clock.
  virtual std::int64_t NowMs() = 0;
  // Gives up the processor for about ms milliseconds (0: just yield).
  virtual void SleepMs(int ms) = 0;

  // Opens port n (1..256) of the port table exclusively with the device's line settings.
  // Returns kInvalidSerialHandle when the port does not exist, is busy or refuses the settings;
  // *why (when given) then says which, for the verbose trace.
  virtual SerialHandle OpenSerial(int n, std::string* why) = 0;
  // Bytes waiting in the port's input queue; 0 when the port is gone.
  virtual long SerialQueued(SerialHandle h) = 0;
  // Reads at most max bytes that are already queued; never waits. Returns the count read.
  virtual long SerialRead(SerialHandle h, std::uint8_t* buf, long max) = 0;
  // Writes n bytes; the result is the count written (callers ignore it, as the device's
  // protocol does: a lost write shows up as a missing reply).
  virtual long SerialWrite(SerialHandle h, const std::uint8_t* buf, long n) = 0;
  virtual void SerialClose(SerialHandle h) = 0;
  // Waits up to ms milliseconds for input to arrive on an empty port, or just pauses where the
  // system cannot tell (returns early at the latest when bytes arrive).
  virtual void SerialWaitInput(SerialHandle h, int ms) = 0;
  // Puts the port back to 38400 baud if something changed it.
  virtual void SerialEnsureBaudRate(SerialHandle h) = 0;
};

// The platform in force. Never null.
Platform& CurrentPlatform();

// The system's platform: the real clock and the real serial ports of the port table.
Platform& SystemPlatform();

// Installs a platform for the lifetime of the guard (tests), then restores the previous one.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& p);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

// Convenience for the current platform's clock.
inline std::int64_t NowMs() {
  return CurrentPlatform().NowMs();
}

}  // namespace quillon
