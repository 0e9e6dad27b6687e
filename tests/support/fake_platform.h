// A scripted platform for unit tests: a fake millisecond clock, fake serial ports and a fake
// datagram socket whose traffic arrives at chosen clock values. Nothing here touches the system.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/datagram_socket.h"
#include "link/platform.h"

namespace quillon::testing {

using Bytes = std::vector<std::uint8_t>;

class FakePlatform;

struct FakePort {
  bool exists = true;
  bool refuseSettings = false;
  bool open = false;
  int openCount = 0;
  int openDelayMs = 0;  // real time an open takes (a Bluetooth port connects first)
  int baudRestores = 0;
  std::deque<std::uint8_t> input;                      // queued for the tool to read
  std::multimap<std::int64_t, Bytes> scheduled;        // clock value -> bytes that arrive then
  std::vector<std::pair<std::int64_t, Bytes>> writes;  // what the tool wrote, with the time
  // Called for every write of the tool; may queue or schedule an answer.
  std::function<void(FakePort&, const Bytes&, std::int64_t now)> onWrite;

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
  explicit FakeSocket(FakePlatform& platform) : m_platform(platform) {}

  std::optional<std::size_t> ReceiveFrom(std::span<std::uint8_t> buf, bool peek,
                                         DatagramSender* from) override;
  bool SendTo(std::span<const std::uint8_t> data, const std::string& address,
              std::uint16_t port) override;
  bool WaitReadable(int timeout_ms) override;

  void Arrive(std::int64_t at, std::string address, std::uint16_t port, Bytes bytes);
  std::size_t Pending() const;

  std::vector<SentDatagram> sent;
  // Called for every datagram the tool sends; may schedule answers.
  std::function<void(FakeSocket&, const SentDatagram&)> onSend;
  int receives = 0;  // datagrams taken off the queue (not peeks)

 private:
  FakePlatform& m_platform;
  std::multimap<std::int64_t, FakeDatagram> m_queue;  // by arrival time
};

class FakePlatform final : public Platform {
 public:
  explicit FakePlatform(std::int64_t start = 100000) : m_now(start) {}
  // Waits for opens still running on the search's threads.
  ~FakePlatform() override;

  std::int64_t NowMs() override { return m_now; }
  void SleepMs(int ms) override { Advance(ms <= 0 ? 1 : ms); }
  void RescanSerialPorts() override { ++rescans; }
  // Ports 1..256, whether or not a test has made them.
  const std::vector<SerialPortInfo>& SerialPorts() override;
  SerialOpenResult OpenSerial(int n) override;
  std::size_t SerialQueued(SerialHandle h) override;
  std::size_t SerialRead(SerialHandle h, std::span<std::uint8_t> buf) override;
  std::size_t SerialWrite(SerialHandle h, std::span<const std::uint8_t> data) override;
  void SerialClose(SerialHandle h) override;
  void SerialEnsureBaudRate(SerialHandle h) override;
  // Sleeps until the port's next scheduled bytes, at most ms.
  void SerialWaitInput(SerialHandle h, int ms) override;
  std::string SerialName(SerialHandle h) override;

  void Advance(std::int64_t ms) { m_now += ms; }
  void AdvanceTo(std::int64_t t) {
    if (t > m_now) m_now = t;
  }

  // Port n (1..256) of the table; created on first use.
  FakePort& Port(int n) { return m_ports[n]; }
  bool HasPort(int n) const { return m_ports.count(n) != 0; }
  int OpenPorts() const;
  std::atomic<int> openCalls{0};
  int rescans = 0;

 private:
  FakePort* Find(SerialHandle h);
  void Deliver(FakePort& port);

  std::int64_t m_now;
  // The search opens its ports on threads of their own.
  std::mutex m_openMutex;
  std::condition_variable m_openEnded;
  int m_opening = 0;
  std::map<int, FakePort> m_ports;
  std::vector<SerialPortInfo> m_table;
};

}  // namespace quillon::testing
