// The line settings and time-outs that the tool gives a Windows serial port
// (serial_port_win32.cpp), as pure functions of what the port reported, so that they can be checked
// as a table.
#pragma once

#include <windows.h>

namespace quillon {

// 38400 baud 8N1, DTR on, RTS off, and every member that shapes the data flow set: no hardware or
// software flow control, no DSR sensitivity, no parity replacement, no null stripping, no abort on
// a line error. A port that another program left with fDsrSensitivity would otherwise drop every
// reply on a three-wire cable, and one left with fAbortOnError would fail every read after one
// framing error. Only the reserved members keep what the port reported.
DCB DeviceLineSettings(const DCB& reported);

// A read returns at once with what is queued; a write gives up after about a second instead of
// waiting as long as a stuck line (or a driver's flow control) holds it.
COMMTIMEOUTS DeviceTimeouts();

}  // namespace quillon
