// Whole-process processor time against wall time, for the waiting benchmarks.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdio>

namespace quillon::bench {

inline double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double WallSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Runs f once and prints wall time, processor time and their ratio.
template <typename F>
double Measure(const char* what, F f) {
  const double wall0 = WallSeconds();
  const double cpu0 = CpuSeconds();
  f();
  const double wall = WallSeconds() - wall0;
  const double cpu = CpuSeconds() - cpu0;
  const double share = wall > 0 ? 100.0 * cpu / wall : 0;
  std::printf("%-52s wall %8.1f ms  cpu %7.1f ms  busy %5.2f %%\n", what, wall * 1e3, cpu * 1e3,
              share);
  return share;
}

}  // namespace quillon::bench
