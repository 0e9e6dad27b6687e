#include "search/port_opening.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quillon {
namespace {

// Enough for several slow ports at once; each open of a present port takes well under a
// millisecond.
constexpr std::size_t kOpeningThreads = 16;

// What the opening threads and the search share; kept alive by the threads that outlast the
// search.
struct Openings {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<SerialOpenResult>> results;
  std::size_t pending = 0;
  std::size_t next = 0;    // the next port of the table to open
  bool abandoned = false;  // the search has gone on: a late open closes its own handle
};

}  // namespace

std::vector<PortOpening> OpenPortsSideBySide(const Link& link, int bound_ms) {
  Platform& platform = link.platform();
  const std::vector<SerialPortInfo> table = platform.SerialPorts();
  auto shared = std::make_shared<Openings>();
  shared->results.resize(table.size());
  shared->pending = table.size();
  // A few threads take the ports one after the other: an open that hangs holds up only its own
  // thread, and a table of 256 ports costs a few threads, not 256.
  const std::size_t threads = std::min<std::size_t>(table.size(), kOpeningThreads);
  for (std::size_t t = 0; t < threads; ++t) {
    std::thread([shared, &platform, table] {
      for (;;) {
        std::size_t i = 0;
        {
          const std::lock_guard<std::mutex> lock(shared->mutex);
          if (shared->abandoned || shared->next >= table.size()) return;
          i = shared->next++;
        }
        SerialOpenResult opened = platform.OpenSerial(table[i].number);
        std::unique_lock<std::mutex> lock(shared->mutex);
        if (shared->abandoned) {
          lock.unlock();
          if (opened.handle != kInvalidSerialHandle) platform.SerialClose(opened.handle);
          return;
        }
        shared->results[i] = std::move(opened);
        --shared->pending;
        shared->changed.notify_all();
      }
    }).detach();
  }

  std::vector<std::optional<SerialOpenResult>> results;
  {
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->changed.wait_for(lock, std::chrono::milliseconds(bound_ms),
                             [&shared] { return shared->pending == 0; });
    shared->abandoned = true;
    results = std::move(shared->results);
  }

  std::vector<PortOpening> openings(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    PortOpening& o = openings[i];
    o.number = table[i].number;
    if (!results[i]) {
      o.late = true;
      o.result = {kInvalidSerialHandle, SerialOpenStatus::kMissing, "did not open in time", {}};
      continue;
    }
    o.port = SerialPort::Adopt(link, o.number, std::move(*results[i]), &o.result);
  }
  return openings;
}

}  // namespace quillon
