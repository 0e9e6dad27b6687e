// quillon-reconfigurator-cli: the Start procedure without a window, for scripts and tests.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "app/cli_options.h"
#include "app/cli_texts.h"
#include "app/console.h"
#include "app/front_end.h"
#include "link/datagram_socket.h"
#include "link/endpoint.h"
#include "link/interrupt.h"
#include "link/platform.h"
#include "link/service_frame.h"
#include "program/text_sanitizer.h"
#include "reconfig/reconfig_session.h"
#include "reconfig/several_devices.h"

namespace quillon {
namespace {

constexpr const char* kProgram = "quillon-reconfigurator-cli";

// Keeps the outcome for after the Start: stdout on success, stderr otherwise.
class CliSink final : public MessageSink {
 public:
  explicit CliSink(bool stages) : m_stages(stages) {}
  void ShowMessage(std::string_view text, MessageStyle /*style*/) override { m_message = text; }
  Wording wording() const override { return Wording::kCommandLine; }
  void Stage(std::string_view what) override {
    if (m_stages) std::cerr << cli_text::kStagePrefix << what << std::endl;
  }
  const std::string& message() const { return m_message; }

 private:
  bool m_stages;
  std::string m_message;
};

// --verbose: every byte on the wire and every note, stamped with the time since the start.
LinkHooks HexTrace() {
  const auto start = std::chrono::steady_clock::now();
  auto stamp = [start]() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%7lld ms ", static_cast<long long>(ms));
    return std::string(buf);
  };
  LinkHooks hooks;
  hooks.wire = [stamp](std::string_view what, std::span<const std::uint8_t> data) {
    std::string line = stamp();
    line.append(TerminalSafe(what))
        .append(" ")
        .append(std::to_string(data.size()))
        .append(" bytes:");
    char hex[4];
    for (const std::uint8_t byte : data) {
      std::snprintf(hex, sizeof hex, " %02X", byte);
      line += hex;
    }
    std::cerr << line << '\n';
  };
  hooks.note = [stamp](std::string_view note) {
    std::cerr << stamp() << TerminalSafe(note) << '\n';
  };
  return hooks;
}

// Every string of the JSON output is valid UTF-8, whatever a port's name or a holder's held.
std::string Json(std::string_view text) {
  return JsonString(text);
}

std::string JsonOrNull(const std::string& text) {
  return text.empty() ? "null" : Json(text);
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReconfigured:
      return "reconfigured";
    case Outcome::kNotDetected:
      return "not detected";
    case Outcome::kInUse:
      return "in use";
    case Outcome::kNotApplicable:
      return "not applicable";
    case Outcome::kIncomplete:
      return "incomplete";
    case Outcome::kTwoDevices:
      return "two devices";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kFailed:
      break;
  }
  return "failed";
}

int ExitStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReconfigured:
      return cli_exit::kReconfigured;
    case Outcome::kNotDetected:
      return cli_exit::kNotDetected;
    case Outcome::kInUse:
      return cli_exit::kInUse;
    case Outcome::kNotApplicable:
      return cli_exit::kNotApplicable;
    case Outcome::kIncomplete:
      return cli_exit::kIncomplete;
    case Outcome::kInterrupted:
      return cli_exit::kInterrupted + (InterruptSignal() != 0 ? InterruptSignal() : 2);
    case Outcome::kTwoDevices:
    case Outcome::kFailed:
      break;
  }
  return cli_exit::kFailed;
}

std::string StartJson(std::uint16_t serial, const StartReport& report) {
  std::ostringstream out;
  out << "{\"serialNumber\": " << serial << ", \"outcome\": " << Json(OutcomeName(report.outcome))
      << ", \"message\": " << Json(report.message)
      << ", \"transport\": " << JsonOrNull(report.transport)
      << ", \"port\": " << JsonOrNull(report.port)
      << ", \"address\": " << JsonOrNull(report.address) << ", \"alsoAt\": [";
  for (std::size_t i = 0; i < report.alsoAt.size(); ++i) {
    out << (i ? ", " : "") << Json(report.alsoAt[i]);
  }
  out << "], \"record\": " << JsonOrNull(report.record) << ", \"stagesMs\": {";
  for (std::size_t i = 0; i < report.stageMs.size(); ++i) {
    out << (i ? ", " : "") << Json(report.stageMs[i].first) << ": " << report.stageMs[i].second;
  }
  out << "}}";
  return out.str();
}

