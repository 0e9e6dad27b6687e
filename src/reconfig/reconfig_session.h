// The Start procedure with the device search and the service-mode entry, working on what the
// main window owns: the power-module record, the link socket and the found device's endpoint.
// The dialog and the command line each own those three and one session over them, and only read
// input and show messages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/command_packet.h"
#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "reconfig/messages.h"
#include "reconfig/power_module_record.h"

namespace quillon {

struct SessionOptions {
  // Search the serial ports of the port table.
  bool useSerial = true;
  // Where the identify request goes. Empty: the local broadcast addresses.
  std::vector<std::string> identifyAddresses;
  // Replaces the local broadcast addresses (tests inject their own).
  std::function<std::vector<std::string>()> broadcastTargets;
};

class ReconfigSession {
 public:
  // The socket may be null: the search then covers the serial ports alone. The owner keeps
  // record, socket and endpoint alive for the session's lifetime.
  ReconfigSession(MessageSink& sink, PowerModuleRecord& record,
                  std::unique_ptr<DatagramSocket>& socket, LinkEndpoint& endpoint,
                  SessionOptions options = {});
  ~ReconfigSession();
  ReconfigSession(const ReconfigSession&) = delete;
  ReconfigSession& operator=(const ReconfigSession&) = delete;

  // Runs one Start with the value of the serial-number field. True when the record was written
  // (the dialog then closes); otherwise exactly one message has told the user why.
  bool StartProcedure(double fieldValue);

  // Finds the device, checks it, switches it to service mode and commits it into m_endpoint.
  bool FindDevice(std::int32_t serialNumber);
  void SendIdentifyBroadcasts();
  bool PrepareFoundDevice(LinkEndpoint& working);
  static std::int16_t SwitchToServiceMode(DatagramSocket* socket, LinkEndpoint endpoint);

  // The owner's members.
  PowerModuleRecord& m_record;
  std::unique_ptr<DatagramSocket>& m_socket;
  LinkEndpoint& m_endpoint;

 private:
  void Classify(const std::uint8_t* reply, LinkEndpoint& working) const;
  bool Matches(const std::uint8_t* reply, bool from_serial) const;
  void CollectDatagrams(std::int64_t deadline, LinkEndpoint& working, bool& matched);
  void CollectSerial(SerialHandle (&ports)[kMaxSerialPorts], LinkEndpoint& working, bool& matched);

  MessageSink& sink_;
  SessionOptions options_;
  // The wanted serial number; -1 when the typed number cannot be a device's: a number above
  // 65535 is not cut to its low 16 bits, since that would name another device.
  std::int32_t wanted_ = -1;
};

// The field value truncated toward zero to a signed 32-bit number. A value outside that range
// (or not a number) gives -1, which no device carries.
std::int32_t SerialNumberFromFieldValue(double value);

}  // namespace quillon
