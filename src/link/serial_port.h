// Serial ports: the owner of an open port, and the calls that the protocols make on a port, with
// the wire trace. The system's serial calls are one file per platform, serial_port_posix.cpp and
// serial_port_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "link/platform.h"

namespace quillon {

class Link;

// Owns one open port of a platform and closes it when destroyed, unless the port has been
// released. Move-only.
class SerialPort {
 public:
  SerialPort() = default;
  // Opens COMn of the link's port table.
  static SerialPort Open(const Link& link, int n, SerialOpenResult* result = nullptr);
  // Takes on what the platform's OpenSerial(n) gave, as Open does.
  static SerialPort Adopt(const Link& link, int n, SerialOpenResult opened,
                          SerialOpenResult* result = nullptr);
  ~SerialPort() { Close(); }
  SerialPort(SerialPort&& other) noexcept : m_platform(other.m_platform), m_handle(other.m_handle) {
    other.m_handle = kInvalidSerialHandle;
  }
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool IsOpen() const { return m_handle != kInvalidSerialHandle; }
  SerialHandle handle() const { return m_handle; }
  // Gives the handle away; this object no longer closes it.
  SerialHandle Release();
  void Close();

 private:
  SerialPort(Platform& platform, SerialHandle h) : m_platform(&platform), m_handle(h) {}
  Platform* m_platform = nullptr;
  SerialHandle m_handle = kInvalidSerialHandle;
};

// The protocols' calls on an open port, through the link's platform, with the wire trace.
std::size_t SerialQueued(const Link& link, SerialHandle port);
std::size_t SerialRead(const Link& link, SerialHandle port, std::span<std::uint8_t> buf);
std::size_t SerialWrite(const Link& link, SerialHandle port, std::span<const std::uint8_t> data);

// Why a path the user named with --port cannot be a serial port (POSIX: an existing file that is
// not a terminal device, never opened to find out); empty when it may be one or does not exist.
std::string NamedPortProblem(const std::string& path);

// How the system knows the device behind a port, for the listing; empty where it has nothing.
struct SerialPortIdentity {
  std::string stableName;  // POSIX: its name under /dev/serial/by-id
  std::string usbId;       // "0403:6001"
  std::string manufacturer;
  std::string product;
  std::string serialNumber;  // the adapter's own
  int usbInterface = -1;     // the interface of a composite adapter (Windows)
  std::string friendlyName;  // Windows: Device Manager's name, "USB Serial Port (COM7)"
  std::string problem;       // Windows: what Device Manager reports wrong with the device
};
SerialPortIdentity IdentifySerialPort(const std::string& path);

// The ports that exist, for the listing (Windows: the registry's SERIALCOMM; POSIX: the system's
// port table).
std::vector<SerialPortInfo> ExistingSerialPorts();

// Releases every port this process holds, from a signal handler: only async-signal-safe calls.
void ReleaseSerialPortsForExit();
// Writes a frame to an open port from a path that ends the process, and waits until it has left
// (so that the port's settings are not put back under it): only async-signal-safe calls.
void WriteSerialForExit(SerialHandle h, std::span<const std::uint8_t> frame);

}  // namespace quillon