// A device's line in a Start of several: its number, the outcome in the tool's words (on one
// line), where it was found.
std::string DeviceLine(const DeviceStart& d) {
  const StartReport& r = d.report;
  // The message ends with the reasons, which come once for all devices after the summary.
  const std::size_t reasons = WithReasons("", r.reasons).size();
  const std::string_view body = std::string_view(r.message).substr(
      0, r.message.size() > reasons ? r.message.size() - reasons : r.message.size());
  // One line: a blank line or a line break becomes one space.
  std::string text;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\n') {
      text.push_back(body[i]);
      continue;
    }
    if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
    text.push_back(' ');
  }
  std::string line = std::to_string(d.serialNumber) + ": " + text;
  if (!r.foundAt.empty()) line += cli_text::FoundAtShort(r.foundAt);
  return TerminalSafe(line) + "\n";
}

// Several devices: one line each as it ends, the summary, then the reasons the user can act on.
int RunSeveral(const CliOptions& o, Platform& platform, DatagramSocket* socket,
               const SearchOptions& options, const LinkHooks& hooks) {
  SeveralStarts setup{platform, socket, options, &hooks};
  SetStartInProgress(true);
  const std::vector<DeviceStart> starts =
      StartSeveral(setup, o.serials, [&o](const DeviceStart& d) {
        if (!o.json) std::cout << DeviceLine(d) << std::flush;
      });
  SetStartInProgress(false);
  std::size_t done = 0;
  std::vector<std::string> reasons;
  for (const DeviceStart& d : starts) {
    if (d.report.outcome == Outcome::kReconfigured) ++done;
    for (const std::string& reason : d.report.reasons) {
      if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
        reasons.push_back(reason);
      }
    }
  }
  if (o.json) {
    std::cout << "{\"devices\": [";
    for (std::size_t i = 0; i < starts.size(); ++i) {
      std::cout << (i ? ",\n " : "") << StartJson(starts[i].serialNumber, starts[i].report);
    }
    std::cout << "], \"reconfigured\": " << done << ", \"of\": " << starts.size() << "}\n";
  } else {
    std::cout << cli_text::SeveralReconfigured(done, starts.size()) << '\n';
    for (std::size_t i = 0; i < reasons.size(); ++i) {
      std::cout << (i ? "" : "\n") << TerminalSafe(reasons[i]) << '\n';
    }
  }
  std::cout.flush();
  if (InterruptRequested()) return ExitStatus(Outcome::kInterrupted);
  return done == starts.size() ? cli_exit::kReconfigured : cli_exit::kNotAll;
}

std::string_view StateName(Verdict verdict) {
  if (verdict == Verdict::kInUse) return cli_text::kStateInUse;
  if (verdict == Verdict::kNotApplicable) return cli_text::kStateNotApplicable;
  return cli_text::kStateFree;
}

std::string ScanText(const std::vector<ScanEntry>& seen) {
  std::ostringstream out;
  for (const ScanEntry& e : seen) {
    out << e.serialNumber << "  " << e.where << "  " << StateName(e.verdict);
    if (e.conflict) out << cli_text::kScanConflict;
    out << '\n';
  }
  return out.str();
}

std::string ScanJson(const std::vector<ScanEntry>& seen) {
  std::ostringstream out;
  out << '[';
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const ScanEntry& e = seen[i];
    out << (i ? ",\n " : "") << "{\"serialNumber\": " << e.serialNumber
        << ", \"transport\": " << Json(e.serial ? "serial" : "udp")
        << ", \"port\": " << (e.serial ? Json(e.where) : "null")
        << ", \"address\": " << (e.serial ? "null" : Json(e.where))
        << ", \"state\": " << Json(StateName(e.verdict))
        << ", \"conflict\": " << (e.conflict ? "true" : "false") << '}';
  }
  out << "]\n";
  return out.str();
}

// Command 4 alone, to the one port or address named: for a device left in service mode by a
// process that could not tell it (SIGKILL, a power loss of the computer).
int LeaveServiceMode(const CliOptions& o, const LinkHooks& hooks) {
  SystemPlatform platform;
  ApplyPortOptions(platform, o);
  std::unique_ptr<DatagramSocket> socket = o.addresses.empty() ? nullptr : CreateLinkSocket();
  const Link link(platform, socket.get(), &hooks);
  LinkEndpoint endpoint;
  ResetEndpoint(endpoint);
  SerialPort port;
  std::string where;
  if (!o.ports.empty()) {
    SerialOpenResult opened;
    port = SerialPort::Open(link, 1, &opened);
    where = SerialPortName(platform.SerialPorts().front());
    if (!port.IsOpen()) {
      std::cerr << TerminalSafe(cli_text::CouldNotOpen(where, opened.detail)) << '\n';
      return cli_exit::kNotDetected;
    }
    endpoint.serialPort = &port;
  } else {
    where = o.addresses.front();
    if (!socket) {
      std::cerr << cli_text::kNoNetworkSocket << '\n';
      return cli_exit::kFailed;
    }
    SetPeerAddress(endpoint, where.c_str());
  }
  if (ServiceFinish(link, endpoint) == LinkResult::kOk) {
    std::cout << TerminalSafe(cli_text::LeftServiceMode(where)) << '\n';
    return cli_exit::kReconfigured;
  }
  if (InterruptRequested()) return cli_exit::kInterrupted + InterruptSignal();
  std::cerr << TerminalSafe(cli_text::NoServiceModeAnswer(where)) << '\n';
  return cli_exit::kNotDetected;
}

