// Network namespaces that a test makes for itself and removes again: hosts joined by veth pairs
// and bridges. Needs root; tests skip with the reason when the namespaces cannot be made.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/process_runner.h"

namespace quillon::testing {

class TestNetwork {
 public:
  TestNetwork();
  ~TestNetwork();  // deletes every namespace it made
  TestNetwork(const TestNetwork&) = delete;
  TestNetwork& operator=(const TestNetwork&) = delete;

  // A host: a namespace of its own with its loopback up. False with the reason when it cannot.
  bool AddHost(const std::string& host, std::string* why);
  // Runs `ip -n <host's namespace> args...` (`ip args...` for an empty host).
  bool Ip(const std::string& host, const std::vector<std::string>& args, std::string* why) const;
  // A veth pair between two hosts, each end up with its address ("10.77.0.1/24"; empty: none).
  bool Link(const std::string& a, const std::string& a_address, const std::string& b,
            const std::string& b_address, std::string* why);
  // A bridge in `host` that joins the given hosts, each over a veth pair with the address given.
  bool Bridge(const std::string& host, const std::vector<std::pair<std::string, std::string>>& ends,
              std::string* why);

  const std::string& Namespace(const std::string& host) const;
  // Runs a program inside a host's namespace.
  ProcessResult Run(const std::string& host, std::vector<std::string> argv, int timeout_ms) const;

 private:
  std::string NextInterface();
  std::string m_id;
  int m_interfaces = 0;
  std::vector<std::pair<std::string, std::string>> m_hosts;  // host, namespace
};

// Two hosts joined by a veth pair: the tool's side has 10.77.0.1/24 on veth0, the devices'
// side 10.77.0.2/24 on veth1.
class NamespacePair {
 public:
  bool Create(std::string* why);
  // Adds count further addresses 10.77.0.first, ... to the devices' side.
  bool AddDeviceAddresses(int first, int count, std::string* why);

  const std::string& tool() const { return m_net.Namespace("tool"); }
  const std::string& devices() const { return m_net.Namespace("devices"); }
  // Runs a program inside the tool's namespace.
  ProcessResult RunInTool(std::vector<std::string> argv, int timeout_ms) const {
    return m_net.Run("tool", std::move(argv), timeout_ms);
  }

 private:
  TestNetwork m_net;
};

}  // namespace quillon::testing
