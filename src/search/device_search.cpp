// Finding the device by its serial number on every serial port and every local IPv4 network
// within one shared answer window.

#include "search/device_search.h"

#include <algorithm>
#include <array>

#include "link/command_packet.h"
#include "link/serial_port.h"
#include "link/trace.h"

namespace quillon {
namespace {

void WriteIdentify(SerialHandle port) {
  SerialWrite(port, kIdentifyRequest);
}

void DrainAndClose(SerialPort& port) {
  DrainSerialInput(port.handle(), kSearchBufferSize);
  port.Close();
}

std::int32_t Classify(const std::uint8_t* reply) {
  if (ReplyUseCount(reply) > 0 && ReplyUseOverride(reply) == 0) return kVerdictInUse;
  if (ReplyApplicabilityA(reply) > 1 || ReplyApplicabilityB(reply) > 1) {
    return kVerdictNotApplicable;
  }
  return kVerdictUsable;
}

}  // namespace

// One search window: the identify request to every port that opens and to every broadcast
// address, then the answers of all of them within one shared deadline.
class DeviceSearch::Window {
 public:
  Window(DeviceSearch& search, std::int32_t wanted) : m_search(search), m_wanted(wanted) {
    ResetEndpoint(m_working);
  }

  void Run() {
    OpenAndAsk();
    // One window for every transport: all devices answer at once.
    const Deadline deadline = Deadline::After(kAnswerWindowMs);
    if (m_search.m_socket) {
      m_search.SendIdentifyBroadcasts();
      CollectDatagrams(deadline);
    } else {
      while (!deadline.Passed()) CurrentPlatform().SleepMs(deadline.SliceMs());
    }
    CollectSerial();
  }

  bool matched() const { return m_matched; }
  LinkEndpoint& working() { return m_working; }

  // Every port but the device's is drained and closed; the device's passes to the caller.
  SerialHandle ReleaseDevicePort(bool keep) {
    SerialHandle kept = kInvalidSerialHandle;
    for (SerialPort& port : m_ports) {
      if (!port.IsOpen()) continue;
      if (keep && port.handle() == m_working.serialPort) {
        kept = port.Release();
      } else {
        DrainAndClose(port);
      }
    }
    return kept;
  }

 private:
  bool Matches(const std::uint8_t* reply, bool from_serial) const {
    if (!IsValidReply(reply, kIdentifyRequest)) return false;
    if (m_wanted < 0 || ReplySerialNumber(reply) != m_wanted) return false;
    return !from_serial || ReplyPresenceWord(reply) != 0;
  }

  void OpenAndAsk() {
    if (!m_search.m_options.useSerial) return;
    Platform& platform = CurrentPlatform();
    platform.RescanSerialPorts();
    for (int n = 1; n <= kMaxSerialPorts; ++n) {
      m_ports[n - 1] = SerialPort::Open(n);
      if (m_ports[n - 1].IsOpen()) WriteIdentify(m_ports[n - 1].handle());
    }
  }

  void CollectDatagrams(Deadline deadline) {
    std::array<std::uint8_t, kSearchBufferSize> buf;
    DatagramSocket* socket = m_search.m_socket.get();
    while (const std::optional<PendingDatagram> pending = WaitForDatagram(socket, buf, deadline)) {
      ReceiveDatagram(socket, buf, nullptr);
      const std::uint8_t* reply =
          UnwrapReplyDatagram(buf.data(), pending->length, pending->from.port);
      if (reply && Matches(reply, false)) {
        m_matched = true;
        m_working.searchVerdict = Classify(reply);
        if (m_working.searchVerdict == kVerdictUsable) {
          SetPeerAddress(m_working, pending->from.address.c_str());
          m_search.m_record.FillFromIdentifyReply(reply);
        }
      }
      // Every datagram keeps the window open a little longer: more answers may be on their way.
      deadline.ExtendToAtLeast(kWindowExtensionMs);
    }
  }

  // Reads the 136 queued bytes; true when they are a matching identify reply, which is then
  // judged.
  bool TakeReply(SerialPort& port) {
    std::array<std::uint8_t, cmd::kReplySize> reply;
    if (ReadSerialReply(port.handle(), reply) != reply.size() || !Matches(reply.data(), true)) {
      return false;
    }
    m_matched = true;
    m_working.searchVerdict = Classify(reply.data());
    if (m_working.searchVerdict == kVerdictUsable) {
      m_working.serialPort = port.handle();
      m_search.m_record.FillFromIdentifyReply(reply.data());
    }
    return true;
  }

  void CollectSerial() {
    for (SerialPort& port : m_ports) {
      if (!port.IsOpen()) continue;
      if (m_matched) {
        DrainAndClose(port);
        continue;
      }
      const std::size_t queued = SerialQueued(port.handle());
      if (queued == 0) {  // silent through the whole window: asked nothing more
        port.Close();
        continue;
      }
      if (queued == cmd::kReplySize && TakeReply(port)) continue;
      // Stray bytes or another device's answer: ask again, a few times.
      DrainSerialInput(port.handle(), kSearchBufferSize);
      for (int attempt = 0; attempt < kFurtherIdentifyAttempts; ++attempt) {
        WriteIdentify(port.handle());
        const Deadline deadline = Deadline::After(kAnswerWindowMs);
        if (WaitForSerialBytes(port.handle(), cmd::kReplySize, deadline) == cmd::kReplySize) {
          if (TakeReply(port)) break;
        } else {
          DrainSerialInput(port.handle(), kSearchBufferSize);
        }
      }
    }
  }

  DeviceSearch& m_search;
  // The wanted serial number; -1 when the typed number cannot be a device's.
  std::int32_t m_wanted;
  std::array<SerialPort, kMaxSerialPorts> m_ports;
  LinkEndpoint m_working;
  bool m_matched = false;
};

DeviceSearch::DeviceSearch(MessageSink& sink, PowerModuleRecord& record,
                           std::unique_ptr<DatagramSocket>& socket, LinkEndpoint& endpoint,
                           SearchOptions options)
    : m_record(record),
      m_socket(socket),
      m_endpoint(endpoint),
      m_sink(sink),
      m_options(std::move(options)) {}

void DeviceSearch::SendIdentifyBroadcasts() {
  if (!m_socket) return;
  std::vector<std::string> targets = m_options.identifyAddresses;
  if (targets.empty() && m_options.broadcastTargets) targets = m_options.broadcastTargets();
  for (const auto& address : targets) {
    SendDatagram(m_socket.get(), kIdentifyRequest, address, kDevicePort);
  }
}

bool DeviceSearch::FindDevice(std::int32_t serialNumber) {
  // A number above 65535 is not cut to its low 16 bits: that would name another device.
  Window window(*this, serialNumber >= 0 && serialNumber <= 0xFFFF ? serialNumber : -1);
  ResetEndpoint(m_endpoint);
  window.Run();

  LinkEndpoint& working = window.working();
  bool ready = false;
  if (!window.matched()) {
    m_sink.ShowMessage(kTextNotDetected, kStyleInformation);
  } else if (working.searchVerdict == kVerdictNotApplicable) {
    m_sink.ShowMessage(kTextNotApplicable, kStyleError);
  } else if (working.searchVerdict == kVerdictInUse) {
    m_sink.ShowMessage(kTextInUse, kStyleError);
  } else {
    ready = PrepareFoundDevice(working);
  }
  if (ready) m_endpoint = working;

  // Every port but the device's is drained and closed; on failure the device's too.
  m_endpoint.serialPort = window.ReleaseDevicePort(ready && HasSerialPort(working));
  return IsEndpointPresent(m_endpoint);
}

}  // namespace quillon
