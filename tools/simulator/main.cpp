// quillon-simulator: a Quillon on a pseudo-terminal and/or UDP, for tests and for trying the tool
// without hardware. One thread; everything waits in ppoll(), pauses are poll timeouts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/simulator/device.h"
#include "tools/simulator/options.h"
#include "tools/simulator/serial_framer.h"

namespace quillon::sim {
namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

constexpr std::size_t kMaxSerialBacklog = 65536;  // bytes nobody reads are dropped beyond this
constexpr int kMaxReadsPerWake = 64;              // so one busy source cannot starve the rest
constexpr std::uint8_t kStrayByte = 0xEE;
constexpr std::int64_t kHangupBackoffMs = 100;

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

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

std::string AddressText(in_addr a) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

in_addr HostOrderToAddr(std::uint32_t host_order) {
  in_addr a{};
  a.s_addr = htonl(host_order);
  return a;
}

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Where a reply goes: the pty, or a datagram to `to`, sent from `from` when set.
struct Target {
  bool serial = false;
  sockaddr_in to{};
  std::optional<in_addr> from;
};

struct Output {
  Target target;
  std::vector<std::uint8_t> bytes;
};

class Simulator {
 public:
  explicit Simulator(Options options) : options_(std::move(options)) {
    for (std::uint16_t serial : options_.device_serials) {
      devices_.emplace_back(options_.profile, options_.faults, serial);
    }
  }
  ~Simulator() { RemoveLink(); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool Setup(std::string* error);
  void Run();

 private:
  bool OpenPty(std::string* error);
  bool MakeLink(std::string* error);
  void RemoveLink();
  bool OpenUdp(std::string* error);

  void ReadPty(std::int64_t now);
  void ProcessSerial(std::int64_t now);
  void ReadUdp(std::int64_t now);
  void OnDatagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                  std::optional<in_addr> dest, std::optional<in_addr> local, std::int64_t now);
  void Handle(std::size_t device, Kind kind, const std::uint8_t* data, std::size_t size,
              const Target& target, std::int64_t now);
  void Answer(std::size_t device, Kind kind, const std::uint8_t* reply, std::size_t size,
              const Target& target, std::int64_t now);

  void Schedule(std::int64_t due, Output output);
  void FlushDue(std::int64_t now);
  void WriteSerialBacklog();
  void SendDatagram(const Output& output);

  void Log(const std::string& transport, Kind kind, const std::uint8_t* data, std::size_t size);
  void WriteRecord(const std::vector<std::uint8_t>& record);
  bool Received(Kind kind);  // false when the device is to vanish now

