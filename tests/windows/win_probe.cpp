// quillon-win-probe: shows what the Windows backends read from the system, for the checks of
// scripts/windows-test.sh under Wine.
//
//   quillon-win-probe hosts               the host name's addresses, then the broadcast addresses
//                                         from them
//   quillon-win-probe serial PORT         opens PORT as the search does and prints the line
//                                         settings that the port reports back
//   quillon-win-probe ports               the devices of the Ports class that the device
//                                         installation knows (what the port listing names),
//                                         then what the listing reads for COM1 to COM9

#include <windows.h>
// The device installation headers need windows.h first.
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/datagram_socket.h"
#include "link/serial_port.h"
#include "search/broadcast_addresses.h"
#include "search/network_config.h"

namespace quillon {
namespace {

int Hosts() {
  for (const HostAddress& h : SystemHostAddresses()) std::printf("host %s\n", h.text.c_str());
  for (const IPv4Bytes& a : GetBroadcastAddresses()) {
    std::printf("broadcast %s\n", FormatIPv4(a).c_str());
  }
  return 0;
}

int Serial(const char* port) {
  const SerialOpenResult opened = SystemPlatform::Instance().OpenPath(port);
  const SerialHandle h = opened.handle;
  if (h == kInvalidSerialHandle) {
    std::printf("not opened: %s\n", opened.detail.c_str());
    return 1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const BOOL read = ::GetCommState(reinterpret_cast<HANDLE>(h), &dcb);
  SystemPlatform::Instance().SerialClose(h);
  if (!read) {
    std::printf("opened, but GetCommState failed\n");
    return 1;
  }
  std::printf(
      "BaudRate=%lu ByteSize=%u Parity=%u StopBits=%u fBinary=%lu fParity=%lu "
      "fOutxCtsFlow=%lu fOutxDsrFlow=%lu fOutX=%lu fInX=%lu fNull=%lu fDtrControl=%lu "
      "fRtsControl=%lu\n",
      static_cast<unsigned long>(dcb.BaudRate), unsigned{dcb.ByteSize}, unsigned{dcb.Parity},
      unsigned{dcb.StopBits}, static_cast<unsigned long>(dcb.fBinary),
      static_cast<unsigned long>(dcb.fParity), static_cast<unsigned long>(dcb.fOutxCtsFlow),
      static_cast<unsigned long>(dcb.fOutxDsrFlow), static_cast<unsigned long>(dcb.fOutX),
      static_cast<unsigned long>(dcb.fInX), static_cast<unsigned long>(dcb.fNull),
      static_cast<unsigned long>(dcb.fDtrControl), static_cast<unsigned long>(dcb.fRtsControl));
  return 0;
}

int Ports() {
  const HDEVINFO devices =
      ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  int count = 0;
  if (devices != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; i < 256 && ::SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
      char id[512] = {};
      ::SetupDiGetDeviceInstanceIdA(devices, &device, id, sizeof id, nullptr);
      std::printf("device %s\n", id);
      ++count;
    }
    ::SetupDiDestroyDeviceInfoList(devices);
  }
  std::printf("ports-class devices %d\n", count);
  for (int n = 1; n <= 9; ++n) {
    const SerialPortIdentity id = IdentifySerialPort("COM" + std::to_string(n));
    if (id.friendlyName.empty() && id.usbId.empty()) continue;
    std::printf("COM%d name '%s' usb %s serial %s\n", n, id.friendlyName.c_str(), id.usbId.c_str(),
                id.serialNumber.c_str());
  }
  return 0;
}

int Run(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "hosts") return Hosts();
  if (command == "serial" && argc == 3) return Serial(argv[2]);
  if (command == "ports") return Ports();
  std::fprintf(stderr, "usage: quillon-win-probe hosts | serial PORT | ports\n");
  return 2;
}

}  // namespace
}  // namespace quillon

int main(int argc, char** argv) {
  return quillon::Run(argc, argv);
}
