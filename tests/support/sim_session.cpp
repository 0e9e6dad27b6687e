#include "support/sim_session.h"

#include <sstream>

#include "link/serial_port.h"
#include "link/system_platform.h"
#include "support/posix_fixtures.h"

namespace quillon::testing {

std::vector<std::string> RequestKinds(const SimulatorProcess& sim, const std::string& transport) {
  std::vector<std::string> kinds;
  for (const std::string& line : sim.LogLines()) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (!transport.empty() && (words.empty() || words[0] != transport)) continue;
    if (words.size() >= 2) kinds.push_back(words[words.size() - 2]);
  }
  return kinds;
}

SimRun RunStart(double value, const std::vector<std::string>& ports,
                const std::vector<std::string>& udpTargets) {
  SimRun run;
  const int before = OpenDescriptorCount();
  {
    SystemPlatform platform;
    platform.UseNamedSerialPorts(ports);
    RecordingSink sink;
    PowerModuleRecord record;
    std::unique_ptr<DatagramSocket> socket;
    if (!udpTargets.empty()) socket = CreateLinkSocket();
    SearchOptions options;
    options.useSerial = !ports.empty();
    options.identifyAddresses = udpTargets;
    ReconfigSession session(sink, record, socket.get(), platform, options);
    run.ok = session.StartProcedure(value);
    run.messages = sink.messages;
  }
  run.descriptorsLeft = OpenDescriptorCount() - before;
  return run;
}

}  // namespace quillon::testing
