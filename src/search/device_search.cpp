// Finding the device by its serial number on every serial port and every local IPv4 network
// within one shared answer window.

#include "search/device_search.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <span>

#include "link/command_packet.h"
#include "link/interrupt.h"
#include "link/serial_port.h"
#include "link/wait.h"
#include "search/ipv4.h"
#include "search/port_opening.h"

namespace quillon {
namespace {

void WriteIdentify(const Link& link, SerialHandle port) {
  SerialWrite(link, port, kIdentifyRequest);
}

void DrainAndClose(const Link& link, SerialPort& port) {
  DrainSerialInput(link, port.handle(), kSearchBufferSize);
  port.Close();
}

Verdict Classify(const std::uint8_t* reply) {
  if (ReplyUseCount(reply) > 0 && ReplyUseOverride(reply) == 0) return Verdict::kInUse;
  if (ReplyApplicabilityA(reply) > 1 || ReplyApplicabilityB(reply) > 1) {
    return Verdict::kNotApplicable;
  }
  return Verdict::kUsable;
}

// What the user can do about a port that the search had to skip, if anything.
std::optional<Reason> SkipReason(const std::string& port, const SerialOpenResult& result) {
  switch (result.status) {
    case SerialOpenStatus::kPermissionDenied:
      return Reason{Reason::Kind::kPortDenied, port, result.group};
    case SerialOpenStatus::kBusy:
      return Reason{Reason::Kind::kPortBusy, port, result.detail};
    default:
      return std::nullopt;
  }
}

}  // namespace

bool IsPossibleDeviceAddress(const std::string& source, const std::vector<std::string>& excluded,
                             const std::vector<std::string>& named) {
  const std::optional<IPv4Bytes> a = ParseIPv4(source);
  if (!a || IsZeroAddress(*a)) return false;
  if ((*a)[0] >= 224) return false;  // multicast, reserved, the limited broadcast
  // The whole loopback network is this computer: a process here answers from 127.0.0.2 as well.
  // Only an address the user named (a simulator on this computer) counts.
  if ((*a)[0] == 127 && std::find(named.begin(), named.end(), source) == named.end()) return false;
  return std::find(excluded.begin(), excluded.end(), source) == excluded.end();
}

// One search window: the identify request to every port that opens and to every broadcast
// address, then the answers of all of them within one shared deadline. Every reply is classified
// for the number it carries, each wanted number on its own.
class DeviceSearch::Window {
 public:
  // Scan: every valid identify reply is kept, whatever its serial number.
  Window(DeviceSearch& search, const Link& link, const std::vector<std::int32_t>& wanted,
         bool scanning = false)
      : m_search(search), m_link(link), m_scanning(scanning) {
    for (const std::int32_t number : wanted) {
      // A number that no device can carry (above 65535) matches nothing.
      if (number < 0 || number > 0xFFFF) continue;
      m_index.emplace(static_cast<std::uint16_t>(number), m_wanted.size());
      Wanted& w = m_wanted.emplace_back();
      w.number = static_cast<std::uint16_t>(number);
    }
  }

  void Run() {
    OpenAndAsk();
    // One window for every transport: all devices answer at once.
    Deadline deadline = m_link.After(kAnswerWindowMs);
    // Only named addresses asked: when each of them and every asked port has answered, nothing
    // else can, and the window ends at once with the outcome the full window would give.
    bool early_end = true;
    if (m_link.socket()) {
      m_impossible = m_search.m_options.impossibleSources ? m_search.m_options.impossibleSources()
                                                          : std::vector<std::string>{};
      const std::vector<std::string> sent_to = m_search.SendIdentifyBroadcasts(m_link);
      if (m_search.m_options.identifyAddresses.empty()) {
        // The local broadcast addresses: a reply never comes from one of them.
        m_impossible.insert(m_impossible.end(), sent_to.begin(), sent_to.end());
        early_end = false;
      } else {
        m_unanswered.insert(sent_to.begin(), sent_to.end());
        m_askedAny = m_askedAny || !sent_to.empty();
      }
      if (sent_to.empty()) {
        m_reasons.push_back({Reason::Kind::kNoNetworkSearched, {}, {}});
      }
    } else if (!m_search.m_options.socketFailure.empty()) {
      m_reasons.push_back({Reason::Kind::kNoSocket, {}, m_search.m_options.socketFailure});
    }
    if (early_end) {
      CollectUntilAllAnswered(deadline);
    } else {
      CollectDatagrams(deadline);
    }
    CollectSerial();
  }

