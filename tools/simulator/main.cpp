// quillon-simulator: a Quillon on a pseudo-terminal and/or UDP, for tests and for trying the tool
// without hardware. One thread; everything waits in ppoll(), pauses are poll timeouts. Here are
// the loop and the wiring: requests from the links go to the devices, their replies to the
// schedule, and what falls due to the links.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/command_packet.h"
#include "link/platform.h"
#include "link/service_frame.h"
#include "tools/simulator/device.h"
#include "tools/simulator/options.h"
#include "tools/simulator/output_schedule.h"
#include "tools/simulator/pty_link.h"
#include "tools/simulator/serial_framer.h"
#include "tools/simulator/udp_link.h"

namespace quillon::sim {
namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

constexpr int kMaxDatagramsPerWake = 64;  // so that a busy socket cannot starve the pty

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    s.push_back(kDigits[data[i] >> 4]);
    s.push_back(kDigits[data[i] & 0x0F]);
  }
  return s;
}

in_addr HostOrderToAddr(std::uint32_t host_order) {
  in_addr a{};
  a.s_addr = htonl(host_order);
  return a;
}

class Simulator {
 public:
  explicit Simulator(Options options) : m_options(std::move(options)), m_schedule(m_options) {
    for (std::uint16_t serial : m_options.deviceSerials) {
      m_devices.emplace_back(m_options.profile, m_options.faults, serial);
    }
  }
  ~Simulator() {
    if (m_log) std::fclose(m_log);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool Setup(std::string* error);
  void Run();

 private:
  void ProcessSerial(std::int64_t now);
  void ReadUdp(std::int64_t now);
  void OnDatagram(const ReceivedDatagram& datagram, std::int64_t now);
  void Handle(std::size_t device, Kind kind, const std::uint8_t* data, std::size_t size,
              const Target& target, std::int64_t now);
  void FlushDue(std::int64_t now);

  void Log(const std::string& transport, Kind kind, const std::uint8_t* data, std::size_t size);
  void WriteRecord(const std::vector<std::uint8_t>& record);
  bool Received(Kind kind);  // false when the device is to vanish now

  Options m_options;
  std::vector<Device> m_devices;
  PtyLink m_pty;
  UdpLink m_udp;
  SerialFramer m_framer;
  OutputSchedule m_schedule;
  std::FILE* m_log = nullptr;
  bool m_exitNow = false;
};

bool Simulator::Setup(std::string* error) {
  if (!m_options.logPath.empty()) {
    m_log = std::fopen(m_options.logPath.c_str(), "w");
    if (!m_log) {
      *error = "cannot write " + m_options.logPath + ": " + std::strerror(errno);
      return false;
    }
  }
  if (m_options.pty && (!m_pty.Open(error) || (!m_options.linkPath.empty() &&
                                               !m_pty.MakeLink(m_options.linkPath, error)))) {
    return false;
  }
  if (m_options.udpAddress && !m_udp.Open(*m_options.udpAddress, m_options.udpPort, error)) {
    return false;
  }
  if (m_options.pty) std::printf("pty %s\n", m_pty.Path().c_str());
  if (m_options.udpAddress) {
    std::printf("udp %s:%u\n", m_options.udpAddress->c_str(), static_cast<unsigned>(m_udp.Port()));
  }
  std::fflush(stdout);
  return true;
}

void Simulator::Log(const std::string& transport, Kind kind, const std::uint8_t* data,
                    std::size_t size) {
  if (!m_log) return;
  std::fprintf(m_log, "%s %s %s\n", transport.c_str(), KindName(kind), Hex(data, size).c_str());
  std::fflush(m_log);
}

void Simulator::WriteRecord(const std::vector<std::uint8_t>& record) {
  if (m_options.recordPath.empty()) return;
  // Written aside and renamed, so that a reader never sees half a record. The file aside is
  // made afresh and never followed as a link, and the rename replaces the name itself: a link
  // planted at either name cannot send the record to another file.
  const std::string temp = m_options.recordPath + ".tmp";
  unlink(temp.c_str());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = Hex(record.data(), record.size()) + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!written || std::rename(temp.c_str(), m_options.recordPath.c_str()) != 0) {
    unlink(temp.c_str());
  }
}