int Run(int argc, char** argv) {
  const CliParse parsed = ParseCommandLine(argc, argv);
  if (!parsed.ok) {
    std::cerr << kProgram << ": " << TerminalSafe(parsed.error) << '\n';
    return cli_exit::kUsage;
  }
  const CliOptions& o = parsed.options;
  switch (o.action) {
    case CliOptions::Action::kHelp:
      std::cout << CliUsage();
      return 0;
    case CliOptions::Action::kVersion:
      std::cout << kProgram << ' ' << kProductVersion << '\n';
      return 0;
    case CliOptions::Action::kListPorts: {
      SystemPlatform platform;
      ApplyPortOptions(platform, o);
      std::cout << TerminalSafe(DescribePortsAndNetworks(o, platform));
      return 0;
    }
    case CliOptions::Action::kStart:
    case CliOptions::Action::kScan:
    case CliOptions::Action::kLeaveServiceMode:
      break;
  }

  if (const std::string problem = NamedPortsProblem(o); !problem.empty()) {
    std::cerr << kProgram << ": " << TerminalSafe(problem) << '\n';
    return cli_exit::kUsage;
  }
  InstallInterruptHandlers();
  const SocketInterface sockets;
  if (!sockets.started()) {
    std::cerr << kTextSocketInitFailed << '\n';
    return cli_exit::kFailed;
  }
  const LinkHooks hooks = o.verbose ? HexTrace() : LinkHooks{};
  if (o.action == CliOptions::Action::kLeaveServiceMode) return LeaveServiceMode(o, hooks);
  SystemPlatform platform;
  ApplyPortOptions(platform, o);
  CliSink sink(StderrIsTerminal() && !o.json);
  PowerModuleRecord record;
  std::string socket_failure;
  std::unique_ptr<DatagramSocket> socket = MakeLinkSocket(o, &socket_failure);
  SearchOptions search_options = MakeSearchOptions(o, &hooks);
  search_options.socketFailure = socket_failure;

  if (o.action == CliOptions::Action::kScan) {
    DeviceSearch search(search_options);
    SetStartInProgress(true);
    const std::vector<ScanEntry> seen = search.Scan(Link(platform, socket.get(), &hooks));
    SetStartInProgress(false);
    if (InterruptRequested()) return cli_exit::kInterrupted + InterruptSignal();
    std::cout << (o.json ? ScanJson(seen) : TerminalSafe(ScanText(seen)));
    if (seen.empty() && !o.json) std::cerr << kTextNotDetected << '\n';
    return seen.empty() ? cli_exit::kNotDetected : cli_exit::kReconfigured;
  }

  if (o.serials.size() > 1) return RunSeveral(o, platform, socket.get(), search_options, hooks);
  ReconfigSession session(sink, record, socket.get(), platform, search_options, &hooks);
  SetStartInProgress(true);
  const bool done = session.StartProcedure(o.serial);
  SetStartInProgress(false);
  const StartReport& report = session.report();
  if (o.json) {
    std::cout << StartJson(o.serial, report) << '\n';
  } else if (done) {
    std::cout << TerminalSafe(
        sink.message() + "\n\n" +
        cli_text::FoundAt(report.port.empty() ? report.address : report.port) + "\n");
    for (const std::string& place : report.alsoAt) {
      std::cout << TerminalSafe(cli_text::AlsoAnsweredAt(place)) << '\n';
    }
  } else {
    std::cerr << TerminalSafe(sink.message()) << '\n';
  }
  std::cout.flush();
  return ExitStatus(report.outcome);
}

}  // namespace
}  // namespace quillon

int main(int argc, char** argv) {
  quillon::EnsureStandardDescriptors();
  return quillon::Run(argc, argv);
}
