// A Start procedure in this process against simulated devices, with what each device received.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/endpoint.h"
#include "reconfig/reconfig_session.h"
#include "support/recording_sink.h"
#include "support/simulator_process.h"

namespace quillon::testing {

// The request kinds of a simulator's log, in order: identify, status, mode, svc0 ...
// Empty transport: every request; "serial" or "udp": only those that came over it.
std::vector<std::string> RequestKinds(const SimulatorProcess& sim,
                                      const std::string& transport = {});

struct SimRun {
  bool ok = false;
  std::vector<Shown> messages;
  int descriptorsLeft = 0;  // descriptors open after the Start that were not before
};

// Runs one Start with `value`, searching the given serial ports (none: no serial search) and,
// when udpTargets is not empty, the network through a real socket sending to those addresses.
SimRun RunStart(double value, const std::vector<std::string>& ports,
                const std::vector<std::string>& udpTargets);

}  // namespace quillon::testing
