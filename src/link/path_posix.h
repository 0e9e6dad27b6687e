// Small reads of the file system that the POSIX port code shares: sysfs attributes, /proc
// entries and the device a path leads to.
#pragma once

#include <string>

namespace quillon {

// The first line of a file, without its line feed; empty when it cannot be read.
std::string ReadFirstLine(const std::string& path);

// The path with every link resolved; the path itself when it cannot be resolved (it does not
// exist, or a folder on the way may not be searched), so that what is then looked at or opened
// fails with the system's own reason for that path.
std::string RealPath(const std::string& path);

}  // namespace quillon