bool Simulator::Received(Kind kind) {
  if (m_options.exitAfter == kind) m_exitNow = true;
  return !m_exitNow;
}

void Simulator::Handle(std::size_t index, Kind kind, const std::uint8_t* data, std::size_t size,
                       const Target& target, std::int64_t now) {
  Device& device = m_devices[index];
  if (size == cmd::kRequestSize) {
    CommandPacket packet;
    std::copy(data, data + size, packet.begin());
    if (const auto reply = device.OnCommandPacket(packet)) {
      m_schedule.AddReply(index, kind, reply->data(), reply->size(), target, now);
    }
  } else if (size == svc::kFrameSize) {
    ServiceFrame frame;
    std::copy(data, data + size, frame.begin());
    const int records = device.RecordsWritten();
    if (const auto reply = device.OnServiceFrame(frame)) {
      m_schedule.AddReply(index, kind, reply->data(), reply->size(), target, now);
    }
    if (device.RecordsWritten() != records) WriteRecord(device.LastRecord());
  }
}

void Simulator::ProcessSerial(std::int64_t now) {
  std::vector<std::uint8_t> piece;
  Target target;
  target.serial = true;
  while (!m_exitNow) {
    const auto got = m_framer.Next(m_devices[0].InServiceMode(), now, &piece);
    if (got == SerialFramer::Piece::kNone) break;
    const Kind kind = ClassifyRequest(piece.data(), piece.size());
    Log("serial", kind, piece.data(), piece.size());
    if (!Received(kind)) break;
    if (got != SerialFramer::Piece::kDropped) {
      Handle(0, kind, piece.data(), piece.size(), target, now);
    }
  }
}

void Simulator::OnDatagram(const ReceivedDatagram& datagram, std::int64_t now) {
  const std::uint8_t* data = datagram.data;
  const std::size_t size = datagram.size;
  const Kind kind = ClassifyRequest(data, size);
  Log("udp " + AddressText(datagram.from.sin_addr) + ":" +
          std::to_string(ntohs(datagram.from.sin_port)),
      kind, data, size);
  if (!Received(kind)) return;

  if (kind == Kind::kIdentify) {
    // The other hosts on the network answer from the simulator's address and port.
    Target sender;
    sender.to = datagram.from;
    sender.from = datagram.local;
    m_schedule.RestartTrickle(sender, now);
    if (m_options.forgeStatusMs) {
      // A forger's reply is valid whatever --bad-checksum says; the devices stay silent.
      CommandReply forged = m_devices[0].BuildReply(Kind::kStatus, kStatusRequest);
      SealReply(forged.data());
      m_schedule.AddForgery(forged, sender, now);
      return;
    }
  }

  std::vector<std::size_t> chosen;
  if (m_options.deviceAddressesFrom && datagram.destination) {
    const std::uint32_t d = ntohl(datagram.destination->s_addr);
    if (d >= *m_options.deviceAddressesFrom &&
        d - *m_options.deviceAddressesFrom < m_devices.size()) {
      chosen.push_back(d - *m_options.deviceAddressesFrom);
    }
  }
  if (chosen.empty()) {
    const std::size_t n = kind == Kind::kIdentify ? m_devices.size() : 1;
    for (std::size_t k = 0; k < n; ++k) chosen.push_back(k);
  }
  for (std::size_t k : chosen) {
    Target target;
    target.to = datagram.from;
    if (m_options.deviceAddressesFrom) {
      target.from = HostOrderToAddr(*m_options.deviceAddressesFrom + static_cast<std::uint32_t>(k));
    } else {
      target.from = datagram.local;  // answer from the address the request came in on
    }
    Handle(k, kind, data, size, target, now);
  }
}

void Simulator::ReadUdp(std::int64_t now) {
  for (int i = 0; i < kMaxDatagramsPerWake && !m_exitNow; ++i) {
    const auto datagram = m_udp.Receive();
    if (!datagram) break;
    OnDatagram(*datagram, now);
  }
}

