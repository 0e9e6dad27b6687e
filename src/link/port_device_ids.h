// What the ids that Windows keeps for a serial port's device say about the adapter: its bus, the
// USB vendor and product id, the interface of a composite device and the adapter's own serial
// number. Pure text parsing, so that it is tested on every platform; the Windows port listing
// feeds it the device's instance id and first hardware id.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

struct PortDeviceIds {
  std::string bus;           // the enumerator: "USB", "FTDIBUS", "ACPI", ... (upper case)
  std::string usbId;         // "0403:6001" (lower case, as on Linux); empty without USB ids
  int interfaceNumber = -1;  // MI_01 of a composite device: 1; -1 for none
  // The adapter's own serial number. Windows makes up an instance id with '&' in it for a device
  // that reports none (or whose number it does not trust); that is no serial number.
  std::string serialNumber;
};

// instanceId: "USB\VID_10C4&PID_EA60\0001", "FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000", ...;
// hardwareId: the first of the device's hardware ids ("USB\VID_10C4&PID_EA60&REV_0100"), used
// where the instance id names no USB ids.
PortDeviceIds ParsePortDeviceIds(std::string_view instanceId, std::string_view hardwareId);

}  // namespace quillon
