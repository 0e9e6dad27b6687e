// The devices that may be in service mode while a Start runs: one record per process, which the
// paths that end the process without unwinding the Start read (the display connection lost, the
// session ending) to send each device command 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "link/endpoint.h"
#include "link/link.h"

namespace quillon {

// Who sends command 4: the Start itself, whose waits run the front end's hooks as any wait does,
// or a path that ends the process, where nothing of the front end may run any more (a window
// whose display is gone cannot be repainted). Command 4 waits for its answer even after an
// interruption.
enum class LeaveFrom { kStart, kProcessEnd };

class ServiceModeRecord {
 public:
  // One device in the record, from the mode-switch request on: the exchange that sends the
  // request enters it, and it is forgotten when this goes (after command 4, and always before its
  // port or socket closes). Move-only.
  class Entry {
   public:
    Entry() = default;
    Entry(Entry&& other) noexcept
        : m_record(std::exchange(other.m_record, nullptr)), m_id(other.m_id) {}
    Entry& operator=(Entry&& other) noexcept;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() { Forget(); }
    void Forget();

   private:
    friend class ServiceModeRecord;
    Entry(ServiceModeRecord* record, std::uint64_t id) : m_record(record), m_id(id) {}
    ServiceModeRecord* m_record = nullptr;
    std::uint64_t m_id = 0;
  };

  // The process's record.
  static ServiceModeRecord& OfProcess();

  // The device may be in service mode from now on; the path that ends the process at once (a
  // further signal, a crash) is armed for it too (leave_at_exit.h). The link (its platform,
  // socket and hooks) must outlive the entry.
  Entry Enter(const Link& link, const LinkEndpoint& endpoint);
  // Command 4 to the device, once; false when it is not in the record.
  bool LeaveNow(const LinkEndpoint& endpoint, LeaveFrom from = LeaveFrom::kStart);
  // Command 4 to every device in the record, once each; gives how many. Safe from another
  // thread than the Start's.
  std::size_t LeaveAll(LeaveFrom from);

 private:
  struct Device {
    std::uint64_t id = 0;
    Link link;
    LinkEndpoint endpoint;
  };
  // Takes the devices out of the record: the one with `id` (0: any), on `endpoint` when given.
  std::vector<Device> Take(std::uint64_t id, const LinkEndpoint* endpoint);
  static void SendFinish(const Device& device, LeaveFrom from);

  std::mutex m_mutex;
  std::vector<Device> m_devices;
  std::uint64_t m_lastId = 0;
};

}  // namespace quillon
