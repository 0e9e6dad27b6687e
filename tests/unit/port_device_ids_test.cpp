#include "link/port_device_ids.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

struct IdCase {
  const char* what;
  const char* instanceId;
  const char* hardwareId;
  const char* bus;
  const char* usbId;
  int interfaceNumber;
  const char* serialNumber;
};

// The ids as Device Manager shows them for the adapters technicians use, and what they must
// not be taken for.
const IdCase kCases[] = {
    {"FTDI, serial number with the channel letter", "FTDIBUS\\VID_0403+PID_6001+A1B2C3D4A\\0000",
     "FTDIBUS\\COMPORT&VID_0403&PID_6001", "FTDIBUS", "0403:6001", -1, "A1B2C3D4"},
    {"FTDI dual chip, channel B", "FTDIBUS\\VID_0403+PID_6010+FT4XYZB\\0000",
     "FTDIBUS\\COMPORT&VID_0403&PID_6010", "FTDIBUS", "0403:6010", 1, "FT4XYZ"},
    {"FTDI without serial number", "FTDIBUS\\VID_0403+PID_6001+6&2B4C5D4&0&1\\0000",
     "FTDIBUS\\COMPORT&VID_0403&PID_6001", "FTDIBUS", "0403:6001", -1, ""},
    {"CP210x with its serial number", "USB\\VID_10C4&PID_EA60\\0001",
     "USB\\VID_10C4&PID_EA60&REV_0100", "USB", "10c4:ea60", -1, "0001"},
    {"CH340 without serial number", "USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2",
     "USB\\VID_1A86&PID_7523&REV_0264", "USB", "1a86:7523", -1, ""},
    {"CDC-ACM device, lower case", "usb\\vid_2341&pid_0043\\85736323838351F0E1A1",
     "USB\\VID_2341&PID_0043&REV_0001", "USB", "2341:0043", -1, "85736323838351F0E1A1"},
    {"composite adapter, second interface", "USB\\VID_0403&PID_6010&MI_01\\7&1A2B3C4D&0&0001",
     "USB\\VID_0403&PID_6010&REV_0700&MI_01", "USB", "0403:6010", 1, ""},
    {"interface MI_0A is hex", "USB\\VID_2E8A&PID_000A&MI_0A\\6&ABC&0&000A", "", "USB", "2e8a:000a",
     10, ""},
    {"built-in UART", "ACPI\\PNP0501\\0", "ACPI\\VEN_PNP&DEV_0501", "ACPI", "", -1, ""},
    {"ids only in the hardware id", "ROOT\\PORTS\\0000", "FTDIBUS\\COMPORT&VID_0403&PID_6015",
     "ROOT", "0403:6015", -1, ""},
    {"vendor without product is no USB id", "USB\\VID_10C4\\0001", "", "USB", "", -1, ""},
    {"id not in hex", "USB\\VID_10G4&PID_EA60\\0001", "", "USB", "", -1, ""},
    {"too long an id", "USB\\VID_10C40&PID_EA60\\0001", "", "USB", "", -1, ""},
    {"empty", "", "", "", "", -1, ""},
};

TEST(PortDeviceIds, ParsesTheIdsOfWindowsPortDevices) {
  for (const IdCase& c : kCases) {
    SCOPED_TRACE(c.what);
    const PortDeviceIds ids = ParsePortDeviceIds(c.instanceId, c.hardwareId);
    EXPECT_EQ(ids.bus, c.bus);
    EXPECT_EQ(ids.usbId, c.usbId);
    EXPECT_EQ(ids.interfaceNumber, c.interfaceNumber);
    EXPECT_EQ(ids.serialNumber, c.serialNumber);
  }
}

}  // namespace
}  // namespace quillon
