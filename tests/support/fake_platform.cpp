#include "support/fake_platform.h"

#include <algorithm>

namespace quillon::testing {

// Handles are the port numbers plus an offset, so that a handle never equals the invalid one.
namespace {
constexpr SerialHandle kHandleBase = 1000;
}

SerialHandle FakePlatform::OpenSerial(int n, std::string* why) {
  ++open_calls;
  auto it = ports_.find(n);
  if (it == ports_.end() || !it->second.exists) {
    if (why) *why = "no such port";
    return kInvalidSerialHandle;
  }
  FakePort& port = it->second;
  if (port.open) {
    if (why) *why = "busy";
    return kInvalidSerialHandle;
  }
  if (port.refuse_settings) {
    if (why) *why = "settings refused";
    return kInvalidSerialHandle;
  }
  port.open = true;
  ++port.open_count;
  return kHandleBase + n;
}

FakePort* FakePlatform::Find(SerialHandle h) {
  auto it = ports_.find(static_cast<int>(h - kHandleBase));
  return it == ports_.end() || !it->second.open ? nullptr : &it->second;
}

void FakePlatform::Deliver(FakePort& port) {
  while (!port.scheduled.empty() && port.scheduled.begin()->first <= now_) {
    const Bytes& b = port.scheduled.begin()->second;
    port.input.insert(port.input.end(), b.begin(), b.end());
    port.scheduled.erase(port.scheduled.begin());
  }
}

long FakePlatform::SerialQueued(SerialHandle h) {
  FakePort* port = Find(h);
  if (!port) return 0;
  Deliver(*port);
  return static_cast<long>(port->input.size());
}

long FakePlatform::SerialRead(SerialHandle h, std::uint8_t* buf, long max) {
  FakePort* port = Find(h);
  if (!port) return 0;
  Deliver(*port);
  const long n = std::min<long>(max, static_cast<long>(port->input.size()));
  for (long i = 0; i < n; ++i) {
    buf[i] = port->input.front();
    port->input.pop_front();
  }
  return n;
}

long FakePlatform::SerialWrite(SerialHandle h, const std::uint8_t* buf, long n) {
  FakePort* port = Find(h);
  if (!port) return 0;
  Bytes bytes(buf, buf + n);
  port->writes.emplace_back(now_, bytes);
  if (port->on_write) port->on_write(*port, bytes, now_);
  return n;
}

void FakePlatform::SerialClose(SerialHandle h) {
  if (FakePort* port = Find(h)) port->open = false;
}

void FakePlatform::SerialEnsureBaudRate(SerialHandle h) {
  if (FakePort* port = Find(h)) ++port->baud_restores;
}

void FakePlatform::SerialWaitInput(SerialHandle h, int ms) {
  const std::int64_t limit = now_ + std::max(ms, 1);
  FakePort* port = Find(h);
  if (port && !port->scheduled.empty() && port->scheduled.begin()->first < limit) {
    AdvanceTo(port->scheduled.begin()->first);
  } else {
    AdvanceTo(limit);
  }
}

int FakePlatform::OpenPorts() const {
  return static_cast<int>(
      std::count_if(ports_.begin(), ports_.end(), [](const auto& p) { return p.second.open; }));
}

long FakeSocket::ReceiveFrom(std::uint8_t* buf, long cap, bool peek, DatagramSender* from) {
  auto it = queue_.begin();
  if (it == queue_.end() || it->first > platform_.NowMs()) return -1;
  const FakeDatagram& d = it->second;
  const long len = static_cast<long>(d.bytes.size());
  std::copy_n(d.bytes.begin(), std::min(len, cap), buf);
  if (from) {
    from->address = d.address;
    from->port = d.port;
  }
  if (!peek) {
    queue_.erase(it);
    ++receives;
  }
  return len;
}

long FakeSocket::SendTo(const std::uint8_t* buf, long n, const std::string& address,
                        std::uint16_t port) {
  SentDatagram d{platform_.NowMs(), address, port, Bytes(buf, buf + n)};
  sent.push_back(d);
  if (on_send) on_send(*this, d);
  return n;
}

bool FakeSocket::WaitReadable(int timeout_ms) {
  const std::int64_t limit = platform_.NowMs() + std::max(timeout_ms, 0);
  auto it = queue_.begin();
  if (it != queue_.end() && it->first <= limit) {
    platform_.AdvanceTo(it->first);
    return true;
  }
  platform_.AdvanceTo(limit);
  return false;
}

void FakeSocket::Arrive(std::int64_t at, std::string address, std::uint16_t port, Bytes bytes) {
  queue_.emplace(at, FakeDatagram{at, std::move(address), port, std::move(bytes)});
}

std::size_t FakeSocket::Pending() const {
  return queue_.size();
}

}  // namespace quillon::testing
