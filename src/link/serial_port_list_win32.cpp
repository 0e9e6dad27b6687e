// The port listing on Windows: the ports the system knows (the registry's SERIALCOMM), what
// Device Manager shows for each COM port (its friendly name,
// the USB adapter's vendor and product id and its serial number), read from the device
// installation (SetupAPI: the devices of the Ports class, each with its "PortName" in the
// device's registry key), and whether a port is there, without opening it: an open can switch
// an adapter's lines (DTR, RTS), and Windows tells whether a port is free only by opening it.

#include <windows.h>
// The device installation headers need windows.h first.
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/port_device_ids.h"
#include "link/serial_port.h"
#include "link/serial_port_list_win32.h"
#include "link/system_platform.h"

namespace quillon {
namespace {

// UTF-8 for the terminal; control characters (a driver's text is not ours) become '?'.
std::string Printable(const wchar_t* text, std::size_t length) {
  std::wstring clean(text, length);
  for (wchar_t& c : clean) {
    if (c < 0x20 || c == 0x7f) c = L'?';
  }
  if (clean.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, clean.data(), static_cast<int>(clean.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, clean.data(), static_cast<int>(clean.size()), utf8.data(), size,
                        nullptr, nullptr);
  return utf8;
}

std::string Property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t text[512] = {};
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                           reinterpret_cast<BYTE*>(text), sizeof text - 2,
                                           nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return {};
  }
  // Of a list (the hardware ids), the first entry: the most specific.
  return Printable(text, ::wcsnlen(text, std::size(text)));
}

std::string InstanceId(DEVINST node) {
  wchar_t text[MAX_DEVICE_ID_LEN + 1] = {};
  if (::CM_Get_Device_IDW(node, text, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return Printable(text, ::wcsnlen(text, std::size(text)));
}

// "COM7" from the device's registry key, where the port driver keeps the name it was given.
std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const HKEY key =
      ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[64] = {};
  DWORD size = sizeof name - 2;
  DWORD type = 0;
  const LONG status =
      ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  return Printable(name, ::wcsnlen(name, std::size(name)));
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string ComName(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

// COM1..COM256 by number: the search tries every number; a number without a port fails to open
// and is skipped.
std::vector<std::string> SystemPlatform::ScanSystemPorts() {
  std::vector<std::string> ports;
  for (int n = 1; n <= kMaxSerialPorts; ++n) ports.push_back(ComName(n));
  return ports;
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

std::string ComNameOf(const std::string& path) {
  std::string name = path;
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  if (name.size() < 4 || !SameName(name.substr(0, 3), "COM") ||
      !std::all_of(name.begin() + 3, name.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
    return {};
  }
  return "COM" + name.substr(3);
}

SerialOpenResult ComPortPresence(const std::string& com) {
  char target[1024] = {};
  if (::QueryDosDeviceA(com.c_str(), target, sizeof target) == 0) {
    return {kInvalidSerialHandle, SerialOpenStatus::kMissing, "the system has no " + com, {}};
  }
  return {kInvalidSerialHandle,
          SerialOpenStatus::kNotProbed,
          "not opened: only an open tells whether it is free, and an open can switch its lines",
          {}};
}

SerialPortIdentity IdentifySerialPort(const std::string& path) {
  SerialPortIdentity id;
  const std::string com = ComNameOf(path);
  if (com.empty()) return id;
  const HDEVINFO devices =
      ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return id;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; index < 1024 && ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    if (!SameName(PortName(devices, device), com)) continue;
    id.friendlyName = Property(devices, device, SPDRP_FRIENDLYNAME);
    if (id.friendlyName.empty()) id.friendlyName = Property(devices, device, SPDRP_DEVICEDESC);
    PortDeviceIds ids =
        ParsePortDeviceIds(InstanceId(device.DevInst), Property(devices, device, SPDRP_HARDWAREID));
    // An interface of a composite adapter: the serial number is in its parent's instance id.
    DEVINST parent = 0;
    if (ids.serialNumber.empty() && ids.interfaceNumber >= 0 &&
        ::CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
      const PortDeviceIds parentIds = ParsePortDeviceIds(InstanceId(parent), {});
      if (parentIds.usbId == ids.usbId) ids.serialNumber = parentIds.serialNumber;
    }
    id.usbId = ids.usbId;
    id.usbInterface = ids.interfaceNumber;
    id.serialNumber = ids.serialNumber;
    ULONG status = 0;
    ULONG problem = 0;
    if (::CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
        (status & DN_HAS_PROBLEM) != 0) {
      id.problem = "Device Manager reports problem " + std::to_string(problem);
    }
    break;
  }
  ::SetupDiDestroyDeviceInfoList(devices);
  return id;
}

}  // namespace quillon
