#include "support/fake_device.h"

#include <algorithm>

#include "link/wire.h"

namespace quillon::testing {

FakeDevice::FakeDevice(FakeDeviceConfig config)
    : m_config(std::move(config)), m_device(m_profile, m_faults, m_config.identify.serial) {}

void FakeDevice::TakeConfig() {
  m_profile = DeviceProfile(m_config.identify);
  m_profile.serviceVersion = m_config.serviceVersion;
  m_faults.badChecksum[static_cast<int>(sim::Kind::kStatus)] = m_config.badStatus;
  m_faults.answerModeSwitch = m_config.answerModeSwitch;
  m_faults.noRecordEcho = !m_config.echoRecord;
  m_faults.errorReply.clear();
  if (m_config.serviceError >= 0) {
    m_faults.errorReply[svc::kReadInfo] = static_cast<std::uint8_t>(m_config.serviceError);
  }
}

Bytes FakeDevice::Answer(const Bytes& request, bool udp) {
  const sim::Kind kind = sim::ClassifyRequest(request.data(), request.size());
  if (kind == sim::Kind::kUnknown && request.size() == svc::kFrameSize) {
    received.push_back("svc" + std::to_string(request[svc::kCommandOffset]));
  } else {
    received.push_back(sim::KindName(kind));
  }
  if (m_config.silent) return {};
  TakeConfig();
  m_device.SetServiceMode(serviceMode);
  Bytes out = request.size() == cmd::kRequestSize ? AnswerCommand(kind, request, udp)
              : request.size() == svc::kFrameSize ? AnswerService(request, udp)
                                                  : Bytes{};
  serviceMode = m_device.InServiceMode();
  return out;
}

Bytes FakeDevice::AnswerCommand(sim::Kind kind, const Bytes& request, bool udp) {
  if (kind == sim::Kind::kMode && m_config.answerModeSwitch && !serviceMode && !udp) {
    // Over a serial line an answered mode switch leaves some bytes queued; a single byte is line
    // noise of a device that did switch.
    if (m_config.modeSwitchAnswerBytes <= 1) m_device.SetServiceMode(true);
    return Bytes(m_config.modeSwitchAnswerBytes, 0x00);
  }
  CommandPacket packet;
  std::copy(request.begin(), request.end(), packet.begin());
  const std::optional<CommandReply> reply = m_device.OnCommandPacket(packet);
  if (!reply) return {};
  Bytes out;
  if (kind == sim::Kind::kIdentify) {
    out = m_config.stray;
    if (m_config.strayOnce) m_config.stray.clear();
  }
  const Bytes wire = udp ? AsDatagram(*reply) : Bytes(reply->begin(), reply->end());
  out.insert(out.end(), wire.begin(), wire.end());
  return out;
}

Bytes FakeDevice::AnswerService(const Bytes& request, bool udp) {
  ServiceFrame frame;
  std::copy(request.begin(), request.end(), frame.begin());
  const int written = m_device.RecordsWritten();
  const std::optional<ServiceFrame> reply = m_device.OnServiceFrame(frame);
  if (m_device.RecordsWritten() != written) lastRecord = m_device.LastRecord();
  if (!reply) return {};
  return udp ? AsServiceDatagram(*reply) : Bytes(reply->begin(), reply->end());
}

void FakeDevice::AttachSerial(FakePort& port) {
  port.onWrite = [this](FakePort& p, const Bytes& request, std::int64_t now) {
    const Bytes answer = Answer(request, false);
    if (!answer.empty()) p.Arrive(now + m_config.delayMs, answer);
  };
}

void FakeDevice::AttachUdp(FakeSocket& socket, std::string address, std::uint16_t port) {
  auto previous = socket.onSend;
  socket.onSend = [this, previous, address, port](FakeSocket& s, const SentDatagram& d) {
    if (previous) previous(s, d);
    // Broadcasts reach every device; other datagrams only the addressed one.
    const bool broadcast = d.address.size() > 4 && d.address.rfind(".255") == d.address.size() - 4;
    if (!broadcast && d.address != address) return;
    const Bytes answer = Answer(d.bytes, true);
    if (!answer.empty()) s.Arrive(d.at + m_config.delayMs, address, port, answer);
  };
}

int Count(const std::vector<std::string>& kinds, const std::string& kind) {
  return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind));
}

}  // namespace quillon::testing
