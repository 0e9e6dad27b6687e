// Finding the device by its serial number on every serial port and every local IPv4 network
// within one shared answer window.

#include <algorithm>
#include <cstring>

#include "link/io.h"
#include "link/trace.h"
#include "reconfig/reconfig_session.h"

namespace quillon {
namespace {

constexpr std::size_t kSearchBuffer = 1476;
constexpr int kAnswerWindowMs = 1000;
constexpr int kExtensionMs = 500;
constexpr int kFurtherIdentifyAttempts = 3;

void DrainAndClose(SerialHandle& port) {
  DrainSerialInput(port, kSearchBuffer);
  CurrentPlatform().SerialClose(port);
  port = kInvalidSerialHandle;
}

void Close(SerialHandle& port) {
  CurrentPlatform().SerialClose(port);
  port = kInvalidSerialHandle;
}

// Reads the 136 bytes that are queued; false when fewer could be read.
bool ReadReply(SerialHandle port, std::uint8_t* reply) {
  const long got = LinkSerialRead(port, reply, static_cast<long>(cmd::kReplySize));
  CurrentPlatform().SerialQueued(port);  // the port's error state is cleared
  return got == static_cast<long>(cmd::kReplySize);
}

void WriteIdentify(SerialHandle port) {
  LinkSerialWrite(port, kIdentifyRequest.data(), static_cast<long>(kIdentifyRequest.size()));
}

}  // namespace

bool ReconfigSession::Matches(const std::uint8_t* reply, bool from_serial) const {
  if (!IsValidReply(reply, kIdentifyRequest)) return false;
  if (wanted_ < 0 || ReplySerialNumber(reply) != wanted_) return false;
  return !from_serial || ReplyPresenceWord(reply) != 0;
}

void ReconfigSession::Classify(const std::uint8_t* reply, LinkEndpoint& working) const {
  if (ReplyUseCount(reply) > 0 && ReplyUseOverride(reply) == 0) {
    working.searchVerdict = kVerdictInUse;
  } else if (ReplyApplicabilityA(reply) > 1 || ReplyApplicabilityB(reply) > 1) {
    working.searchVerdict = kVerdictNotApplicable;
  } else {
    working.searchVerdict = kVerdictUsable;
  }
}

void ReconfigSession::SendIdentifyBroadcasts() {
  if (!m_socket) return;
  std::vector<std::string> targets = options_.identifyAddresses;
  if (targets.empty() && options_.broadcastTargets) targets = options_.broadcastTargets();
  for (const auto& address : targets) {
    LinkSendTo(m_socket.get(), kIdentifyRequest.data(), static_cast<long>(kIdentifyRequest.size()),
               address.c_str(), kDevicePort);
  }
}

void ReconfigSession::CollectDatagrams(std::int64_t deadline, LinkEndpoint& working,
                                       bool& matched) {
  std::uint8_t buf[kSearchBuffer];
  DatagramSocket* socket = m_socket.get();
  for (std::int64_t now = NowMs(); now < deadline; now = NowMs()) {
    DatagramSender from;
    const long length = socket->ReceiveFrom(buf, sizeof buf, true, &from);
    if (length < 0) {
      socket->WaitReadable(static_cast<int>(std::min<std::int64_t>(deadline - now, 1000)));
      continue;
    }
    LinkReceive(socket, buf, sizeof buf, false, &from);
    const std::uint8_t* reply = UnwrapReplyDatagram(buf, length, from.port);
    if (reply && Matches(reply, false)) {
      matched = true;
      Classify(reply, working);
      if (working.searchVerdict == kVerdictUsable) {
        SetPeerAddress(working, from.address.c_str());
        m_record.FillFromIdentifyReply(reply);
      }
    }
    // Every datagram keeps the window open a little longer: more answers may be on their way.
    now = NowMs();
    if (deadline - now < kExtensionMs) deadline = now + kExtensionMs;
  }
}

void ReconfigSession::CollectSerial(SerialHandle (&ports)[kMaxSerialPorts], LinkEndpoint& working,
                                    bool& matched) {
  std::uint8_t reply[cmd::kReplySize];
  Platform& platform = CurrentPlatform();
  for (SerialHandle& port : ports) {
    if (port == kInvalidSerialHandle) continue;
    if (matched) {
      DrainAndClose(port);
      continue;
    }
    const long queued = platform.SerialQueued(port);
    if (queued == 0) {  // silent through the whole window: asked nothing more
      Close(port);
      continue;
    }
    auto take = [&]() {
      if (!ReadReply(port, reply) || !Matches(reply, true)) return false;
      matched = true;
      Classify(reply, working);
      if (working.searchVerdict == kVerdictUsable) {
        working.serialPort = port;
        m_record.FillFromIdentifyReply(reply);
      }
      return true;
    };
    if (queued == static_cast<long>(cmd::kReplySize) && take()) continue;
    // Stray bytes or another device's answer: ask again, a few times.
    DrainSerialInput(port, kSearchBuffer);
    for (int attempt = 0; attempt < kFurtherIdentifyAttempts; ++attempt) {
      WriteIdentify(port);
      const std::int64_t deadline = NowMs() + kAnswerWindowMs;
      if (WaitForSerialBytes(port, cmd::kReplySize, deadline) ==
          static_cast<long>(cmd::kReplySize)) {
        if (take()) break;
      } else {
        DrainSerialInput(port, kSearchBuffer);
      }
    }
  }
}

bool ReconfigSession::FindDevice(std::int32_t serialNumber) {
  wanted_ = serialNumber >= 0 && serialNumber <= 0xFFFF ? serialNumber : -1;
  LinkEndpoint working;
  ResetEndpoint(working);
  m_endpoint = working;

  SerialHandle ports[kMaxSerialPorts];
  std::fill(std::begin(ports), std::end(ports), kInvalidSerialHandle);
  if (options_.useSerial) {
    for (int n = 1; n <= kMaxSerialPorts; ++n) {
      ports[n - 1] = OpenSerialPort(n);
      if (ports[n - 1] != kInvalidSerialHandle) WriteIdentify(ports[n - 1]);
    }
  }

  // One window for every transport: all devices answer at once.
  const std::int64_t deadline = NowMs() + kAnswerWindowMs;
  bool matched = false;
  if (m_socket) {
    SendIdentifyBroadcasts();
    CollectDatagrams(deadline, working, matched);
  } else {
    for (std::int64_t now = NowMs(); now < deadline; now = NowMs()) {
      CurrentPlatform().SleepMs(static_cast<int>(deadline - now));
    }
  }
  CollectSerial(ports, working, matched);

  bool ready = false;
  if (!matched) {
    sink_.ShowMessage(kTextNotDetected, kStyleInformation);
  } else if (working.searchVerdict == kVerdictNotApplicable) {
    sink_.ShowMessage(kTextNotApplicable, kStyleError);
  } else if (working.searchVerdict == kVerdictInUse) {
    sink_.ShowMessage(kTextInUse, kStyleError);
  } else {
    ready = PrepareFoundDevice(working);
  }
  if (ready) m_endpoint = working;

  // Every port but the device's is closed; on failure the device's too.
  for (SerialHandle& port : ports) {
    if (port != kInvalidSerialHandle && port != m_endpoint.serialPort) DrainAndClose(port);
  }
  return IsEndpointPresent(m_endpoint);
}

}  // namespace quillon
