// The Start procedure, working on what the main window owns: the power-module record and the link
// socket. The dialog and the command line each own those two and one session over them, and only
// read input and show messages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/datagram_socket.h"
#include "link/link.h"
#include "link/service_frame.h"
#include "reconfig/messages.h"
#include "reconfig/power_module_record.h"
#include "search/device_search.h"

namespace quillon {

// What a Start did, for scripts (--json).
struct StartReport {
  Outcome outcome = Outcome::kFailed;
  std::string message;               // the one message shown
  std::vector<std::string> reasons;  // what explains it, as the message ends with them
  std::string transport;             // "serial" or "udp"; empty when no device was found
  std::string port;                  // "COM3 (/dev/ttyUSB0)", over serial
  std::string address;               // the device's address, over UDP
  std::string foundAt;               // where the device answered, when it did
  std::vector<std::string> alsoAt;   // where else the number answered (not written there)
  std::string record;                // the record written, as hex; empty when none was written
  std::vector<std::pair<std::string, std::int64_t>> stageMs;  // each stage and its length
};

class ReconfigSession : private SearchObserver {
 public:
  // The socket may be null: the search then covers the serial ports alone. The link works
  // through the platform's ports and clock, with the hooks when there are any. The owner keeps
  // record, socket, platform and hooks alive for the session's lifetime (or until it gives
  // another socket).
  ReconfigSession(MessageSink& sink, PowerModuleRecord& record, DatagramSocket* socket,
                  Platform& platform, SearchOptions options = {}, const LinkHooks* hooks = nullptr);
  ReconfigSession(const ReconfigSession&) = delete;
  ReconfigSession& operator=(const ReconfigSession&) = delete;

  // Runs one Start with the value of the serial-number field. True when the record was written
  // (the dialog then closes); otherwise exactly one message has told the user why. An
  // interruption (InterruptRequested) ends it early and leaves the device as it was.
  bool StartProcedure(double fieldValue);

  // The socket the next Start works through, from now on (null: none), for an owner that makes
  // its socket, or closes it, after the session was made. Never while a Start runs.
  void UseSocket(DatagramSocket* socket) { m_socket = socket; }

  // What the last Start did.
  const StartReport& report() const { return m_report; }

  // The rest of a Start whose search window was shared with other devices (JudgeDevices): the
  // device's preparation, its record and command 4, or the message why there is no device. The
  // window took searchMs.
  bool ContinueStart(SearchResult judged, std::int64_t searchMs);

 private:
  // How writing the record to the found device went.
  struct Written {
    LinkResult record = LinkResult::kNoReply;  // command 5
    LinkResult finish = LinkResult::kNoReply;  // command 4 after it (or command 5's result)
    bool interrupted = false;                  // and the device was told to leave service mode
    Reason stopped{Reason::Kind::kStoppedAnswering, {}, {}};  // should the device have stopped
  };
  // Writes the record and ends service mode; the device goes with the call, closing its port.
  Written WriteRecord(FoundDevice device);
  // The search's outcome: the record filled from the found device's replies, or the one message
  // why there is no device. The device's port closes when the result goes.
  std::optional<FoundDevice> Conclude(SearchResult result);
  // The record, command 4 and the message.
  bool WriteAndReport(FoundDevice device);
  void StageReached(SearchStage stage) override;
  void ShowMessage(std::string_view text, MessageStyle style);
  void Stage(std::string_view what);

  void EndStage();
  void Finish(Outcome outcome, std::string_view text, MessageStyle style,
              const std::vector<std::string>& reasons = {});

  // The link over the owner's socket.
  Link CurrentLink() const { return Link(m_platform, m_socket, m_hooks); }

  // The owner's record and socket.
  PowerModuleRecord& m_record;
  DatagramSocket* m_socket;
  Platform& m_platform;
  const LinkHooks* m_hooks;
  MessageSink& m_sink;
  DeviceSearch m_search;
  StartReport m_report;
  std::int64_t m_stageStart = 0;
};

// The field value truncated toward zero to a signed 32-bit number. A value outside that range
// (or not a number) gives -1, which no device carries.
std::int32_t SerialNumberFromFieldValue(double value);

}  // namespace quillon