  // After Run: where the device of each wanted number is reached, in the order they were named
  // (numbers that no device can carry are not detected). The cable decides: a match on a serial
  // port (the lowest-numbered one) wins over every reply from the network, which then gets
  // nothing beyond the identify request. Without one, the network's reply decides, unless two
  // addresses answered with the number: then nothing is chosen.
  SearchResult Decide(std::int32_t number) {
    SearchResult result;
    const auto at = number < 0 || number > 0xFFFF
                        ? m_index.end()
                        : m_index.find(static_cast<std::uint16_t>(number));
    if (InterruptRequested()) {
      result.failure.outcome = Outcome::kInterrupted;
      return result;
    }
    if (at == m_index.end()) {
      result.failure = {Outcome::kNotDetected, m_reasons, {}, false, {}};
      return result;
    }
    const Wanted& w = m_wanted[at->second];
    FoundDevice device;
    Verdict verdict = Verdict::kUsable;
    if (w.serialMatched) {
      device.where = w.serialAt;
      device.alsoAt = w.udpPlaces;
      device.identifyReply = w.serialReply;
      verdict = Classify(w.serialReply.data());
    } else if (w.udpPlaces.empty()) {
      result.failure = {Outcome::kNotDetected, m_reasons, {}, false, {}};
      return result;
    } else if (w.udpPlaces.size() > 1) {
      // Nothing is sent to any: the record of one device must not go to another.
      result.failure = {Outcome::kTwoDevices, {}, {w.udpPlaces[0], w.udpPlaces[1]}, false, {}};
      return result;
    } else {
      device.where = w.udpPlaces.front();
      device.address = device.where;
      device.identifyReply = w.udpReply;
      verdict = Classify(w.udpReply.data());
    }
    if (verdict != Verdict::kUsable) {
      result.failure.outcome =
          verdict == Verdict::kInUse ? Outcome::kInUse : Outcome::kNotApplicable;
      result.failure.foundAt = device.where;
      return result;
    }
    if (w.serialMatched) {
      for (SerialPort& port : m_ports) {
        if (port.IsOpen() && &port == w.serialPort) {
          device.port = std::make_unique<SerialPort>(std::move(port));
        }
      }
    }
    result.device.emplace(std::move(device));
    return result;
  }

  // Every device seen in a scan, in the order they answered.
  std::vector<ScanEntry>& seen() { return m_seen; }

  // Every port that no device was taken from is drained and closed.
  void CloseOtherPorts() {
    for (SerialPort& port : m_ports) {
      if (port.IsOpen()) DrainAndClose(m_link, port);
    }
  }

 private:
  // What the window learnt of one wanted number.
  struct Wanted {
    std::uint16_t number = 0;
    bool serialMatched = false;
    std::string serialAt;
    const SerialPort* serialPort = nullptr;
    CommandReply serialReply{};
    // The addresses that answered with the number, in the order they first did, and the reply
    // of the first.
    std::vector<std::string> udpPlaces;
    CommandReply udpReply{};
  };

  Wanted* Find(const std::uint8_t* reply) {
    const auto at = m_index.find(ReplySerialNumber(reply));
    return at == m_index.end() ? nullptr : &m_wanted[at->second];
  }

  // A valid identify reply; on serial, a device also says that it is there.
  bool Matches(const std::uint8_t* reply, bool from_serial) const {
    if (!IsValidReply(reply, kIdentifyRequest)) return false;
    return !from_serial || ReplyPresenceWord(reply) != 0;
  }

  // A scan keeps every device; the same one answering twice from one place is one entry, whose
  // later reply decides its state.
  void See(const std::uint8_t* reply, const std::string& place, bool serial) {
    const std::uint16_t number = ReplySerialNumber(reply);
    for (ScanEntry& e : m_seen) {
      if (e.serialNumber == number && e.where == place) {
        e.verdict = Classify(reply);
        return;
      }
    }
    m_seen.push_back({number, place, serial, Classify(reply), false});
  }

