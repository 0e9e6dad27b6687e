// Finding the device by its serial number on every serial port and every local IPv4 network
// within one shared answer window, judging it, and bringing it into its service mode.
//
// Where the device is reached: the cable decides. A matching reply on a serial port (the lowest
// COM number) wins over any from the network: the technician plugged that cable in on purpose,
// and a host on the network that merely claims the number never gets a service frame. Without a
// cable, one address decides; two addresses with the wanted number are refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/command_packet.h"
#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "search/search_outcome.h"
#include "search/service_mode_record.h"

namespace quillon {

// The search's receive buffer: datagrams are received into it, serial ports are drained
// through it.
inline constexpr std::size_t kSearchBufferSize = 1476;
// Every transport answers within this one window after the identify requests have gone out,
// and every exchange of the command protocol waits as long for its reply.
inline constexpr int kAnswerWindowMs = 1000;
// While datagrams keep arriving, the window stays open at least this long after the last one.
inline constexpr int kWindowExtensionMs = 500;
// A port that held stray bytes or another device's reply is asked this many times more.
inline constexpr int kFurtherIdentifyAttempts = 3;
// However long datagrams keep arriving, the window ends this long after the broadcast: a chatty
// host on the network must not hold the search open for ever.
inline constexpr int kMaxAnswerWindowMs = 10000;

// Verdicts of the device search on a device's identify reply.
enum class Verdict {
  kUsable,
  kInUse,          // another program works with it
  kNotApplicable,  // not a device this tool may reconfigure
};

// How the mode switch ended: the device went quiet (it is in service mode) or still answers in
// its command protocol.
enum class ModeSwitch : std::int16_t {
  kInServiceMode = 0,
  kStillAnswers = 10,
};

// A reply of the command protocol, as the search keeps it.
using CommandReply = std::array<std::uint8_t, cmd::kReplySize>;

struct SearchOptions {
  // Search the serial ports of the port table.
  bool useSerial = true;
  // Where the identify request goes. Empty: the local broadcast addresses.
  std::vector<std::string> identifyAddresses;
  // The local broadcast addresses (the front ends give the system's; tests inject their own).
  std::function<std::vector<std::string>()> broadcastTargets;
  // Addresses that no device can answer from beyond those the search knows itself: this
  // computer's own (unless the user named one: a simulator on this computer) and the broadcast
  // addresses of its networks.
  std::function<std::vector<std::string>()> impossibleSources;
  // Why there is no socket although the network was to be searched (the system's words); empty
  // when there is one or the user chose no network.
  std::string socketFailure;
};

// Whether a reply may come from this address: not zero, multicast, reserved or the limited
// broadcast, nor one of `excluded`, nor of the loopback network 127.0.0.0/8 unless `named` (the
// addresses the user named) has it. A forged source or another program of this computer must
// never draw service frames.
bool IsPossibleDeviceAddress(const std::string& source, const std::vector<std::string>& excluded,
                             const std::vector<std::string>& named = {});

// One device that answered a scan.
struct ScanEntry {
  std::uint16_t serialNumber = 0;
  std::string where;    // "COM3 (/dev/ttyUSB0)" or the address
  bool serial = false;  // on a serial port (else over UDP)
  Verdict verdict = Verdict::kUsable;
  bool conflict = false;  // the same serial number answered from another place too
};

// The device a search found and brought into service mode: its serial port, owned and closed
// when this goes, or its address, and what the power-module record is made from. Move-only, as
// its port.
struct FoundDevice {
  FoundDevice() = default;
  FoundDevice(FoundDevice&&) = default;
  // Never assigned over: the old device's port would close before it is forgotten as in service
  // mode (members are assigned in their order).
  FoundDevice& operator=(FoundDevice&&) = delete;