  Options options_;
  std::vector<Device> devices_;
  Fd pty_;
  Fd pty_slave_;  // held open so that the master never sees a hangup between clients
  std::string pty_path_;
  bool link_made_ = false;
  Fd udp_;
  std::FILE* log_ = nullptr;
  SerialFramer framer_;
  std::vector<std::uint8_t> serial_backlog_;
  std::map<std::pair<std::int64_t, std::uint64_t>, Output> outputs_;  // by due time, then order
  std::uint64_t output_seq_ = 0;
  int stray_sent_ = 0;
  std::int64_t pty_quiet_until_ = 0;
  bool exit_now_ = false;
};

bool Simulator::OpenPty(std::string* error) {
  pty_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128] = {};
  if (!pty_.valid() || grantpt(pty_.get()) != 0 || unlockpt(pty_.get()) != 0 ||
      ptsname_r(pty_.get(), name, sizeof name) != 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  pty_path_ = name;
  pty_slave_.Reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios tio{};
  if (!pty_slave_.valid() || tcgetattr(pty_slave_.get(), &tio) != 0) {
    *error = "cannot open " + pty_path_ + ": " + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B38400);
  cfsetospeed(&tio, B38400);
  tio.c_cflag |= CLOCAL | CREAD;
  tcsetattr(pty_slave_.get(), TCSANOW, &tio);
  fcntl(pty_.get(), F_SETFL, fcntl(pty_.get(), F_GETFL) | O_NONBLOCK);
  return true;
}

bool Simulator::MakeLink(std::string* error) {
  const std::string& path = options_.link_path;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = path + " exists and is not a symbolic link";
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(pty_path_.c_str(), path.c_str()) != 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  link_made_ = true;
  return true;
}

void Simulator::RemoveLink() {
  if (!link_made_) return;
  // Only our own link: another simulator may have taken the name over meanwhile.
  char target[256] = {};
  const ssize_t n = readlink(options_.link_path.c_str(), target, sizeof target - 1);
  if (n > 0 && pty_path_ == std::string(target, static_cast<std::size_t>(n))) {
    unlink(options_.link_path.c_str());
  }
  link_made_ = false;
}

bool Simulator::OpenUdp(std::string* error) {
  udp_.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!udp_.valid()) {
    *error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(udp_.get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  setsockopt(udp_.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.udp_port);
  inet_pton(AF_INET, options_.udp_address->c_str(), &addr.sin_addr);
  if (bind(udp_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot bind " + *options_.udp_address + ":" + std::to_string(options_.udp_port) +
             ": " + std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  options_.udp_port = ntohs(addr.sin_port);
  return true;
}

bool Simulator::Setup(std::string* error) {
  if (!options_.log_path.empty()) {
    log_ = std::fopen(options_.log_path.c_str(), "w");
    if (!log_) {
      *error = "cannot write " + options_.log_path + ": " + std::strerror(errno);
      return false;
    }
  }
  if (options_.pty && (!OpenPty(error) || (!options_.link_path.empty() && !MakeLink(error)))) {
    return false;
  }
  if (options_.udp_address && !OpenUdp(error)) return false;
  if (options_.pty) std::printf("pty %s\n", pty_path_.c_str());
  if (options_.udp_address)
    std::printf("udp %s:%u\n", options_.udp_address->c_str(),
                static_cast<unsigned>(options_.udp_port));
  std::fflush(stdout);
  return true;
}

void Simulator::Log(const std::string& transport, Kind kind, const std::uint8_t* data,
                    std::size_t size) {
  if (!log_) return;
  std::fprintf(log_, "%s %s %s\n", transport.c_str(), KindName(kind), Hex(data, size).c_str());
  std::fflush(log_);
}

void Simulator::WriteRecord(const std::vector<std::uint8_t>& record) {
  if (options_.record_path.empty()) return;
  // Written aside and renamed, so that a reader never sees half a record.
  const std::string temp = options_.record_path + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return;
  std::fprintf(f, "%s\n", Hex(record.data(), record.size()).c_str());
  std::fclose(f);
  std::rename(temp.c_str(), options_.record_path.c_str());
}

bool Simulator::Received(Kind kind) {
  if (options_.exit_after == kind) exit_now_ = true;
  return !exit_now_;
}

void Simulator::Schedule(std::int64_t due, Output output) {
  outputs_.emplace(std::make_pair(due, output_seq_++), std::move(output));
}

void Simulator::Answer(std::size_t device, Kind kind, const std::uint8_t* reply, std::size_t size,
                       const Target& target, std::int64_t now) {
  if (options_.faults.silent) return;
  const bool service = size == svc::kFrameSize && kind != Kind::kIdentify &&
                       kind != Kind::kStatus && kind != Kind::kMode;
  const std::int64_t due = now + options_.reply_delay_ms +
                           static_cast<std::int64_t>(device) * options_.device_stagger_ms;
  std::vector<std::int64_t> copies = {due};
  if (service && options_.duplicate_after_ms) copies.push_back(due + *options_.duplicate_after_ms);

  std::vector<std::uint8_t> bytes;
  if (target.serial) {
    if (kind == Kind::kIdentify && options_.stray_bytes > 0 &&
        (options_.stray_times == 0 || stray_sent_ < options_.stray_times)) {
      bytes.assign(static_cast<std::size_t>(options_.stray_bytes), kStrayByte);
      ++stray_sent_;
    }
    bytes.insert(bytes.end(), reply, reply + size);
    const std::size_t pieces = static_cast<std::size_t>(options_.split_pieces);
    for (std::int64_t at : copies) {
      std::size_t begin = 0;
      for (std::size_t i = 0; i < pieces && begin < bytes.size(); ++i) {
        const std::size_t end = bytes.size() * (i + 1) / pieces;
        if (end == begin) continue;
        Schedule(at + static_cast<std::int64_t>(i) * options_.split_pause_ms,
                 {target, std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(begin),
                                                    bytes.begin() + static_cast<long>(end))});
        begin = end;
      }
    }
    return;
  }
  // Every reply datagram carries two bytes ahead of the reply; A5 5A on both protocols.
  bytes = {0xA5, 0x5A};
  bytes.insert(bytes.end(), reply, reply + size);
  for (std::int64_t at : copies) Schedule(at, {target, bytes});
}

void Simulator::Handle(std::size_t index, Kind kind, const std::uint8_t* data, std::size_t size,
                       const Target& target, std::int64_t now) {
  Device& device = devices_[index];
  if (size == cmd::kRequestSize) {
    CommandPacket packet;
    std::copy(data, data + size, packet.begin());
    if (const auto reply = device.OnCommandPacket(packet)) {
      Answer(index, kind, reply->data(), reply->size(), target, now);
    }
  } else if (size == svc::kFrameSize) {
    ServiceFrame frame;
    std::copy(data, data + size, frame.begin());
    const int records = device.records_written();
    if (const auto reply = device.OnServiceFrame(frame)) {
      Answer(index, kind, reply->data(), reply->size(), target, now);
    }
    if (device.records_written() != records) WriteRecord(device.last_record());
  }
}

void Simulator::ProcessSerial(std::int64_t now) {
  std::vector<std::uint8_t> piece;
  Target target;
  target.serial = true;
  while (!exit_now_) {
    const auto got = framer_.Next(devices_[0].in_service_mode(), now, &piece);
    if (got == SerialFramer::Piece::kNone) break;
    const Kind kind = ClassifyRequest(piece.data(), piece.size());
    Log("serial", kind, piece.data(), piece.size());
    if (!Received(kind)) break;
    if (got != SerialFramer::Piece::kDropped) {
      Handle(0, kind, piece.data(), piece.size(), target, now);
    }
  }
}

void Simulator::ReadPty(std::int64_t now) {
  std::uint8_t buf[4096];
  for (int i = 0; i < kMaxReadsPerWake; ++i) {
    const ssize_t n = read(pty_.get(), buf, sizeof buf);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) pty_quiet_until_ = now + kHangupBackoffMs;
      break;
    }
    framer_.Feed(buf, static_cast<std::size_t>(n), now);
  }
  ProcessSerial(now);
}

void Simulator::OnDatagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from,
                           std::optional<in_addr> dest, std::optional<in_addr> local,
                           std::int64_t now) {
  const Kind kind = ClassifyRequest(data, size);
  Log("udp " + AddressText(from.sin_addr) + ":" + std::to_string(ntohs(from.sin_port)), kind, data,
      size);
  if (!Received(kind)) return;

  std::vector<std::size_t> chosen;
  if (options_.device_addresses_from && dest) {
    const std::uint32_t d = ntohl(dest->s_addr);
    if (d >= *options_.device_addresses_from &&
        d - *options_.device_addresses_from < devices_.size()) {
      chosen.push_back(d - *options_.device_addresses_from);
    }
  }
  if (chosen.empty()) {
    const std::size_t n = kind == Kind::kIdentify ? devices_.size() : 1;
    for (std::size_t k = 0; k < n; ++k) chosen.push_back(k);
  }
  for (std::size_t k : chosen) {
    Target target;
    target.to = from;
    if (options_.device_addresses_from) {
      target.from =
          HostOrderToAddr(*options_.device_addresses_from + static_cast<std::uint32_t>(k));
    } else {
      target.from = local;  // answer from the address the request came in on
    }
    Handle(k, kind, data, size, target, now);
  }
}

