// The one operation of the tool: find the device, write its power-module record with the new
// maximum high voltage, and say how it went.

#include "reconfig/reconfig_session.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "link/interrupt.h"
#include "link/service_frame.h"

namespace quillon {
namespace {

constexpr std::string_view kTextInterruptedWritten =
    "Interrupted after the record was written: it took effect, and the Quillon was told to "
    "leave its service mode.";

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string text;
  char byte[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02X", data[i]);
    text += byte;
  }
  return text;
}

}  // namespace

ReconfigSession::ReconfigSession(MessageSink& sink, PowerModuleRecord& record,
                                 std::unique_ptr<DatagramSocket>& socket, LinkEndpoint& endpoint,
                                 SearchOptions options)
    : m_record(record),
      m_socket(socket),
      m_endpoint(endpoint),
      m_sink(sink),
      m_search(socket, endpoint, std::move(options), this) {}

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

void ReconfigSession::ShowMessage(std::string_view text, MessageStyle style) {
  m_report.message = text;
  m_sink.ShowMessage(text, style);
}

void ReconfigSession::StageReached(SearchStage stage) {
  Stage(StageText(stage));
}

bool StartSearch::FindDevice(std::int32_t serialNumber) {
  DeviceSearch& search = m_session.m_search;
  const bool found = search.FindDevice(serialNumber);
  if (search.identifyReply())
    m_session.m_record.FillFromIdentifyReply(search.identifyReply()->data());
  if (search.statusReply()) m_session.m_record.FillFromStatusReply(search.statusReply()->data());
  if (!found) {
    const SearchFailureMessage message = SearchFailureText(search, m_session.m_sink.wording());
    m_session.ShowMessage(message.text, message.style);
  }
  return found;
}

void ReconfigSession::Stage(std::string_view what) {
  EndStage();
  m_report.stageMs.emplace_back(std::string(what), 0);
  m_stageStart = NowMs();
  m_sink.Stage(what);
}

void ReconfigSession::EndStage() {
  if (!m_report.stageMs.empty()) m_report.stageMs.back().second = NowMs() - m_stageStart;
}

void ReconfigSession::Finish(Outcome outcome, std::string_view text, MessageStyle style,
                             const std::vector<std::string>& reasons) {
  m_report.outcome = outcome;
  ShowMessage(WithReasons(text, reasons), style);
}

bool ReconfigSession::StartProcedure(double fieldValue) {
  // However it ends, the Start leaves nothing noted for the paths that end the process.
  struct ForgetServiceMode {
    ~ForgetServiceMode() { NoteServiceModeLeft(); }
  } forget;
  m_report = {};
  m_sink.BeginWait();
  Stage("searching for the device");
  const bool found = m_startSearch.FindDevice(SerialNumberFromFieldValue(fieldValue));
  m_report.outcome = m_search.outcome();
  if (!found) {
    EndStage();
    m_sink.EndWait();  // the search has said why
    return false;
  }
  m_report.transport = HasSerialPort(m_endpoint) ? "serial" : "udp";
  (HasSerialPort(m_endpoint) ? m_report.port : m_report.address) = m_search.foundAt();
  m_report.alsoAt = m_search.alsoAt();

  Stage("writing the power-module record");
  m_record.setMaxHighVoltage(rec::kTargetHighVoltage);
  const LinkResult written = ServiceWriteRecord(m_socket.get(), m_endpoint, m_record.data());
  LinkResult r = written;
  if (written == LinkResult::kOk) {
    m_report.record = Hex(m_record.data(), m_record.bytes.size());
    r = ServiceFinish(m_socket.get(), m_endpoint);
  }
  EndStage();
  m_sink.EndWait();
  if (InterruptRequested()) {
    // Command 5 or 4 may have gone out unanswered: the device must leave service mode.
    ClearInterrupt();
    LeaveServiceModeNow();  // unless the session's end has sent it already
    CloseEndpoint(m_endpoint);
    Finish(Outcome::kInterrupted,
           written == LinkResult::kOk ? kTextInterruptedWritten : kTextInterruptedWriting,
           MessageStyle::kError);
    return false;
  }
  CloseEndpoint(m_endpoint);
  if (r != LinkResult::kOk) {
    Finish(Outcome::kIncomplete, kTextUnknownError, MessageStyle::kError,
           r == LinkResult::kNoReply ? ReasonTexts({m_search.StoppedAnswering()}, m_sink.wording())
                                     : std::vector<std::string>{});
    return false;
  }
  Finish(Outcome::kReconfigured, kTextSuccess, MessageStyle::kInformation);
  return true;
}

}  // namespace quillon