  // A wanted number's reply from the network. One address answering twice (a broadcast that left
  // on two interfaces) is one device whose later reply decides; another address is noted, since
  // two addresses with one number are two devices.
  void NoteUdpMatch(Wanted& w, const std::uint8_t* reply, const std::string& address) {
    if (std::find(w.udpPlaces.begin(), w.udpPlaces.end(), address) == w.udpPlaces.end()) {
      w.udpPlaces.push_back(address);
    }
    if (address == w.udpPlaces.front()) std::copy_n(reply, w.udpReply.size(), w.udpReply.begin());
  }

  void OpenAndAsk() {
    if (!m_search.m_options.useSerial) return;
    Platform& platform = m_link.platform();
    platform.RescanSerialPorts();
    m_names.assign(kMaxSerialPorts, {});
    for (const SerialPortInfo& info : platform.SerialPorts()) {
      if (info.number >= 1 && info.number <= kMaxSerialPorts) {
        m_names[info.number - 1] = SerialPortName(info);
      }
    }
    int no_descriptors = 0;
    std::string limit;
    for (PortOpening& opening : OpenPortsSideBySide(m_link)) {
      const int n = opening.number;
      const SerialOpenResult& result = opening.result;
      m_ports[n - 1] = std::move(opening.port);
      if (m_ports[n - 1].IsOpen()) {
        WriteIdentify(m_link, m_ports[n - 1].handle());
        m_askedAny = true;
      } else if (opening.late) {
        m_reasons.push_back({Reason::Kind::kPortSlow, m_names[n - 1], {}});
      } else if (result.status == SerialOpenStatus::kNoDescriptors) {
        ++no_descriptors;
        limit = result.detail;
      } else if (std::optional<Reason> why = SkipReason(m_names[n - 1], result)) {
        m_reasons.push_back(std::move(*why));
      }
    }
    if (no_descriptors > 0) {
      m_reasons.push_back({Reason::Kind::kTooManyOpenFiles, std::to_string(no_descriptors), limit});
    }
  }

  // Takes one pending datagram off the socket and classifies it; the window stays open a little
  // longer after it.
  void TakeDatagram(const PendingDatagram& pending, std::span<std::uint8_t> buf, Deadline& deadline,
                    std::int64_t latest) {
    ReceiveDatagram(m_link, buf, nullptr);
    const std::uint8_t* reply = UnwrapReplyDatagram(buf.data(), pending.length, pending.from.port);
    if (reply) m_unanswered.erase(pending.from.address);
    // A reply from an address no device can have is forged: it is not taken, so that no service
    // frame ever goes to a whole network or to this computer.
    if (reply && Matches(reply, false) &&
        IsPossibleDeviceAddress(pending.from.address, m_impossible,
                                m_search.m_options.identifyAddresses)) {
      if (m_scanning) {
        See(reply, pending.from.address, false);
      } else if (Wanted* w = Find(reply)) {
        NoteUdpMatch(*w, reply, pending.from.address);
      }
    }
    // Every datagram keeps the window open a little longer: more answers may be on their way.
    deadline.ExtendToAtLeast(kWindowExtensionMs);
    if (deadline.at() > latest) {
      deadline.Limit(latest);
      m_windowCut = true;
    }
  }

  void CollectDatagrams(Deadline deadline) {
    std::array<std::uint8_t, kSearchBufferSize> buf;
    const std::int64_t latest = m_link.NowMs() + kMaxAnswerWindowMs;
    while (const std::optional<PendingDatagram> pending = WaitForDatagram(m_link, buf, deadline)) {
      TakeDatagram(*pending, buf, deadline, latest);
    }
    NoteWindowCut(deadline);
  }

  void NoteWindowCut(const Deadline& deadline) {
    if (m_windowCut && deadline.LeftMs() <= 0) {
      m_reasons.push_back({Reason::Kind::kNetworkKeptSending, {}, {}});
    }
  }

  // The first asked port, from `m_firstSilent` on, that has not yet queued a whole reply; none
  // when every one has. A port that has stays so: its bytes are read only after the window.
  SerialPort* NextSilentPort() {
    for (; m_firstSilent < m_ports.size(); ++m_firstSilent) {
      SerialPort& port = m_ports[m_firstSilent];
      if (port.IsOpen() && SerialQueued(m_link, port.handle()) < cmd::kReplySize) return &port;
    }
    return nullptr;
  }