void Simulator::ReadUdp(std::int64_t now) {
  static std::uint8_t buf[65536];
  for (int i = 0; i < kMaxReadsPerWake && !exit_now_; ++i) {
    sockaddr_in from{};
    alignas(cmsghdr) char control[256];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(udp_.get(), &msg, MSG_DONTWAIT);
    if (n < 0) break;
    std::optional<in_addr> dest;
    std::optional<in_addr> local;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        dest = info.ipi_addr;
        local = info.ipi_spec_dst;
      }
    }
    OnDatagram(buf, static_cast<std::size_t>(n), from, dest, local, now);
  }
}

void Simulator::SendDatagram(const Output& out) {
  iovec iov{const_cast<std::uint8_t*>(out.bytes.data()), out.bytes.size()};
  msghdr msg{};
  sockaddr_in to = out.target.to;
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (out.target.from && out.target.from->s_addr != htonl(INADDR_ANY)) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = *out.target.from;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  if (sendmsg(udp_.get(), &msg, 0) < 0) {
    std::fprintf(stderr, "quillon-simulator: send to %s failed: %s\n",
                 AddressText(to.sin_addr).c_str(), std::strerror(errno));
  }
}

void Simulator::WriteSerialBacklog() {
  while (!serial_backlog_.empty()) {
    const ssize_t n = write(pty_.get(), serial_backlog_.data(), serial_backlog_.size());
    if (n <= 0) break;
    serial_backlog_.erase(serial_backlog_.begin(), serial_backlog_.begin() + n);
  }
}

