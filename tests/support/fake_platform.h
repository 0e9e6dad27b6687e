// A scripted platform for unit tests: a fake millisecond clock, fake serial ports and a fake
// datagram socket whose traffic arrives at chosen clock values. Nothing here touches the system.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/datagram_socket.h"
#include "link/platform.h"

namespace quillon::testing {

using Bytes = std::vector<std::uint8_t>;

class FakePlatform;

struct FakePort {
  bool exists = true;
  bool refuse_settings = false;
  bool open = false;
  int open_count = 0;
  int baud_restores = 0;
  std::deque<std::uint8_t> input;                      // queued for the tool to read
  std::multimap<std::int64_t, Bytes> scheduled;        // clock value -> bytes that arrive then
  std::vector<std::pair<std::int64_t, Bytes>> writes;  // what the tool wrote, with the time
  // Called for every write of the tool; may queue or schedule an answer.
  std::function<void(FakePort&, const Bytes&, std::int64_t now)> on_write;

  void Arrive(std::int64_t at, Bytes bytes) { scheduled.emplace(at, std::move(bytes)); }
};

struct FakeDatagram {
  std::int64_t at = 0;
  std::string address;
  std::uint16_t port = 0;
  Bytes bytes;
};

struct SentDatagram {
  std::int64_t at = 0;
  std::string address;
  std::uint16_t port = 0;
  Bytes bytes;
};

class FakeSocket final : public DatagramSocket {
 public:
  explicit FakeSocket(FakePlatform& platform) : platform_(platform) {}

  long ReceiveFrom(std::uint8_t* buf, long cap, bool peek, DatagramSender* from) override;
  long SendTo(const std::uint8_t* buf, long n, const std::string& address,
              std::uint16_t port) override;
  bool WaitReadable(int timeout_ms) override;

  void Arrive(std::int64_t at, std::string address, std::uint16_t port, Bytes bytes);
  std::size_t Pending() const;

  std::vector<SentDatagram> sent;
  // Called for every datagram the tool sends; may schedule answers.
  std::function<void(FakeSocket&, const SentDatagram&)> on_send;
  int receives = 0;  // datagrams taken off the queue (not peeks)

 private:
  FakePlatform& platform_;
  std::multimap<std::int64_t, FakeDatagram> queue_;  // by arrival time
};

class FakePlatform final : public Platform {
 public:
  explicit FakePlatform(std::int64_t start = 100000) : now_(start) {}

  std::int64_t NowMs() override { return now_; }
  void SleepMs(int ms) override { Advance(ms <= 0 ? 1 : ms); }
  SerialHandle OpenSerial(int n, std::string* why) override;
  long SerialQueued(SerialHandle h) override;
  long SerialRead(SerialHandle h, std::uint8_t* buf, long max) override;
  long SerialWrite(SerialHandle h, const std::uint8_t* buf, long n) override;
  void SerialClose(SerialHandle h) override;
  void SerialEnsureBaudRate(SerialHandle h) override;
  // Sleeps until the port's next scheduled bytes, at most ms.
  void SerialWaitInput(SerialHandle h, int ms) override;

  void Advance(std::int64_t ms) { now_ += ms; }
  void AdvanceTo(std::int64_t t) {
    if (t > now_) now_ = t;
  }

  // Port n (1..256) of the table; created on first use.
  FakePort& Port(int n) { return ports_[n]; }
  bool HasPort(int n) const { return ports_.count(n) != 0; }
  int OpenPorts() const;
  int open_calls = 0;

 private:
  FakePort* Find(SerialHandle h);
  void Deliver(FakePort& port);

  std::int64_t now_;
  std::map<int, FakePort> ports_;
};

}  // namespace quillon::testing
