// Finding the device by its serial number on every serial port and every local IPv4 network
// within one shared answer window.

#include "search/device_search.h"

#include <algorithm>
#include <array>

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
// address, then the answers of all of them within one shared deadline.
class DeviceSearch::Window {
 public:
  // Scan: every valid identify reply is kept, whatever its serial number.
  static constexpr std::int32_t kEveryDevice = -2;

  Window(DeviceSearch& search, const Link& link, std::int32_t wanted)
      : m_search(search), m_link(link), m_wanted(wanted) {
    ResetEndpoint(m_working);
  }

  void Run() {
    OpenAndAsk();
    // One window for every transport: all devices answer at once.
    const Deadline deadline = m_link.After(kAnswerWindowMs);
    if (m_link.socket()) {
      m_impossible = m_search.m_options.impossibleSources ? m_search.m_options.impossibleSources()
                                                          : std::vector<std::string>{};
      const std::vector<std::string> sent_to = m_search.SendIdentifyBroadcasts(m_link);
      if (m_search.m_options.identifyAddresses.empty()) {
        // The local broadcast addresses: a reply never comes from one of them.
        m_impossible.insert(m_impossible.end(), sent_to.begin(), sent_to.end());
      }
      if (sent_to.empty()) {
        m_reasons.push_back({Reason::Kind::kNoNetworkSearched, {}, {}});
      }
      CollectDatagrams(deadline);
    } else {
      if (!m_search.m_options.socketFailure.empty()) {
        m_reasons.push_back({Reason::Kind::kNoSocket, {}, m_search.m_options.socketFailure});
      }
      while (!WaitOver(m_link, deadline))
        m_link.platform().SleepMs(NextWaitSliceMs(m_link, deadline));
    }
    CollectSerial();
  }

  // After Run: where the device is reached. The cable decides: a match on a serial port (the
  // lowest-numbered one) wins over every reply from the network, which then gets nothing beyond
  // the identify request. Without one, the network's reply decides, unless two addresses
  // answered with the wanted number: then nothing is chosen (twoAddresses()).
  void Decide() {
    if (m_serialMatched) {
      m_matchedAt = m_serialAt;
      m_alsoAt = m_udpPlaces;
      return;
    }
    if (m_udpPlaces.empty()) return;
    m_matchedAt = m_udpPlaces.front();
    if (m_udpPlaces.size() > 1) return;
    m_working.searchVerdict = Classify(m_udpReply.data());
    if (m_working.searchVerdict == Verdict::kUsable) {
      SetPeerAddress(m_working, m_matchedAt.c_str());
      m_search.m_identifyReply = m_udpReply;
    }
  }

  bool matched() const { return m_serialMatched || !m_udpPlaces.empty(); }
  bool twoAddresses() const { return !m_serialMatched && m_udpPlaces.size() > 1; }
  LinkEndpoint& working() { return m_working; }
  const std::string& matchedAt() const { return m_matchedAt; }
  // The addresses that answered with the wanted number, in the order they first did.
  const std::vector<std::string>& udpPlaces() const { return m_udpPlaces; }
  // Where else the wanted number answered when the cable decided.
  const std::vector<std::string>& alsoAt() const { return m_alsoAt; }
  // What may explain that nothing was found.
  const std::vector<Reason>& reasons() const { return m_reasons; }
  // Every device seen in a scan, in the order they answered.
  std::vector<ScanEntry>& seen() { return m_seen; }

  // Every port but the device's is drained and closed; the device's passes to the caller.
  SerialPort TakeDevicePort(bool keep) {
    SerialPort kept;
    for (SerialPort& port : m_ports) {
      if (!port.IsOpen()) continue;
      if (keep && port.handle() == m_working.serialPort) {
        kept = std::move(port);
      } else {
        DrainAndClose(m_link, port);
      }
    }
    return kept;
  }

 private:
  bool Scanning() const { return m_wanted == kEveryDevice; }

