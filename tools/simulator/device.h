// A simulated Quillon: what it answers to command packets and service frames, with switchable
// faults. No input/output here; the transports live in pty_link.h and udp_link.h.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/command_packet.h"
#include "link/service_frame.h"

namespace quillon::sim {

// What a request is, for the log and for the fault switches.
enum class Kind {
  kIdentify,
  kStatus,
  kMode,
  kSvc0,
  kSvc1,
  kSvc2,
  kSvc3,
  kSvc4,
  kSvc5,
  kSvc6,
  kUnknown,
};
inline constexpr int kKindCount = 11;

const char* KindName(Kind kind);
std::optional<Kind> KindFromName(const std::string& name);

// A 12-byte command packet by its markers and body; anything else is unknown.
Kind ClassifyCommandPacket(const std::uint8_t* data, std::size_t size);
// A 136-byte service frame by its command byte (0..6); anything else is unknown.
Kind ClassifyServiceFrame(const std::uint8_t* data, std::size_t size);
// A datagram or framed piece by its size and content, whatever mode the device is in.
Kind ClassifyRequest(const std::uint8_t* data, std::size_t size);

// The reply fields of the command protocol. The defaults make a free, applicable device; the
// status fields differ from the record's defaults so that a test can see them carried over.
struct Profile {
  std::uint16_t presenceWord = 1;
  std::uint16_t applicabilityA = 1;
  std::uint16_t useOverride = 0;
  std::int16_t useCount = 0;
  // Reply bytes 61..65; the last two are also applicabilityB (1 here).
  std::array<std::uint8_t, 5> moduleBlock = {0x07, 0x34, 0x12, 0x01, 0x00};
  // Status reply bytes 58, 59, 62, 63, 64, 65, 98, 99, in the order of record bytes 10..17.
  std::array<std::uint8_t, 8> statusFields = {0x94, 0x11, 0x20, 0x03, 0x11, 0x22, 0x33, 0x44};
  std::uint16_t serviceVersion = 5;
};

struct Faults {
  bool silent = false;
  std::array<bool, kKindCount> badChecksum{};  // by Kind
  bool answerModeSwitch = false;
  bool noRecordEcho = false;
  std::map<int, std::uint8_t> errorReply;  // service command -> device error code
};

// One device's state: its mode, its memory and the last record written to it.
class Device {
 public:
  Device(const Profile& profile, const Faults& faults, std::uint16_t serial_number);

  std::uint16_t SerialNumber() const { return m_serialNumber; }
  bool InServiceMode() const { return m_serviceMode; }
  // A power cycle or a mode change the device made on its own.
  void SetServiceMode(bool on) { m_serviceMode = on; }

  // A 12-byte command packet. Gives the 136-byte reply, or nothing (unknown body, service mode,
  // or the mode switch, which makes the device fall silent).
  std::optional<CommandReply> OnCommandPacket(const CommandPacket& packet);

  // A 136-byte service frame. Gives the reply frame, or nothing (bad checksum, unknown command,
  // command mode). Command 4 ends service mode after its reply.
  std::optional<ServiceFrame> OnServiceFrame(const ServiceFrame& frame);

  // The last record written by command 5: its 2-byte length and the block; empty before any.
  const std::vector<std::uint8_t>& LastRecord() const { return m_record; }
  // Counts command 5 frames that were taken (checksum right, length in range).
  int RecordsWritten() const { return m_recordsWritten; }

  // The reply bytes before the echo and the checksum: identify and status differ only in the
  // status fields.
  CommandReply BuildReply(Kind kind, const CommandPacket& packet) const;

  // The service replies every command can get: the request echoed (commands 1 and 4), and a
  // device error with its code. Both sealed, as SealFrame does.
  static ServiceFrame EchoReply(const ServiceFrame& request);
  static ServiceFrame ErrorReply(std::uint8_t code);
  // Sets a frame's checksum byte for its contents.
  static void SealFrame(ServiceFrame& frame);

 private:
  std::uint8_t MemoryAt(std::uint32_t address) const;

  const Profile& m_profile;
  const Faults& m_faults;
  std::uint16_t m_serialNumber;
  bool m_serviceMode = false;
  std::map<std::uint32_t, std::uint8_t> m_written;  // memory written by command 2
  std::vector<std::uint8_t> m_record;
  int m_recordsWritten = 0;
};

}  // namespace quillon::sim
