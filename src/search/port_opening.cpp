#include "search/port_opening.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quillon {
namespace {

// What the opening threads and the search share; kept alive by the threads that outlast the
// search.
struct Openings {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<SerialOpenResult>> results;
  std::size_t pending = 0;
  bool abandoned = false;  // the search has gone on: a late open closes its own handle
};

}  // namespace

std::vector<PortOpening> OpenPortsSideBySide(const Link& link, int bound_ms) {
  Platform& platform = link.platform();
  const std::vector<SerialPortInfo> table = platform.SerialPorts();
  auto shared = std::make_shared<Openings>();
  shared->results.resize(table.size());
  shared->pending = table.size();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const int number = table[i].number;
    std::thread([shared, &platform, number, i] {
      SerialOpenResult opened = platform.OpenSerial(number);
      std::unique_lock<std::mutex> lock(shared->mutex);
      if (shared->abandoned) {
        lock.unlock();
        if (opened.handle != kInvalidSerialHandle) platform.SerialClose(opened.handle);
        return;
      }
      shared->results[i] = std::move(opened);
      --shared->pending;
      shared->changed.notify_all();
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
