#include "support/frames.h"

#include <algorithm>
#include <cctype>

#include "link/wire.h"

namespace quillon::testing {

CommandReply MakeReply(const CommandPacket& request) {
  CommandReply r{};
  PutU16(r.data(), cmd::kStartOffset, cmd::kStartMarker);
  PutU16(r.data(), cmd::kEndOffset, cmd::kEndMarker);
  std::copy(request.begin() + 2, request.begin() + 10, r.begin() + cmd::kEchoOffset);
  SealReply(r.data());
  return r;
}

CommandReply MakeIdentifyReply(const IdentifyFields& f) {
  CommandReply r = MakeReply(kIdentifyRequest);
  PutU16(r.data(), cmd::kPresenceWordOffset, f.presence);
  PutU16(r.data(), cmd::kApplicabilityAOffset, f.applicabilityA);
  PutU16(r.data(), cmd::kSerialNumberOffset, f.serial);
  PutU16(r.data(), cmd::kUseOverrideOffset, f.useOverride);
  PutU16(r.data(), cmd::kUseCountOffset, static_cast<std::uint16_t>(f.useCount));
  std::copy(std::begin(f.moduleBlock), std::end(f.moduleBlock),
            r.begin() + cmd::kModuleBlockOffset);
  SealReply(r.data());
  return r;
}

CommandReply MakeStatusReply() {
  CommandReply r = MakeReply(kStatusRequest);
  r[58] = 0x10;
  r[59] = 0x27;
  r[62] = 0xD0;
  r[63] = 0x07;
  r[64] = 0x03;
  r[65] = 0x04;
  r[98] = 0x05;
  r[99] = 0x06;
  SealReply(r.data());
  return r;
}

std::vector<std::uint8_t> AsDatagram(const CommandReply& reply) {
  // Sized once and filled: GCC 12 at -O3 takes an insert into a two-byte vector for an
  // out-of-bounds write (-Warray-bounds).
  std::vector<std::uint8_t> d(cmd::kDatagramSize);
  d[0] = 0xA5;
  d[1] = 0x5A;
  std::copy(reply.begin(), reply.end(), d.begin() + cmd::kPrefixSize);
  return d;
}

void Seal(ServiceFrame& frame) {
  frame[0] = FrameChecksum(frame.data());
}

ServiceFrame EchoFrame(const ServiceFrame& request) {
  ServiceFrame f = request;
  Seal(f);
  return f;
}

ServiceFrame ErrorFrame(std::uint8_t code) {
  ServiceFrame f{};
  f[1] = 0xFF;
  f[2] = code;
  Seal(f);
  return f;
}

std::vector<std::uint8_t> AsServiceDatagram(const ServiceFrame& frame) {
  std::vector<std::uint8_t> d(svc::kDatagramSize);  // two leading bytes, left zero
  std::copy(frame.begin(), frame.end(), d.begin() + (svc::kDatagramSize - svc::kFrameSize));
  return d;
}

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  int nibble = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int v = std::isdigit(static_cast<unsigned char>(c))
                      ? c - '0'
                      : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
      nibble = -1;
    }
  }
  return out;
}

}  // namespace quillon::testing
