#include "support/netns.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <tuple>

namespace quillon::testing {
namespace {
std::atomic<int> g_counter{0};
const std::string kNone;
}  // namespace

TestNetwork::TestNetwork() : m_id(std::to_string(::getpid()) + "-" + std::to_string(g_counter++)) {}

TestNetwork::~TestNetwork() {
  for (const auto& host : m_hosts) RunProcess({"ip", "netns", "del", host.second}, 10000);
}

bool TestNetwork::Ip(const std::string& host, const std::vector<std::string>& args,
                     std::string* why) const {
  std::vector<std::string> argv = {"ip"};
  if (!host.empty()) argv.insert(argv.end(), {"-n", Namespace(host)});
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult r = RunProcess(argv, 10000);
  if (r.exitCode == 0) return true;
  if (why) {
    why->clear();
    for (const auto& a : argv) *why += a + " ";
    *why += ": " + (r.started ? r.err : std::string("cannot run ip (iproute2)"));
  }
  return false;
}

bool TestNetwork::AddHost(const std::string& host, std::string* why) {
  if (::geteuid() != 0) {
    if (why) *why = "creating network namespaces needs root";
    return false;
  }
  const std::string ns = "q" + host + "-" + m_id;
  if (!Ip("", {"netns", "add", ns}, why)) return false;
  m_hosts.emplace_back(host, ns);
  return Ip(host, {"link", "set", "lo", "up"}, why);
}

std::string TestNetwork::NextInterface() {
  return "qv" + std::to_string(m_interfaces++);
}

bool TestNetwork::Link(const std::string& a, const std::string& a_address, const std::string& b,
                       const std::string& b_address, std::string* why) {
  const std::string end_a = NextInterface();
  const std::string end_b = NextInterface();
  if (!Ip(a, {"link", "add", end_a, "type", "veth", "peer", "name", end_b, "netns", Namespace(b)},
          why)) {
    return false;
  }
  for (const auto& [host, end, address] :
       {std::tuple{a, end_a, a_address}, std::tuple{b, end_b, b_address}}) {
    if (!address.empty() && !Ip(host, {"addr", "add", address, "dev", end}, why)) return false;
    if (!Ip(host, {"link", "set", end, "up"}, why)) return false;
  }
  return true;
}

bool TestNetwork::Bridge(const std::string& host,
                         const std::vector<std::pair<std::string, std::string>>& ends,
                         std::string* why) {
  const std::string bridge = NextInterface();
  if (!Ip(host, {"link", "add", bridge, "type", "bridge"}, why) ||
      !Ip(host, {"link", "set", bridge, "up"}, why)) {
    return false;
  }
  for (const auto& [member, address] : ends) {
    const std::string port = "qv" + std::to_string(m_interfaces);  // the bridge's end
    if (!Link(host, "", member, address, why) ||
        !Ip(host, {"link", "set", port, "master", bridge}, why)) {
      return false;
    }
  }
  return true;
}

const std::string& TestNetwork::Namespace(const std::string& host) const {
  for (const auto& h : m_hosts) {
    if (h.first == host) return h.second;
  }
  return kNone;
}

ProcessResult TestNetwork::Run(const std::string& host, std::vector<std::string> argv,
                               int timeout_ms) const {
  argv.insert(argv.begin(), {"ip", "netns", "exec", Namespace(host)});
  return RunProcess(argv, timeout_ms);
}

bool NamespacePair::Create(std::string* why) {
  if (!m_net.AddHost("tool", why) || !m_net.AddHost("devices", why)) return false;
  if (!m_net.Ip(
          "tool",
          {"link", "add", "veth0", "type", "veth", "peer", "name", "veth1", "netns", devices()},
          why)) {
    return false;
  }
  return m_net.Ip("tool", {"addr", "add", "10.77.0.1/24", "dev", "veth0"}, why) &&
         m_net.Ip("devices", {"addr", "add", "10.77.0.2/24", "dev", "veth1"}, why) &&
         m_net.Ip("tool", {"link", "set", "veth0", "up"}, why) &&
         m_net.Ip("devices", {"link", "set", "veth1", "up"}, why);
}

bool NamespacePair::AddDeviceAddresses(int first, int count, std::string* why) {
  // One batch instead of a process per address.
  const std::string path = "/tmp/" + devices() + ".batch";
  {
    std::ofstream batch(path);
    for (int i = 0; i < count; ++i) {
      batch << "addr add 10.77.0." << first + i << "/24 dev veth1\n";
    }
  }
  const bool ok = m_net.Ip("devices", {"-batch", path}, why);
  ::unlink(path.c_str());
  return ok;
}

}  // namespace quillon::testing