void Simulator::FlushDue(std::int64_t now) {
  while (!outputs_.empty() && outputs_.begin()->first.first <= now) {
    const Output out = std::move(outputs_.begin()->second);
    outputs_.erase(outputs_.begin());
    if (!out.target.serial) {
      SendDatagram(out);
      continue;
    }
    if (serial_backlog_.size() + out.bytes.size() > kMaxSerialBacklog) {
      std::fprintf(stderr, "quillon-simulator: nobody reads the pty; reply dropped\n");
      continue;
    }
    serial_backlog_.insert(serial_backlog_.end(), out.bytes.begin(), out.bytes.end());
    WriteSerialBacklog();
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

  const bool watch_stdin = options_.exit_on_stdin_eof;
  while (!g_stop && !exit_now_) {
    const std::int64_t now = NowMs();
    FlushDue(now);
    if (pty_.valid()) ProcessSerial(now);  // stale pieces
    if (exit_now_) break;

    std::optional<std::int64_t> wake;
    auto wake_at = [&wake](std::int64_t t) { wake = wake ? std::min(*wake, t) : t; };
    if (!outputs_.empty()) wake_at(outputs_.begin()->first.first);
    if (const auto stale = framer_.StaleAt()) wake_at(*stale);

    pollfd fds[3];
    nfds_t count = 0;
    int pty_index = -1;
    int udp_index = -1;
    int stdin_index = -1;
    if (pty_.valid() && now < pty_quiet_until_) {
      // A hung-up pty reports POLLHUP whatever is asked, so it is left out for a while.
      wake_at(pty_quiet_until_);
    } else if (pty_.valid()) {
      const short events = serial_backlog_.empty() ? POLLIN : POLLIN | POLLOUT;
      pty_index = static_cast<int>(count);
      fds[count++] = {pty_.get(), events, 0};
    }
    if (udp_.valid()) {
      udp_index = static_cast<int>(count);
      fds[count++] = {udp_.get(), POLLIN, 0};
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
    const std::int64_t after = NowMs();
    if (pty_index >= 0) {
      const short ev = fds[pty_index].revents;
      if (ev & POLLOUT) WriteSerialBacklog();
      if (ev & POLLIN) {
        ReadPty(after);
      } else if (ev & (POLLHUP | POLLERR)) {
        pty_quiet_until_ = after + kHangupBackoffMs;
      }
    }
    if (udp_index >= 0 && (fds[udp_index].revents & POLLIN) && !exit_now_) ReadUdp(after);
    if (stdin_index >= 0 && fds[stdin_index].revents) {
      char sink[512];
      const ssize_t n = read(STDIN_FILENO, sink, sizeof sink);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
  if (log_) std::fclose(log_);
  log_ = nullptr;
}

}  // namespace
}  // namespace quillon::sim

int main(int argc, char** argv) {
  using namespace quillon::sim;
  Options options;
  std::string error;
  switch (ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    case ParseOutcome::kHelp:
      std::fputs(HelpText(), stdout);
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
