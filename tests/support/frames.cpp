#include "support/frames.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "link/wire.h"

namespace quillon::testing {

namespace {

// Recognisable status fields, in the order of record bytes 10..17.
constexpr std::array<std::uint8_t, 8> kStatusFields = {0x10, 0x27, 0xD0, 0x07,
                                                       0x03, 0x04, 0x05, 0x06};

// A reply of the simulated device with `fields`.
CommandReply DeviceReply(const IdentifyFields& fields, sim::Kind kind,
                         const CommandPacket& request) {
  const sim::Profile profile = DeviceProfile(fields);
  const sim::Faults faults;
  return sim::Device(profile, faults, fields.serial).BuildReply(kind, request);
}

// No fields at all: the replies that only the echo and the status fields tell apart.
constexpr IdentifyFields kNoFields = {.presence = 0, .serial = 0, .moduleBlock = {}};

}  // namespace

sim::Profile DeviceProfile(const IdentifyFields& f) {
  sim::Profile p;
  p.presenceWord = f.presence;
  p.applicabilityA = f.applicabilityA;
  p.useOverride = f.useOverride;
  p.useCount = f.useCount;
  std::copy(std::begin(f.moduleBlock), std::end(f.moduleBlock), p.moduleBlock.begin());
  p.statusFields = kStatusFields;
  return p;
}

CommandReply MakeReply(const CommandPacket& request) {
  return DeviceReply(kNoFields, sim::Kind::kIdentify, request);
}

CommandReply MakeIdentifyReply(const IdentifyFields& f) {
  return DeviceReply(f, sim::Kind::kIdentify, kIdentifyRequest);
}

CommandReply MakeStatusReply() {
  return DeviceReply(kNoFields, sim::Kind::kStatus, kStatusRequest);
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
  sim::Device::SealFrame(frame);
}

ServiceFrame EchoFrame(const ServiceFrame& request) {
  return sim::Device::EchoReply(request);
}

ServiceFrame ErrorFrame(std::uint8_t code) {
  return sim::Device::ErrorReply(code);
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
