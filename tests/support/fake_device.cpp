#include "support/fake_device.h"

#include <algorithm>

#include "link/wire.h"

namespace quillon::testing {

Bytes FakeDevice::Answer(const Bytes& request, bool udp) {
  auto wrap = [udp](const CommandReply& r) {
    return udp ? AsDatagram(r) : Bytes(r.begin(), r.end());
  };
  if (request.size() == cmd::kRequestSize && request[0] == 0xA5 && request[1] == 0x5A) {
    CommandPacket p;
    std::copy(request.begin(), request.end(), p.begin());
    const bool mode = p == MakeModeSwitchRequest();
    received.push_back(p == kIdentifyRequest ? "identify"
                       : p == kStatusRequest ? "status"
                       : mode                ? "mode"
                                             : "unknown");
    if (m_config.silent || (serviceMode && !mode)) return {};
    if (p == kIdentifyRequest) {
      Bytes out = m_config.stray;
      if (m_config.strayOnce) m_config.stray.clear();
      const Bytes reply = wrap(MakeIdentifyReply(m_config.identify));
      out.insert(out.end(), reply.begin(), reply.end());
      return out;
    }
    if (p == kStatusRequest) {
      CommandReply r = MakeStatusReply();
      if (m_config.badStatus) r[128] ^= 1;
      return wrap(r);
    }
    if (mode) {
      if (serviceMode) return {};
      if (!m_config.answerModeSwitch) {
        serviceMode = true;
        return {};
      }
      if (udp) return wrap(MakeReply(p));
      // A single byte is line noise of a device that did switch.
      if (m_config.modeSwitchAnswerBytes <= 1) serviceMode = true;
      return Bytes(m_config.modeSwitchAnswerBytes, 0x00);
    }
    return {};
  }
  if (request.size() == svc::kFrameSize) {
    const std::uint8_t command = request[1];
    received.push_back("svc" + std::to_string(command));
    if (m_config.silent || !serviceMode) return {};
    ServiceFrame f;
    std::copy(request.begin(), request.end(), f.begin());
    if (command == svc::kReadInfo) {
      if (m_config.serviceError >= 0) {
        f = ErrorFrame(static_cast<std::uint8_t>(m_config.serviceError));
      } else {
        PutU16(f.data(), 2, m_config.serviceVersion);
      }
    } else if (command == svc::kWriteRecord) {
      lastRecord.assign(f.begin() + 2, f.begin() + 2 + 2 + GetU16(f.data(), 2));
      if (!m_config.echoRecord) f[10] ^= 0xFF;
    } else if (command == svc::kFinish) {
      serviceMode = false;
    }
    Seal(f);
    return udp ? AsServiceDatagram(f) : Bytes(f.begin(), f.end());
  }
  received.push_back("unknown");
  return {};
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