  // Held where it does not move with the device: the endpoints name it.
  std::unique_ptr<SerialPort> port;
  // After the port, so that the device is forgotten as in service mode before its port closes.
  ServiceModeRecord::Entry inServiceMode;
  std::string address;  // dotted IPv4, when found over UDP
  // Where it was found: "COM3 (/dev/ttyUSB0)" or its address.
  std::string where;
  // Where else the wanted number answered when the cable decided (addresses).
  std::vector<std::string> alsoAt;
  // Its identify reply and its status reply.
  CommandReply identifyReply{};
  CommandReply statusReply{};

  // Names the device for the link's calls; valid while this lives.
  LinkEndpoint endpoint() const;
  // Whether it was found on a serial port (else over the network).
  bool OnSerialPort() const { return port && port->IsOpen(); }
  // The reason that explains this device when it did not complete an exchange.
  Reason StoppedAnswering() const;
};

// Why a search brought no device into service mode.
struct SearchFailure {
  Outcome outcome = Outcome::kFailed;
  // What explains the outcome, where something does.
  std::vector<Reason> reasons;
  // kTwoDevices: the two addresses that answered with the wanted number.
  std::vector<std::string> twoAddresses;
  // kInterrupted: whether the device had to be told to leave its service mode.
  bool leftServiceMode = false;
  // Where the device answered, when it did.
  std::string foundAt;
};

// How a search ended: the device, or why there is none.
struct SearchResult {
  std::optional<FoundDevice> device;
  SearchFailure failure;  // when there is no device

  explicit operator bool() const { return device.has_value(); }
  Outcome outcome() const { return device ? Outcome::kReconfigured : failure.outcome; }
};

class DeviceSearch {
 public:
  // The observer, when there is one, is told of each stage.
  explicit DeviceSearch(SearchOptions options = {}, SearchObserver* observer = nullptr);

  // Each search works through the link it is given. Without a socket the search covers the
  // serial ports alone.

  // Finds the device, judges it and switches it into service mode. Without a device, the
  // result tells why; every port the search opened is closed again.
  SearchResult FindDevice(const Link& link, std::int32_t serialNumber);
  // FindDevice in two steps, for several devices at once. One search window for all the numbers:
  // for each (in the order given) its usable device, not yet in service mode, or why there is
  // none. Every port that is no usable device's is closed.
  std::vector<SearchResult> JudgeDevices(const Link& link,
                                         const std::vector<std::int32_t>& numbers);
  // Status request, mode switch and service check of a device judged usable. Without success
  // the device goes (its port closes) and the result tells why.
  SearchResult PrepareDevice(const Link& link, FoundDevice device);
  // The identify request to every broadcast address (or to those the user named). Gives where
  // it went; empty when there was nowhere to send it.
  std::vector<std::string> SendIdentifyBroadcasts(const Link& link);
  // One search window as FindDevice's that keeps every valid identify reply instead of matching
  // one serial number. Nothing but identify requests is sent. Sorted by serial number.
  std::vector<ScanEntry> Scan(const Link& link);
  static ModeSwitch SwitchToServiceMode(const Link& link, LinkEndpoint endpoint);

 private:
  class Window;

  // Ends the search without a device; remembers why.
  void Fail(Outcome outcome, std::vector<Reason> reasons = {});
  void Reached(SearchStage stage);
  // Status request, mode switch and service check of a usable device. The mode switch enters the
  // device in the process's record of devices that may be in service mode (*entry).
  bool PrepareFoundDevice(const Link& link, LinkEndpoint& working, ServiceModeRecord::Entry* entry);
  // After an interruption: command 4 to the device, then the outcome. False when there was none.
  bool LeaveServiceModeIfInterrupted(const LinkEndpoint& endpoint);
  Reason StoppedAnswering() const { return {Reason::Kind::kStoppedAnswering, m_foundAt, {}}; }

  SearchObserver* m_observer;
  SearchOptions m_options;
  // The search in progress: why it failed, where the device is, its replies.
  SearchFailure m_failure;
  std::string m_foundAt;
  std::optional<CommandReply> m_statusReply;
};

}  // namespace quillon