  // The window when no broadcast went out: it ends at the deadline, or as soon as every asked
  // port and every named address has sent its complete reply.
  void CollectUntilAllAnswered(Deadline deadline) {
    std::array<std::uint8_t, kSearchBufferSize> buf;
    const std::int64_t latest = m_link.NowMs() + kMaxAnswerWindowMs;
    DatagramSocket* socket = m_link.socket();
    for (;;) {
      while (socket) {
        PendingDatagram pending;
        const std::optional<std::size_t> n = socket->ReceiveFrom(buf, true, &pending.from);
        if (!n) break;
        pending.length = *n;
        TakeDatagram(pending, buf, deadline, latest);
      }
      SerialPort* silent = NextSilentPort();
      if ((!silent && m_unanswered.empty() && m_askedAny) || WaitOver(m_link, deadline)) break;
      if (!silent && !socket) {  // nothing was asked at all: the window runs its course
        m_link.platform().SleepMs(NextWaitSliceMs(m_link, deadline));
        continue;
      }
      if (!silent) {
        socket->WaitReadable(NextWaitSliceMs(m_link, deadline));
        continue;
      }
      // A port and the socket at once: the socket is looked at every few milliseconds.
      int slice = NextWaitSliceMs(m_link, deadline);
      if (socket) slice = std::min(slice, kMixedWaitSliceMs);
      if (SerialQueued(m_link, silent->handle()) == 0) {
        m_link.platform().SerialWaitInput(silent->handle(), slice);
      } else {
        m_link.platform().SleepMs(1);  // a reply on its way
      }
    }
    NoteWindowCut(deadline);
  }

  // What the 136 bytes queued on a port are.
  enum class Taken {
    kNoMatch,          // stray bytes or a device not wanted: asked again
    kTaken,            // a wanted device's reply: the port is its
    kWantedElsewhere,  // a wanted device whose cable a lower port is already: not asked again
  };

  Taken TakeReply(SerialPort& port, const std::string& place) {
    CommandReply reply;
    if (ReadSerialReply(m_link, port.handle(), reply) != reply.size() ||
        !Matches(reply.data(), true)) {
      return Taken::kNoMatch;
    }
    if (m_scanning) {
      See(reply.data(), place, true);
      return Taken::kTaken;
    }
    Wanted* w = Find(reply.data());
    if (!w) return Taken::kNoMatch;
    if (w->serialMatched) return Taken::kWantedElsewhere;
    w->serialMatched = true;
    w->serialAt = place;
    w->serialReply = reply;
    w->serialPort = &port;
    ++m_serialMatches;
    return Taken::kTaken;
  }

  void CollectSerial() {
    for (std::size_t i = 0; i < m_ports.size(); ++i) {
      SerialPort& port = m_ports[i];
      if (!port.IsOpen()) continue;
      const std::string& place = m_names[i];
      // Every wanted number has its cable on a lower port: this one is not read.
      if (!m_scanning && !m_wanted.empty() && m_serialMatches == m_wanted.size()) {
        DrainAndClose(m_link, port);
        continue;
      }
      const std::size_t queued = SerialQueued(m_link, port.handle());
      if (queued == 0) {  // silent through the whole window: asked nothing more
        port.Close();
        continue;
      }
      Taken taken = Taken::kNoMatch;
      if (queued == cmd::kReplySize) taken = TakeReply(port, place);
      // Stray bytes or another device's answer: ask again, a few times.
      for (int attempt = 0; taken == Taken::kNoMatch && attempt < kFurtherIdentifyAttempts;
           ++attempt) {
        DrainSerialInput(m_link, port.handle(), kSearchBufferSize);
        WriteIdentify(m_link, port.handle());
        const Deadline deadline = m_link.After(kAnswerWindowMs);
        if (WaitForSerialBytes(m_link, port.handle(), cmd::kReplySize, deadline) ==
            cmd::kReplySize) {
          taken = TakeReply(port, place);
        }
      }
      // A scan keeps no port; a wanted device keeps its own; a port that never gave a wanted
      // device's reply is closed after the window (CloseOtherPorts).
      if ((m_scanning || taken == Taken::kWantedElsewhere) && port.IsOpen()) {
        DrainAndClose(m_link, port);
      }
    }
  }

  // While a port is waited for, the socket is looked at this often.
  static constexpr int kMixedWaitSliceMs = 5;

