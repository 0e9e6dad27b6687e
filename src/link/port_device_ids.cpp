#include "link/port_device_ids.h"

#include <cctype>
#include <vector>

namespace quillon {
namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsHex(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || separators.find(text[i]) != std::string_view::npos) {
      parts.push_back(text.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  return parts;
}

// The value after "VID_" in one of the parts ("VID_0403"), four hex digits, or empty.
std::string Field(const std::vector<std::string_view>& parts, std::string_view prefix,
                  std::size_t digits) {
  for (std::string_view part : parts) {
    if (part.size() != prefix.size() + digits) continue;
    if (Upper(part.substr(0, prefix.size())) != prefix) continue;
    const std::string_view value = part.substr(prefix.size());
    if (IsHex(value)) return std::string(value);
  }
  return {};
}

struct UsbIds {
  std::string vid, pid;
  int interfaceNumber = -1;
};

// "VID_0403&PID_6001&MI_01" or FTDI's "VID_0403+PID_6001+A1B2C3D4A".
UsbIds ParseIdPart(std::string_view part) {
  const std::vector<std::string_view> fields = Split(part, "&+");
  UsbIds ids;
  ids.vid = Field(fields, "VID_", 4);
  ids.pid = Field(fields, "PID_", 4);
  const std::string mi = Field(fields, "MI_", 2);
  if (!mi.empty()) ids.interfaceNumber = std::stoi(mi, nullptr, 16);
  if (ids.vid.empty() || ids.pid.empty()) ids = {};
  return ids;
}

}  // namespace

PortDeviceIds ParsePortDeviceIds(std::string_view instanceId, std::string_view hardwareId) {
  PortDeviceIds out;
  const std::vector<std::string_view> instance = Split(instanceId, "\\");
  out.bus = Upper(instance.front());
  UsbIds ids = instance.size() > 1 ? ParseIdPart(instance[1]) : UsbIds{};

  if (out.bus == "FTDIBUS" && !ids.vid.empty()) {
    // FTDI's driver: VID_0403+PID_6001+<serial number><channel letter>\0000; channel A is the
    // only one of most adapters, B to H are the further interfaces of a multi-channel chip. A
    // chip without a serial number gets a made-up location with '&' in it.
    const std::vector<std::string_view> fields = Split(instance[1], "+");
    if (fields.size() == 3 && fields[2].size() > 1 &&
        fields[2].find('&') == std::string_view::npos) {
      const char channel = fields[2].back();
      if (channel >= 'A' && channel <= 'H') {
        out.serialNumber = std::string(fields[2].substr(0, fields[2].size() - 1));
        if (channel != 'A') ids.interfaceNumber = channel - 'A';
      }
    }
  } else if (out.bus == "USB" && !ids.vid.empty() && ids.interfaceNumber < 0 &&
             instance.size() == 3 && !instance[2].empty() &&
             instance[2].find('&') == std::string_view::npos) {
    // A USB device's third part is its serial number when it reports one that Windows trusts;
    // an interface of a composite device has a made-up one, its serial number is its parent's.
    out.serialNumber = std::string(instance[2]);
  }

  if (ids.vid.empty()) {
    // No USB ids in the instance id ("FTDIBUS\COMPORT&VID_0403&PID_6001" is a hardware id).
    const std::vector<std::string_view> hardware = Split(hardwareId, "\\");
    if (hardware.size() > 1) {
      const UsbIds fromHardware = ParseIdPart(hardware[1]);
      ids.vid = fromHardware.vid;
      ids.pid = fromHardware.pid;
      if (ids.interfaceNumber < 0) ids.interfaceNumber = fromHardware.interfaceNumber;
    }
  }
  if (!ids.vid.empty()) out.usbId = Lower(ids.vid) + ":" + Lower(ids.pid);
  out.interfaceNumber = ids.interfaceNumber;
  return out;
}

}  // namespace quillon