void Simulator::FlushDue(std::int64_t now) {
  while (auto out = m_schedule.TakeDue(now)) {
    if (out->target.serial) {
      m_pty.Write(out->bytes);
    } else {
      m_udp.Send(out->bytes, out->target.to, out->target.from);
    }
  }
}

void Simulator::Run() {
  sigset_t handled;
  sigset_t during_wait;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGHUP);
  // Blocked except inside ppoll(), so a signal can never slip in between the test and the wait.
  sigprocmask(SIG_BLOCK, &handled, &during_wait);
  sigdelset(&during_wait, SIGINT);
  sigdelset(&during_wait, SIGTERM);
  sigdelset(&during_wait, SIGHUP);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("ready\n");
  std::fflush(stdout);

  const bool watch_stdin = m_options.exitOnStdinEof;
  while (!g_stop && !m_exitNow) {
    const std::int64_t now = SteadyClockMs();
    FlushDue(now);
    if (m_pty.IsOpen()) ProcessSerial(now);  // stale pieces
    if (m_exitNow) break;

    std::optional<std::int64_t> wake;
    auto wake_at = [&wake](std::int64_t t) { wake = wake ? std::min(*wake, t) : t; };
    if (const auto due = m_schedule.NextDue()) wake_at(*due);
    if (const auto stale = m_framer.StaleAt()) wake_at(*stale);

    pollfd fds[3];
    nfds_t count = 0;
    int pty_index = -1;
    int udp_index = -1;
    int stdin_index = -1;
    if (m_pty.IsOpen() && m_pty.Resting(now)) {
      wake_at(m_pty.RestingUntil());
    } else if (m_pty.IsOpen()) {
      pty_index = static_cast<int>(count);
      fds[count++] = {m_pty.Fd(), m_pty.PollEvents(), 0};
    }
    if (m_udp.IsOpen()) {
      udp_index = static_cast<int>(count);
      fds[count++] = {m_udp.Fd(), POLLIN, 0};
    }
    if (watch_stdin) {
      stdin_index = static_cast<int>(count);
      fds[count++] = {STDIN_FILENO, POLLIN, 0};
    }

    timespec timeout{};
    timespec* timeout_ptr = nullptr;
    if (wake) {
      const std::int64_t ms = std::max<std::int64_t>(0, *wake - now);
      timeout.tv_sec = static_cast<time_t>(ms / 1000);
      timeout.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
      timeout_ptr = &timeout;
    }
    const int ready = ppoll(fds, count, timeout_ptr, &during_wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "quillon-simulator: poll: %s\n", std::strerror(errno));
      break;
    }
    const std::int64_t after = SteadyClockMs();
    if (pty_index >= 0 && m_pty.OnPoll(fds[pty_index].revents, after, &m_framer)) {
      ProcessSerial(after);
    }
    if (udp_index >= 0 && (fds[udp_index].revents & POLLIN) && !m_exitNow) ReadUdp(after);
    if (stdin_index >= 0 && fds[stdin_index].revents) {
      char sink[512];
      const ssize_t n = read(STDIN_FILENO, sink, sizeof sink);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
  if (m_log) std::fclose(m_log);
  m_log = nullptr;
}

}  // namespace
}  // namespace quillon::sim

int main(int argc, char** argv) {
  using namespace quillon::sim;
  quillon::EnsureStandardDescriptors();
  Options options;
  std::string error;
  switch (ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    case ParseOutcome::kHelp:
      std::fputs(HelpText().c_str(), stdout);
      return 0;
    case ParseOutcome::kVersion:
      std::printf("%s\n", VersionText().c_str());
      return 0;
    case ParseOutcome::kError:
      std::fprintf(stderr, "quillon-simulator: %s (see --help)\n", error.c_str());
      return 2;
    case ParseOutcome::kRun:
      break;
  }
  Simulator simulator(std::move(options));
  if (!simulator.Setup(&error)) {
    std::fprintf(stderr, "quillon-simulator: %s\n", error.c_str());
    return 1;
  }
  simulator.Run();
  return 0;
}
