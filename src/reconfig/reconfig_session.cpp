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
                                 DatagramSocket* socket, Platform& platform, SearchOptions options,
                                 const LinkHooks* hooks)
    : m_record(record),
      m_socket(socket),
      m_platform(platform),
      m_hooks(hooks),
      m_sink(sink),
      m_search(std::move(options), this) {}

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

std::optional<FoundDevice> ReconfigSession::Conclude(SearchResult result) {
  m_report.outcome = result.outcome();
  if (!result) {
    const SearchFailureMessage message = SearchFailureText(result.failure, m_sink.wording());
    m_report.reasons = ReasonTexts(result.failure.reasons, m_sink.wording());
    m_report.foundAt = result.failure.foundAt;
    ShowMessage(message.text, message.style);
    return std::nullopt;
  }
  m_record.FillFromIdentifyReply(result.device->identifyReply.data());
  m_record.FillFromStatusReply(result.device->statusReply.data());
  return std::move(result.device);
}

void ReconfigSession::Stage(std::string_view what) {
  EndStage();
  m_report.stageMs.emplace_back(std::string(what), 0);
  m_stageStart = m_platform.NowMs();
  m_sink.Stage(what);
}

void ReconfigSession::EndStage() {
  if (!m_report.stageMs.empty()) m_report.stageMs.back().second = m_platform.NowMs() - m_stageStart;
}

void ReconfigSession::Finish(Outcome outcome, std::string_view text, MessageStyle style,
                             const std::vector<std::string>& reasons) {
  m_report.outcome = outcome;
  m_report.reasons = reasons;
  ShowMessage(WithReasons(text, reasons), style);
}

ReconfigSession::Written ReconfigSession::WriteRecord(FoundDevice device) {
  const Link link = CurrentLink();
  const LinkEndpoint endpoint = device.endpoint();
  m_report.transport = device.OnSerialPort() ? "serial" : "udp";
  (device.OnSerialPort() ? m_report.port : m_report.address) = device.where;
  m_report.foundAt = device.where;
  m_report.alsoAt = device.alsoAt;

  Stage(kTextStageWriting);
  m_record.setMaxHighVoltage(rec::kTargetHighVoltage);
  Written w;
  w.record = ServiceWriteRecord(link, endpoint, m_record.data());
  w.finish = w.record;
  if (w.record == LinkResult::kOk) {
    m_report.record = Hex(m_record.data(), m_record.bytes.size());
    w.finish = ServiceFinish(link, endpoint);
  }
  EndStage();
  m_sink.EndWait();
  if (InterruptRequested()) {
    // Command 5 or 4 may have gone out unanswered: the device must leave service mode.
    ServiceModeRecord::OfProcess().LeaveNow(endpoint);  // unless the session's end has sent it
    w.interrupted = true;
  }
  w.stopped = device.StoppedAnswering();
  // The device's port closes here, before any message is shown; it is forgotten as in service
  // mode just before (its note goes first).
  return w;
}

bool ReconfigSession::StartProcedure(double fieldValue) {
  m_report = {};
  m_sink.BeginWait();
  Stage(kTextStageSearching);
  std::optional<FoundDevice> device =
      Conclude(m_search.FindDevice(CurrentLink(), SerialNumberFromFieldValue(fieldValue)));
  if (!device) {
    EndStage();
    m_sink.EndWait();  // the search has said why
    return false;
  }
  return WriteAndReport(std::move(*device));
}

bool ReconfigSession::ContinueStart(SearchResult judged, std::int64_t searchMs) {
  m_report = {};
  m_sink.BeginWait();
  Stage(kTextStageSearching);
  m_stageStart -= searchMs;
  std::optional<FoundDevice> device =
      Conclude(judged ? m_search.PrepareDevice(CurrentLink(), std::move(*judged.device))
                      : std::move(judged));
  if (!device) {
    EndStage();
    m_sink.EndWait();
    return false;
  }
  return WriteAndReport(std::move(*device));
}

bool ReconfigSession::WriteAndReport(FoundDevice device) {
  const Written w = WriteRecord(std::move(device));
  if (w.interrupted) {
    Finish(Outcome::kInterrupted,
           w.record == LinkResult::kOk ? kTextInterruptedWritten : kTextInterruptedWriting,
           MessageStyle::kError);
    return false;
  }
  if (w.finish != LinkResult::kOk) {
    Finish(Outcome::kIncomplete, kTextUnknownError, MessageStyle::kError,
           w.finish == LinkResult::kNoReply ? ReasonTexts({w.stopped}, m_sink.wording())
                                            : std::vector<std::string>{});
    return false;
  }
  Finish(Outcome::kReconfigured, kTextSuccess, MessageStyle::kInformation);
  return true;
}

}  // namespace quillon
