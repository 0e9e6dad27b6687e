#include "search/service_mode_record.h"

#include <cstring>

#include "link/leave_at_exit.h"
#include "link/service_frame.h"

namespace quillon {
namespace {

bool SameDevice(const LinkEndpoint& a, const LinkEndpoint& b) {
  if (HasSerialPort(a) || HasSerialPort(b)) return a.serialPort == b.serialPort;
  return std::strcmp(a.peerAddress, b.peerAddress) == 0;
}

}  // namespace

ServiceModeRecord::Entry& ServiceModeRecord::Entry::operator=(Entry&& other) noexcept {
  if (this != &other) {
    Forget();
    m_record = std::exchange(other.m_record, nullptr);
    m_id = other.m_id;
  }
  return *this;
}

void ServiceModeRecord::Entry::Forget() {
  if (!m_record) return;
  for (const Device& device : m_record->Take(m_id, nullptr)) DisarmLeaveAtExit(device.endpoint);
  m_record = nullptr;
}

ServiceModeRecord& ServiceModeRecord::OfProcess() {
  static ServiceModeRecord record;
  return record;
}

ServiceModeRecord::Entry ServiceModeRecord::Enter(const Link& link, const LinkEndpoint& endpoint) {
  std::uint64_t id = 0;
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    id = ++m_lastId;
    m_devices.push_back({id, link, endpoint});
  }
  ArmLeaveAtExit(link, endpoint);
  return Entry(this, id);
}

std::vector<ServiceModeRecord::Device> ServiceModeRecord::Take(std::uint64_t id,
                                                               const LinkEndpoint* endpoint) {
  std::vector<Device> taken;
  const std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_devices.begin(); it != m_devices.end();) {
    if ((id != 0 && it->id != id) || (endpoint && !SameDevice(it->endpoint, *endpoint))) {
      ++it;
      continue;
    }
    taken.push_back(*it);
    it = m_devices.erase(it);
  }
  return taken;
}

// Command 4, waiting for its answer even when the tool is being stopped. Never to a port that has
// closed since (its descriptor may belong to another file by now).
void ServiceModeRecord::SendFinish(const Device& device, LeaveFrom from) {
  const Link& link = device.link;
  if (HasSerialPort(device.endpoint) &&
      (!device.endpoint.serialPort->IsOpen() || !ArmedAtExit(PortHandle(device.endpoint)))) {
    return;
  }
  ServiceFinish(from == LeaveFrom::kStart ? link.Uninterruptible()
                                          : Link(link.platform(), link.socket()).Uninterruptible(),
                device.endpoint);
  DisarmLeaveAtExit(device.endpoint);
}

bool ServiceModeRecord::LeaveNow(const LinkEndpoint& endpoint, LeaveFrom from) {
  const std::vector<Device> taken = Take(0, &endpoint);
  for (const Device& device : taken) SendFinish(device, from);
  return !taken.empty();
}

std::size_t ServiceModeRecord::LeaveAll(LeaveFrom from) {
  const std::vector<Device> taken = Take(0, nullptr);
  for (const Device& device : taken) SendFinish(device, from);
  return taken.size();
}

}  // namespace quillon
