// Device replies for tests, made by the simulated device, and the wire forms around them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/command_packet.h"
#include "link/service_frame.h"
#include "tools/simulator/device.h"

namespace quillon::testing {

struct IdentifyFields {
  std::uint16_t presence = 1;
  std::uint16_t applicabilityA = 0;
  std::uint16_t serial = 1234;
  std::uint16_t useOverride = 0;
  std::int16_t useCount = 0;
  std::uint8_t moduleBlock[5] = {0x07, 0x11, 0x22, 0x01, 0x00};  // 64..65 = applicabilityB
};

// The simulated device's profile with `f` and recognisable status fields.
sim::Profile DeviceProfile(const IdentifyFields& f);

// A sealed 136-byte reply that echoes `request`, all fields zero.
CommandReply MakeReply(const CommandPacket& request);
CommandReply MakeIdentifyReply(const IdentifyFields& f);
// A status reply with recognisable status fields (58..59, 62..65, 98, 99), other fields zero.
CommandReply MakeStatusReply();
// The 138-byte datagram form: A5 5A then the reply.
std::vector<std::uint8_t> AsDatagram(const CommandReply& reply);

// The simulated device's service replies: the request echoed with its checksum, a device error;
// and its seal, for a frame a test has changed.
ServiceFrame EchoFrame(const ServiceFrame& request);
ServiceFrame ErrorFrame(std::uint8_t code);
void Seal(ServiceFrame& frame);
std::vector<std::uint8_t> AsServiceDatagram(const ServiceFrame& frame);

// "12 00 05 ..." -> bytes; spaces are ignored.
std::vector<std::uint8_t> Hex(const std::string& text);

}  // namespace quillon::testing
