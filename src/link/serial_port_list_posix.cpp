// The port listing on POSIX: the system's port table (the ttys in sysfs that have a driver) and
// what the system knows of the device behind each port (its /dev/serial/by-id name, the USB
// adapter's ids and strings), read without opening any port: an open raises DTR and RTS.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "link/path_posix.h"
#include "link/serial_port.h"
#include "link/system_platform.h"

namespace quillon {
namespace {

constexpr const char* kByIdDirectory = "/dev/serial/by-id";

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Orders names by their letters, then by their number: ttyS2 before ttyS10, ttyACM0 before ttyS0.
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    const std::string digits = s.substr(i);
    return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::stol(digits));
  };
  return split(a) < split(b);
}

std::string SysfsAttribute(const std::string& dir, const char* name) {
  return ReadFirstLine(dir + "/" + name);
}

}  // namespace

// Devices under /sys/class/tty that have a driver. A legacy ttyS port whose UART type is 0
// (PORT_UNKNOWN) is a placeholder without hardware and is left out.
std::vector<std::string> SystemPlatform::ScanSystemPorts() {
  std::vector<std::string> names;
  DIR* dir = ::opendir("/sys/class/tty");
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string base = "/sys/class/tty/" + name;
    if (!PathExists(base + "/device/driver")) continue;
    if (name.rfind("ttyS", 0) == 0 && ReadFirstLine(base + "/type") == "0") continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), NaturalLess);
  if (names.size() > static_cast<std::size_t>(kMaxSerialPorts)) names.resize(kMaxSerialPorts);
  for (auto& n : names) n = "/dev/" + n;
  return names;
}

SerialPortIdentity IdentifySerialPort(const std::string& path) {
  SerialPortIdentity id;
  const std::string real = RealPath(path);
  if (DIR* dir = ::opendir(kByIdDirectory)) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string link = std::string(kByIdDirectory) + "/" + name;
      if (RealPath(link) == real) id.stableName = link;
    }
    ::closedir(dir);
  }
  // The USB device is an ancestor of the tty's device in sysfs, the first that has idVendor.
  char resolved[PATH_MAX];
  const std::string tty = "/sys/class/tty/" + real.substr(real.rfind('/') + 1) + "/device";
  if (!::realpath(tty.c_str(), resolved)) return id;
  std::string dir = resolved;
  for (int depth = 0; depth < 8 && dir.rfind("/sys/devices/", 0) == 0; ++depth) {
    const std::string vendor = SysfsAttribute(dir, "idVendor");
    if (!vendor.empty()) {
      id.usbId = vendor + ":" + SysfsAttribute(dir, "idProduct");
      id.manufacturer = SysfsAttribute(dir, "manufacturer");
      id.product = SysfsAttribute(dir, "product");
      id.serialNumber = SysfsAttribute(dir, "serial");
      break;
    }
    dir = dir.substr(0, dir.rfind('/'));
  }
  return id;
}

std::vector<SerialPortInfo> ExistingSerialPorts() {
  SystemPlatform system;
  return system.SerialPorts();
}

}  // namespace quillon
