// Finding the device by its serial number on every serial port and every local IPv4 network
// within one shared answer window, judging it, and bringing it into its service mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "reconfig/messages.h"
#include "reconfig/power_module_record.h"

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

struct SearchOptions {
  // Search the serial ports of the port table.
  bool useSerial = true;
  // Where the identify request goes. Empty: the local broadcast addresses.
  std::vector<std::string> identifyAddresses;
  // The local broadcast addresses (the front ends give the system's; tests inject their own).
  std::function<std::vector<std::string>()> broadcastTargets;
};

class DeviceSearch {
 public:
  // Works on the owner's record, socket and endpoint, which outlive the search. The socket may
  // be null: the search then covers the serial ports alone.
  DeviceSearch(MessageSink& sink, PowerModuleRecord& record,
               std::unique_ptr<DatagramSocket>& socket, LinkEndpoint& endpoint,
               SearchOptions options = {});

  // Finds the device, judges it, switches it into service mode and commits it into m_endpoint.
  // On false the reason has been shown and m_endpoint is empty.
  bool FindDevice(std::int32_t serialNumber);
  void SendIdentifyBroadcasts();
  // Status request, mode switch and service check of a usable device.
  bool PrepareFoundDevice(LinkEndpoint& working);
  // 0 when the device has gone quiet (it is in service mode), 10 when it still answers.
  static std::int16_t SwitchToServiceMode(DatagramSocket* socket, LinkEndpoint endpoint);

  // The owner's members.
  PowerModuleRecord& m_record;
  std::unique_ptr<DatagramSocket>& m_socket;
  LinkEndpoint& m_endpoint;

 private:
  class Window;

  MessageSink& m_sink;
  SearchOptions m_options;
};

}  // namespace quillon
