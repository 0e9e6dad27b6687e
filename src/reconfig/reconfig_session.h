// The Start procedure, working on what the main window owns: the power-module record, the link
// socket and the found device's endpoint. The dialog and the command line each own those three
// and one session over them, and only read input and show messages.
#pragma once

#include <cstdint>
#include <memory>

#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "reconfig/messages.h"
#include "reconfig/power_module_record.h"
#include "search/device_search.h"

namespace quillon {

class ReconfigSession {
 public:
  // The socket may be null: the search then covers the serial ports alone. The owner keeps
  // record, socket and endpoint alive for the session's lifetime.
  ReconfigSession(MessageSink& sink, PowerModuleRecord& record,
                  std::unique_ptr<DatagramSocket>& socket, LinkEndpoint& endpoint,
                  SearchOptions options = {});
  ~ReconfigSession();
  ReconfigSession(const ReconfigSession&) = delete;
  ReconfigSession& operator=(const ReconfigSession&) = delete;

  // Runs one Start with the value of the serial-number field. True when the record was written
  // (the dialog then closes); otherwise exactly one message has told the user why.
  bool StartProcedure(double fieldValue);

  DeviceSearch& search() { return m_search; }

  // The owner's members.
  PowerModuleRecord& m_record;
  std::unique_ptr<DatagramSocket>& m_socket;
  LinkEndpoint& m_endpoint;

 private:
  MessageSink& m_sink;
  DeviceSearch m_search;
};

// The field value truncated toward zero to a signed 32-bit number. A value outside that range
// (or not a number) gives -1, which no device carries.
std::int32_t SerialNumberFromFieldValue(double value);

}  // namespace quillon