  bool Matches(const std::uint8_t* reply, bool from_serial) const {
    if (!IsValidReply(reply, kIdentifyRequest)) return false;
    if (!Scanning() && (m_wanted < 0 || ReplySerialNumber(reply) != m_wanted)) return false;
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

  // A matching reply from the network. One address answering twice (a broadcast that left on
  // two interfaces) is one device whose later reply decides; another address is noted, since
  // two addresses with one number are two devices.
  void NoteUdpMatch(const std::uint8_t* reply, const std::string& address) {
    if (std::find(m_udpPlaces.begin(), m_udpPlaces.end(), address) == m_udpPlaces.end()) {
      m_udpPlaces.push_back(address);
    }
    if (address == m_udpPlaces.front()) {
      std::copy_n(reply, m_udpReply.size(), m_udpReply.begin());
    }
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

  void CollectDatagrams(Deadline deadline) {
    std::array<std::uint8_t, kSearchBufferSize> buf;
    const std::int64_t latest = m_link.NowMs() + kMaxAnswerWindowMs;
    while (const std::optional<PendingDatagram> pending = WaitForDatagram(m_link, buf, deadline)) {
      ReceiveDatagram(m_link, buf, nullptr);
      const std::uint8_t* reply =
          UnwrapReplyDatagram(buf.data(), pending->length, pending->from.port);
      // A reply from an address no device can have is forged: it is not taken, so that no
      // service frame ever goes to a whole network or to this computer.
      if (reply && Matches(reply, false) &&
          IsPossibleDeviceAddress(pending->from.address, m_impossible,
                                  m_search.m_options.identifyAddresses)) {
        if (Scanning()) {
          See(reply, pending->from.address, false);
        } else {
          NoteUdpMatch(reply, pending->from.address);
        }
      }
      // Every datagram keeps the window open a little longer: more answers may be on their way.
      deadline.ExtendToAtLeast(kWindowExtensionMs);
      if (deadline.at() > latest) {
        deadline.Limit(latest);
        m_windowCut = true;
      }
    }
    if (m_windowCut && deadline.LeftMs() <= 0) {
      m_reasons.push_back({Reason::Kind::kNetworkKeptSending, {}, {}});
    }
  }

  // Reads the 136 queued bytes; true when they are a matching identify reply, which is then
  // judged (unless another place answered first).
  bool TakeReply(SerialPort& port, const std::string& place) {
    CommandReply reply;
    if (ReadSerialReply(m_link, port.handle(), reply) != reply.size() ||
        !Matches(reply.data(), true)) {
      return false;
    }
    if (Scanning()) {
      See(reply.data(), place, true);
      return true;
    }
    m_serialMatched = true;
    m_serialAt = place;
    m_working.searchVerdict = Classify(reply.data());
    if (m_working.searchVerdict == Verdict::kUsable) {
      m_working.serialPort = port.handle();
      m_search.m_identifyReply = reply;
    }
    return true;
  }

  void CollectSerial() {
    for (std::size_t i = 0; i < m_ports.size(); ++i) {
      SerialPort& port = m_ports[i];
      if (!port.IsOpen()) continue;
      const std::string& place = m_names[i];
      if (m_serialMatched) {  // a lower port has the device: this one is not read
        DrainAndClose(m_link, port);
        continue;
      }
      const std::size_t queued = SerialQueued(m_link, port.handle());
      if (queued == 0) {  // silent through the whole window: asked nothing more
        port.Close();
        continue;
      }
      if (queued == cmd::kReplySize && TakeReply(port, place)) {
        if (Scanning()) port.Close();  // a scan keeps no port
        continue;
      }
      // Stray bytes or another device's answer: ask again, a few times.
      DrainSerialInput(m_link, port.handle(), kSearchBufferSize);
      for (int attempt = 0; attempt < kFurtherIdentifyAttempts; ++attempt) {
        WriteIdentify(m_link, port.handle());
        const Deadline deadline = m_link.After(kAnswerWindowMs);
        if (WaitForSerialBytes(m_link, port.handle(), cmd::kReplySize, deadline) ==
            cmd::kReplySize) {
          if (TakeReply(port, place)) break;
        } else {
          DrainSerialInput(m_link, port.handle(), kSearchBufferSize);
        }
      }
      if (Scanning() && port.IsOpen()) DrainAndClose(m_link, port);
    }
  }

  DeviceSearch& m_search;
  const Link& m_link;
  // The wanted serial number; -1 when the typed number cannot be a device's.
  std::int32_t m_wanted;
  std::array<SerialPort, kMaxSerialPorts> m_ports;
  std::vector<std::string> m_names;  // "COMn (path)" of each entry of m_ports
  LinkEndpoint m_working;
  // Addresses that cannot be a device's (see IsPossibleDeviceAddress).
  std::vector<std::string> m_impossible;
  bool m_serialMatched = false;
  std::string m_serialAt;
  std::vector<std::string> m_udpPlaces;
  CommandReply m_udpReply{};
  std::string m_matchedAt;
  std::vector<std::string> m_alsoAt;
  bool m_windowCut = false;
  std::vector<Reason> m_reasons;
  std::vector<ScanEntry> m_seen;
};

LinkEndpoint FoundDevice::endpoint() const {
  LinkEndpoint endpoint;
  ResetEndpoint(endpoint);
  endpoint.serialPort = port.handle();
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
  Window window(*this, link, Window::kEveryDevice);
  window.Run();
  window.TakeDevicePort(false);
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

SearchResult DeviceSearch::FindDevice(const Link& link, std::int32_t serialNumber) {
  m_failure = {};
  m_identifyReply.reset();
  m_statusReply.reset();
  // A number above 65535 is not cut to its low 16 bits: that would name another device.
  Window window(*this, link, serialNumber >= 0 && serialNumber <= 0xFFFF ? serialNumber : -1);
  window.Run();

  window.Decide();
  LinkEndpoint& working = window.working();
  m_foundAt = window.matchedAt();
  bool ready = false;
  if (InterruptRequested()) {
    Fail(Outcome::kInterrupted);
  } else if (!window.matched()) {
    Fail(Outcome::kNotDetected, window.reasons());
  } else if (window.twoAddresses()) {
    // Nothing is sent to any: the record of one device must not go to another.
    const std::vector<std::string>& places = window.udpPlaces();
    m_failure.twoAddresses = {places[0], places[1]};
    Fail(Outcome::kTwoDevices);
  } else if (working.searchVerdict == Verdict::kNotApplicable) {
    Fail(Outcome::kNotApplicable);
  } else if (working.searchVerdict == Verdict::kInUse) {
    Fail(Outcome::kInUse);
  } else {
    ready = PrepareFoundDevice(link, working);
  }
  if (!ready) NoteServiceModeLeft(working);  // command 4 has gone out where it had to

  // Every port but the device's is drained and closed; on failure the device's too.
  SerialPort port = window.TakeDevicePort(ready && HasSerialPort(working));
  SearchResult result;
  if (!ready) {
    result.failure = std::move(m_failure);
    return result;
  }
  FoundDevice& device = result.device.emplace();
  device.port = std::move(port);
  if (!device.port.IsOpen()) device.address = working.peerAddress;
  device.note = ServiceModeNote(device.endpoint());
  device.where = m_foundAt;
  device.alsoAt = window.alsoAt();
  device.identifyReply = *m_identifyReply;
  device.statusReply = *m_statusReply;
  return result;
}

}  // namespace quillon
