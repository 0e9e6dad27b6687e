// Two network namespaces joined by a veth pair: the tool's host and the devices' host. Needs
// root; tests skip with the reason when the namespaces cannot be made.
#pragma once

#include <string>
#include <vector>

#include "support/process_runner.h"

namespace quillon::testing {

class NamespacePair {
 public:
  NamespacePair();
  ~NamespacePair();
  NamespacePair(const NamespacePair&) = delete;
  NamespacePair& operator=(const NamespacePair&) = delete;

  // Creates both namespaces: the tool's side has 10.77.0.1/24 on veth0, the devices' side
  // 10.77.0.2/24 on veth1. False with the reason when it cannot.
  bool Create(std::string* why);
  // Adds count further addresses 10.77.0.first, ... to the devices' side.
  bool AddDeviceAddresses(int first, int count, std::string* why);

  const std::string& tool() const { return tool_; }
  const std::string& devices() const { return devices_; }
  // Runs a program inside the tool's namespace.
  ProcessResult RunInTool(std::vector<std::string> argv, int timeout_ms) const;

 private:
  bool Ip(const std::vector<std::string>& args, std::string* why) const;
  std::string tool_;
  std::string devices_;
  bool created_ = false;
};

}  // namespace quillon::testing
