#include "link/leave_at_exit.h"

#include <array>
#include <atomic>

#include "link/datagram_socket.h"
#include "link/serial_port.h"
#include "link/service_frame.h"

namespace quillon {
namespace {

// Enough for every port of the table and a campaign's network devices.
constexpr std::size_t kSlots = 1024;

enum SlotState : int { kFree = 0, kBusy = 1, kArmed = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  SerialHandle port = kInvalidSerialHandle;
  std::intptr_t socket = -1;
  std::uint8_t address[4] = {};
};
std::array<Slot, kSlots> g_slots;
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// Command 4 with its checksum: the same frame for every device, made before the first is armed.
ServiceFrame g_finish{};
std::atomic<bool> g_finishMade{false};

void MakeFinishFrame() {
  if (g_finishMade.load(std::memory_order_acquire)) return;
  ServiceFrame frame{};
  frame[svc::kCommandOffset] = svc::kFinish;
  frame[svc::kChecksumOffset] = FrameChecksum(frame.data());
  g_finish = frame;
  g_finishMade.store(true, std::memory_order_release);
}

// "a.b.c.d" into its four bytes; false for anything else.
bool ParseDotted(const char* text, std::uint8_t (&out)[4]) {
  int part = 0;
  int value = -1;
  for (const char* c = text;; ++c) {
    if (*c >= '0' && *c <= '9') {
      value = (value < 0 ? 0 : value * 10) + (*c - '0');
      if (value > 255) return false;
    } else if ((*c == '.' || *c == '\0') && value >= 0 && part < 4) {
      out[part++] = static_cast<std::uint8_t>(value);
      value = -1;
      if (*c == '\0') return part == 4;
    } else {
      return false;
    }
  }
}

template <typename Match>
void DisarmWhere(Match match) {
  for (Slot& slot : g_slots) {
    int armed = kArmed;
    if (slot.state.load(std::memory_order_acquire) != kArmed || !match(slot)) continue;
    if (slot.state.compare_exchange_strong(armed, kBusy, std::memory_order_acq_rel)) {
      slot.port = kInvalidSerialHandle;
      slot.socket = -1;
      slot.state.store(kFree, std::memory_order_release);
    }
  }
}

}  // namespace

void ArmLeaveAtExit(const Link& link, const LinkEndpoint& endpoint) {
  MakeFinishFrame();
  Slot candidate;
  if (HasSerialPort(endpoint)) {
    candidate.port = PortHandle(endpoint);
  } else if (link.socket() && HasPeerAddress(endpoint) && link.socket()->NativeHandle() >= 0 &&
             ParseDotted(endpoint.peerAddress, candidate.address)) {
    candidate.socket = link.socket()->NativeHandle();
  } else {
    return;
  }
  for (Slot& slot : g_slots) {
    int free = kFree;
    if (!slot.state.compare_exchange_strong(free, kBusy, std::memory_order_acq_rel)) continue;
    slot.port = candidate.port;
    slot.socket = candidate.socket;
    for (int i = 0; i < 4; ++i) slot.address[i] = candidate.address[i];
    slot.state.store(kArmed, std::memory_order_release);
    return;
  }
}

void DisarmLeaveAtExit(const LinkEndpoint& endpoint) {
  if (HasSerialPort(endpoint)) {
    DisarmLeaveAtExitPort(PortHandle(endpoint));
    return;
  }
  std::uint8_t address[4];
  if (!ParseDotted(endpoint.peerAddress, address)) return;
  DisarmWhere([&address](const Slot& s) {
    return s.socket >= 0 && s.address[0] == address[0] && s.address[1] == address[1] &&
           s.address[2] == address[2] && s.address[3] == address[3];
  });
}

void DisarmLeaveAtExitPort(SerialHandle port) {
  if (port == kInvalidSerialHandle) return;
  DisarmWhere([port](const Slot& s) { return s.port == port; });
}

void DisarmLeaveAtExitSocket(std::intptr_t socket) {
  if (socket < 0) return;
  DisarmWhere([socket](const Slot& s) { return s.socket == socket; });
}

std::size_t LeaveAtExitNow() {
  std::size_t sent = 0;
  if (!g_finishMade.load(std::memory_order_acquire)) return 0;
  for (Slot& slot : g_slots) {
    int armed = kArmed;
    // A slot being filled or emptied right now is left alone: its device is not yet, or no
    // longer, in service mode.
    if (!slot.state.compare_exchange_strong(armed, kBusy, std::memory_order_acq_rel)) continue;
    if (slot.port != kInvalidSerialHandle) {
      WriteSerialForExit(slot.port, g_finish);
    } else {
      SendDatagramForExit(slot.socket, slot.address, kDevicePort, g_finish);
    }
    ++sent;
  }
  return sent;
}

bool ArmedAtExit(SerialHandle port) {
  for (const Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) == kArmed && slot.port == port) return true;
  }
  return false;
}

std::size_t ArmedAtExit() {
  std::size_t armed = 0;
  for (const Slot& slot : g_slots) armed += slot.state.load() == kArmed ? 1 : 0;
  return armed;
}

}  // namespace quillon
