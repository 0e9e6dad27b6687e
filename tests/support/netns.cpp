#include "support/netns.h"

#include <unistd.h>

#include <atomic>
#include <fstream>

namespace quillon::testing {
namespace {
std::atomic<int> counter{0};
}

NamespacePair::NamespacePair() {
  const std::string id = std::to_string(::getpid()) + "-" + std::to_string(counter++);
  tool_ = "qtool-" + id;
  devices_ = "qdev-" + id;
}

NamespacePair::~NamespacePair() {
  if (!created_) return;
  RunProcess({"ip", "netns", "del", tool_}, 10000);
  RunProcess({"ip", "netns", "del", devices_}, 10000);
}

bool NamespacePair::Ip(const std::vector<std::string>& args, std::string* why) const {
  std::vector<std::string> argv = {"ip"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult r = RunProcess(argv, 10000);
  if (r.exitCode == 0) return true;
  if (why) {
    *why = "ip";
    for (const auto& a : args) *why += " " + a;
    *why += ": " + (r.started ? r.err : std::string("cannot run ip (iproute2)"));
  }
  return false;
}

bool NamespacePair::Create(std::string* why) {
  if (::geteuid() != 0) {
    if (why) *why = "creating network namespaces needs root";
    return false;
  }
  if (!Ip({"netns", "add", tool_}, why)) return false;
  created_ = true;
  if (!Ip({"netns", "add", devices_}, why)) return false;
  return Ip({"-n", tool_, "link", "add", "veth0", "type", "veth", "peer", "name", "veth1", "netns",
             devices_},
            why) &&
         Ip({"-n", tool_, "addr", "add", "10.77.0.1/24", "dev", "veth0"}, why) &&
         Ip({"-n", devices_, "addr", "add", "10.77.0.2/24", "dev", "veth1"}, why) &&
         Ip({"-n", tool_, "link", "set", "veth0", "up"}, why) &&
         Ip({"-n", devices_, "link", "set", "veth1", "up"}, why) &&
         Ip({"-n", tool_, "link", "set", "lo", "up"}, why) &&
         Ip({"-n", devices_, "link", "set", "lo", "up"}, why);
}

bool NamespacePair::AddDeviceAddresses(int first, int count, std::string* why) {
  // One batch instead of a process per address.
  const std::string path = "/tmp/" + devices_ + ".batch";
  {
    std::ofstream batch(path);
    for (int i = 0; i < count; ++i) {
      batch << "addr add 10.77.0." << first + i << "/24 dev veth1\n";
    }
  }
  const bool ok = Ip({"-n", devices_, "-batch", path}, why);
  ::unlink(path.c_str());
  return ok;
}

ProcessResult NamespacePair::RunInTool(std::vector<std::string> argv, int timeout_ms) const {
  argv.insert(argv.begin(), {"ip", "netns", "exec", tool_});
  return RunProcess(argv, timeout_ms);
}

}  // namespace quillon::testing
