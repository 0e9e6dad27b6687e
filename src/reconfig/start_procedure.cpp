// The one operation of the tool: find the device, write its power-module record with the new
// maximum high voltage, and say how it went.

#include <cmath>
#include <limits>

#include "link/service_frame.h"
#include "reconfig/reconfig_session.h"

namespace quillon {

ReconfigSession::ReconfigSession(MessageSink& sink, PowerModuleRecord& record,
                                 std::unique_ptr<DatagramSocket>& socket, LinkEndpoint& endpoint,
                                 SearchOptions options)
    : m_record(record),
      m_socket(socket),
      m_endpoint(endpoint),
      m_sink(sink),
      m_search(sink, record, socket, endpoint, std::move(options)) {}

// The Start procedure closes the endpoint on every path; this only guards against a session that
// ends inside one (an exception from the toolkit's message box, say).
ReconfigSession::~ReconfigSession() {
  CloseEndpoint(m_endpoint);
}

std::int32_t SerialNumberFromFieldValue(double value) {
  const double t = std::trunc(value);
  if (!(t >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        t <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    return -1;
  }
  return static_cast<std::int32_t>(t);
}

bool ReconfigSession::StartProcedure(double fieldValue) {
  m_sink.BeginWait();
  m_sink.Stage("searching for the device");
  if (!m_search.FindDevice(SerialNumberFromFieldValue(fieldValue))) {
    m_sink.EndWait();  // the search has said why
    return false;
  }

  m_sink.Stage("writing the power-module record");
  m_record.setMaxHighVoltage(rec::kTargetHighVoltage);
  LinkResult r = ServiceWriteRecord(m_socket.get(), m_endpoint, m_record.data());
  if (r == kLinkOk) r = ServiceFinish(m_socket.get(), m_endpoint);
  m_sink.EndWait();
  CloseEndpoint(m_endpoint);
  if (r != kLinkOk) {
    m_sink.ShowMessage(kTextUnknownError, kStyleError);
    return false;
  }
  m_sink.ShowMessage(kTextSuccess, kStyleInformation);
  return true;
}

}  // namespace quillon
