// The Windows port listing's helpers for serial_port_win32.cpp.
#pragma once

#include <string>

#include "link/platform.h"

namespace quillon {

// The path that opens COMn: "\\.\COM7" (the DOS name "COM7" reaches only COM1 to COM9).
std::string ComName(int n);

// "COM7" for "COM7" or "\\.\com7"; empty for any other path.
std::string ComNameOf(const std::string& path);

// Whether the system has the port, without opening it: kMissing, or kNotProbed.
SerialOpenResult ComPortPresence(const std::string& com);

}  // namespace quillon
