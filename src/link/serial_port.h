// The system's serial ports: the port table that maps COMn to a device, and the calls on an
// open port. One implementation per platform (serial_port_posix.cpp, serial_port_win32.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/platform.h"

namespace quillon {

// One row of the port table.
struct SerialPortInfo {
  int number = 0;    // n of COMn
  std::string path;  // what the system opens for it
};

// The ports that COM1, COM2, ... stand for on this system, in that order, at most 256.
std::vector<SerialPortInfo> SystemSerialPorts();
// The platform's part of the table: the system's port paths in order, and what a port named by
// the user is opened as.
std::vector<std::string> ScanSystemSerialPorts();
std::string UserPortPath(const std::string& name);

// Replaces the port table (the user named the ports). An empty list means no serial port.
void SetSerialPortTable(const std::vector<std::string>& paths);
// Goes back to the system's own list.
void UseSystemSerialPortTable();
// The table in force. The system's list is read again by RescanSerialPorts (the search does so
// before each scan, so that an adapter plugged in meanwhile is seen).
const std::vector<SerialPortInfo>& CurrentSerialPortTable();
void RescanSerialPorts();

// Whether a port could be opened now, for --list-ports.
enum class PortState { kFree, kBusy, kPermissionDenied, kMissing, kSettingsRefused };
PortState ProbeSerialPort(const std::string& path, std::string* detail);
// How a user gets access to ports that refuse them (the usual fix on this system).
std::string SerialPermissionHint();

// Calls on one port by path; the system platform uses these for the entries of the table.
SerialHandle SerialOpenPath(const std::string& path, std::string* why);
long SerialQueuedCount(SerialHandle h);
long SerialReadQueued(SerialHandle h, std::uint8_t* buf, long max);
long SerialWriteBytes(SerialHandle h, const std::uint8_t* buf, long n);
void SerialCloseHandle(SerialHandle h);
// Blocks until input arrives or ms milliseconds pass. False when the system cannot wait on this
// port (the caller then pauses instead), or when the port reports hang-up or an error.
bool SerialWaitReadable(SerialHandle h, int ms);
void SerialEnsureBaud(SerialHandle h);

}  // namespace quillon
