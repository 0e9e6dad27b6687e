// How long a successful Start takes against the simulator, and how much processor time it uses.
//
// The protocol's own floor is the 1000 ms answer window plus the 1000 ms of silence that confirms
// the mode switch, plus the exchanges themselves (a few milliseconds with the simulator). The
// tool should stay within that floor + 100 ms, and busy under 5 % of its wall time. A search over
// 256 port numbers where no port exists should add under 20 ms.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "link/serial_port.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

using namespace quillon;

namespace {

struct Result {
  double wallMs = 0;
  double busy = 0;
  bool ok = false;
};

Result Start(const std::vector<std::string>& ports, const std::vector<std::string>& udp) {
  Result r;
  const double wall0 = bench::WallSeconds(), cpu0 = bench::CpuSeconds();
  r.ok = testing::RunStart(1234, ports, udp).ok;
  r.wallMs = (bench::WallSeconds() - wall0) * 1e3;
  r.busy = 100.0 * (bench::CpuSeconds() - cpu0) / (r.wallMs / 1e3);
  return r;
}

bool Report(const char* what, const std::vector<Result>& runs, double limit_ms) {
  double worst_wall = 0, worst_busy = 0;
  bool ok = true;
  for (const Result& r : runs) {
    worst_wall = std::max(worst_wall, r.wallMs);
    worst_busy = std::max(worst_busy, r.busy);
    ok = ok && r.ok;
  }
  const bool pass = ok && worst_wall <= limit_ms && worst_busy < 5.0;
  std::printf(
      "%-44s %zu runs, all reconfigured: %s, slowest %7.1f ms (limit %.0f), busiest %5.2f %% "
      "(limit 5 %%) %s\n",
      what, runs.size(), ok ? "yes" : "NO", worst_wall, limit_ms, worst_busy, pass ? "ok" : "OVER");
  return pass;
}

}  // namespace

int main() {
  constexpr double kFloorMs = 1000 + 1000;
  constexpr int kRuns = 3;
  testing::SimulatorProcess serial_sim, udp_sim;
  std::string error;
  if (!serial_sim.Start({"--pty", "--serial", "1234"}, &error) ||
      !udp_sim.Start({"--udp", "127.0.0.99", "--serial", "1234"}, &error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  std::vector<Result> pty, udp, udp_many_ports;
  std::vector<std::string> missing;
  for (int n = 0; n < 256; ++n) missing.push_back("/nonexistent/ttyQ" + std::to_string(n));
  for (int i = 0; i < kRuns; ++i) {
    pty.push_back(Start({serial_sim.PtyPath()}, {}));
    udp.push_back(Start({}, {"127.0.0.99"}));
    udp_many_ports.push_back(Start(missing, {"127.0.0.99"}));
  }
  bool pass = Report("Start over a pseudo-terminal", pty, kFloorMs + 100);
  pass = Report("Start over UDP (loopback)", udp, kFloorMs + 100) && pass;
  pass = Report("Start over UDP, 256 missing serial ports", udp_many_ports, kFloorMs + 100) && pass;
  double base = 1e9, many = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    base = std::min(base, udp[i].wallMs);
    many = std::min(many, udp_many_ports[i].wallMs);
  }
  std::printf("256 missing serial ports add %.1f ms (limit 20 ms) %s\n", many - base,
              many - base < 20 ? "ok" : "OVER");
  pass = pass && many - base < 20;
  SystemPlatform::Instance().UseNamedSerialPorts({});
  return pass ? 0 : 1;
}