  DeviceSearch& m_search;
  const Link& m_link;
  bool m_scanning;
  std::vector<Wanted> m_wanted;
  std::map<std::uint16_t, std::size_t> m_index;  // number -> its entry of m_wanted
  std::size_t m_serialMatches = 0;
  std::array<SerialPort, kMaxSerialPorts> m_ports;
  std::vector<std::string> m_names;  // "COMn (path)" of each entry of m_ports
  std::size_t m_firstSilent = 0;
  bool m_askedAny = false;  // a port or a named address was sent the identify request
  // Addresses that cannot be a device's (see IsPossibleDeviceAddress).
  std::vector<std::string> m_impossible;
  // Named addresses that have not yet sent a complete reply.
  std::set<std::string> m_unanswered;
  bool m_windowCut = false;
  std::vector<Reason> m_reasons;
  std::vector<ScanEntry> m_seen;
};

LinkEndpoint FoundDevice::endpoint() const {
  LinkEndpoint endpoint;
  ResetEndpoint(endpoint);
  if (port) endpoint.serialPort = port.get();
  if (!address.empty()) SetPeerAddress(endpoint, address.c_str());
  return endpoint;
}

DeviceSearch::DeviceSearch(SearchOptions options, SearchObserver* observer)
    : m_observer(observer), m_options(std::move(options)) {}

std::vector<std::string> DeviceSearch::SendIdentifyBroadcasts(const Link& link) {
  if (!link.socket()) return {};
  std::vector<std::string> targets = m_options.identifyAddresses;
  if (targets.empty() && m_options.broadcastTargets) targets = m_options.broadcastTargets();
  for (const auto& address : targets) {
    SendDatagram(link, kIdentifyRequest, address, kDevicePort);
  }
  return targets;
}

void DeviceSearch::Fail(Outcome outcome, std::vector<Reason> reasons) {
  m_failure.outcome = outcome;
  m_failure.reasons = std::move(reasons);
}

void DeviceSearch::Reached(SearchStage stage) {
  if (m_observer) m_observer->StageReached(stage);
}

Reason FoundDevice::StoppedAnswering() const {
  return {Reason::Kind::kStoppedAnswering, where, {}};
}

std::vector<ScanEntry> DeviceSearch::Scan(const Link& link) {
  Window window(*this, link, {}, true);
  window.Run();
  window.CloseOtherPorts();
  std::vector<ScanEntry> seen = std::move(window.seen());
  std::stable_sort(seen.begin(), seen.end(), [](const ScanEntry& a, const ScanEntry& b) {
    return a.serialNumber < b.serialNumber;
  });
  for (ScanEntry& e : seen) {
    e.conflict = std::count_if(seen.begin(), seen.end(), [&e](const ScanEntry& other) {
                   return other.serialNumber == e.serialNumber;
                 }) > 1;
  }
  return seen;
}

std::vector<SearchResult> DeviceSearch::JudgeDevices(const Link& link,
                                                     const std::vector<std::int32_t>& numbers) {
  Window window(*this, link, numbers);
  window.Run();
  std::vector<SearchResult> judged;
  judged.reserve(numbers.size());
  for (const std::int32_t number : numbers) judged.push_back(window.Decide(number));
  window.CloseOtherPorts();
  return judged;
}

SearchResult DeviceSearch::PrepareDevice(const Link& link, FoundDevice device) {
  m_failure = {};
  m_foundAt = device.where;
  m_statusReply.reset();
  LinkEndpoint working = device.endpoint();
  SearchResult result;
  ServiceModeRecord::Entry entry;
  if (!PrepareFoundDevice(link, working, &entry)) {
    entry.Forget();  // command 4 has gone out where it had to
    m_failure.foundAt = device.where;
    result.failure = std::move(m_failure);
    return result;  // the device goes: its port is drained and closed
  }
  // From here on it is forgotten as in service mode, before its port closes, however it goes.
  device.inServiceMode = std::move(entry);
  device.statusReply = *m_statusReply;
  result.device.emplace(std::move(device));
  return result;
}

SearchResult DeviceSearch::FindDevice(const Link& link, std::int32_t serialNumber) {
  // A number above 65535 is not cut to its low 16 bits: that would name another device.
  SearchResult judged = std::move(JudgeDevices(link, {serialNumber}).front());
  if (!judged) return judged;
  return PrepareDevice(link, std::move(*judged.device));
}

}  // namespace quillon
