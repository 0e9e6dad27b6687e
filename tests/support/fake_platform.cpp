#include "support/fake_platform.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quillon::testing {

// Handles are the port numbers plus an offset, so that a handle never equals the invalid one.
namespace {
constexpr SerialHandle kHandleBase = 1000;
}

const std::vector<SerialPortInfo>& FakePlatform::SerialPorts() {
  if (m_table.empty()) {
    for (int n = 1; n <= kMaxSerialPorts; ++n) m_table.push_back({n, "fake" + std::to_string(n)});
  }
  return m_table;
}

FakePlatform::~FakePlatform() {
  std::unique_lock<std::mutex> lock(m_openMutex);
  m_openEnded.wait(lock, [this] { return m_opening == 0; });
}

SerialOpenResult FakePlatform::OpenSerial(int n) {
  ++openCalls;
  std::unique_lock<std::mutex> lock(m_openMutex);
  auto it = m_ports.find(n);
  if (it == m_ports.end() || !it->second.exists) {
    return {kInvalidSerialHandle, SerialOpenStatus::kMissing, "no such port", {}};
  }
  FakePort& port = it->second;
  if (port.openDelayMs > 0) {
    ++m_opening;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(port.openDelayMs));
    lock.lock();
    --m_opening;
    m_openEnded.notify_all();
  }
  if (port.open) return {kInvalidSerialHandle, SerialOpenStatus::kBusy, "busy", {}};
  if (port.refuseSettings) {
    return {kInvalidSerialHandle, SerialOpenStatus::kSettingsRefused, "settings refused", {}};
  }
  port.open = true;
  ++port.openCount;
  return {kHandleBase + n, SerialOpenStatus::kOpened, {}, {}};
}

std::string FakePlatform::SerialName(SerialHandle h) {
  const int n = static_cast<int>(h - kHandleBase);
  return SerialPortName(n, "fake" + std::to_string(n));
}

FakePort* FakePlatform::Find(SerialHandle h) {
  auto it = m_ports.find(static_cast<int>(h - kHandleBase));
  return it == m_ports.end() || !it->second.open ? nullptr : &it->second;
}

void FakePlatform::Deliver(FakePort& port) {
  while (!port.scheduled.empty() && port.scheduled.begin()->first <= m_now) {
    const Bytes& b = port.scheduled.begin()->second;
    port.input.insert(port.input.end(), b.begin(), b.end());
    port.scheduled.erase(port.scheduled.begin());
  }
}

std::size_t FakePlatform::SerialQueued(SerialHandle h) {
  FakePort* port = Find(h);
  if (!port) return 0;
  Deliver(*port);
  return port->input.size();
}

std::size_t FakePlatform::SerialRead(SerialHandle h, std::span<std::uint8_t> buf) {
  FakePort* port = Find(h);
  if (!port) return 0;
  Deliver(*port);
  const std::size_t n = std::min(buf.size(), port->input.size());
  for (std::size_t i = 0; i < n; ++i) {
    buf[i] = port->input.front();
    port->input.pop_front();
  }
  return n;
}

std::size_t FakePlatform::SerialWrite(SerialHandle h, std::span<const std::uint8_t> data) {
  FakePort* port = Find(h);
  if (!port) return 0;
  Bytes bytes(data.begin(), data.end());
  port->writes.emplace_back(m_now, bytes);
  if (port->onWrite) port->onWrite(*port, bytes, m_now);
  return data.size();
}

void FakePlatform::SerialClose(SerialHandle h) {
  const std::lock_guard<std::mutex> lock(m_openMutex);
  if (FakePort* port = Find(h)) port->open = false;
}

void FakePlatform::SerialEnsureBaudRate(SerialHandle h) {
  if (FakePort* port = Find(h)) ++port->baudRestores;
}

void FakePlatform::SerialWaitInput(SerialHandle h, int ms) {
  const std::int64_t limit = m_now + std::max(ms, 1);
  FakePort* port = Find(h);
  if (port && !port->scheduled.empty() && port->scheduled.begin()->first < limit) {
    AdvanceTo(port->scheduled.begin()->first);
  } else {
    AdvanceTo(limit);
  }
}

int FakePlatform::OpenPorts() const {
  return static_cast<int>(
      std::count_if(m_ports.begin(), m_ports.end(), [](const auto& p) { return p.second.open; }));
}

std::optional<std::size_t> FakeSocket::ReceiveFrom(std::span<std::uint8_t> buf, bool peek,
                                                   DatagramSender* from) {
  auto it = m_queue.begin();
  if (it == m_queue.end() || it->first > m_platform.NowMs()) return std::nullopt;
  const FakeDatagram& d = it->second;
  const std::size_t len = d.bytes.size();
  std::copy_n(d.bytes.begin(), std::min(len, buf.size()), buf.begin());
  if (from) {
    from->address = d.address;
    from->port = d.port;
  }
  if (!peek) {
    m_queue.erase(it);
    ++receives;
  }
  return len;
}

bool FakeSocket::SendTo(std::span<const std::uint8_t> data, const std::string& address,
                        std::uint16_t port) {
  SentDatagram d{m_platform.NowMs(), address, port, Bytes(data.begin(), data.end())};
  sent.push_back(d);
  if (onSend) onSend(*this, d);
  return true;
}

bool FakeSocket::WaitReadable(int timeout_ms) {
  const std::int64_t limit = m_platform.NowMs() + std::max(timeout_ms, 0);
  auto it = m_queue.begin();
  if (it != m_queue.end() && it->first <= limit) {
    m_platform.AdvanceTo(it->first);
    return true;
  }
  m_platform.AdvanceTo(limit);
  return false;
}

void FakeSocket::Arrive(std::int64_t at, std::string address, std::uint16_t port, Bytes bytes) {
  m_queue.emplace(at, FakeDatagram{at, std::move(address), port, std::move(bytes)});
}

std::size_t FakeSocket::Pending() const {
  return m_queue.size();
}

}  // namespace quillon::testing
