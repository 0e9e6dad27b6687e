#include "app/gui/service_tool_app.h"

#include <wx/msgdlg.h>

#include <iostream>
#include <optional>

#include "app/cli_options.h"
#include "app/console.h"
#include "app/front_end.h"
#include "app/gui/main_dialog.h"
#include "app/gui/message_box.h"
#include "app/gui/resources.h"
#include "app/gui/session_end.h"
#include "app/help_words.h"
#include "link/datagram_socket.h"
#include "program/text_sanitizer.h"
#include "reconfig/messages.h"

namespace quillon {
namespace {

constexpr const char* kProgram = "quillon-reconfigurator";

// A message of start-up, before or without the dialog: no owner window.
void ShowStartupMessage(std::string_view text, MessageStyle style) {
  ShowMessageBox(nullptr, text, style);
}

void PrintUsageError(const std::string& reason) {
  std::cerr << kProgram << ": " << TerminalSafe(reason) << '\n';
}

// Runs the dialog once the socket interface is up.
int RunWithSockets(const std::vector<std::string>& args) {
  const CliParse parsed = ParseDialogCommandLine(args);
  if (!parsed.ok) {
    PrintUsageError(parsed.error);
    // A short sentence and what is wrong: the console's help does not fit a message box.
    ShowStartupMessage(
        std::string(kCaption) + " cannot start with the options it was given.\n\n" + parsed.error,
        MessageStyle::kError);
    return kExitUsage;
  }
  if (const std::optional<int> status = AnswerBeforeToolkit(parsed, std::cout)) return *status;

  const CliOptions& options = parsed.options;
  if (const std::string problem = NamedPortsProblem(options); !problem.empty()) {
    PrintUsageError(problem);
    ShowStartupMessage(problem, MessageStyle::kError);
    return kExitUsage;
  }
  MainDialog dialog(options);
  // A signal outside a Start ends the dialog at once; during one it stops the Start first.
  InstallInterruptHandlers(true);
  WatchSessionEnd();
  wxTheApp->SetTopWindow(&dialog);
  dialog.ShowModal();  // the end code is not used
  wxTheApp->SetTopWindow(nullptr);
  return kExitDone;  // the dialog is destroyed here, and with it the socket
}

}  // namespace

ServiceToolHooks SystemHooks() {
  return SocketInterface::System();
}

std::string DialogUsage() {
  const std::string port(PortValueName());
  return "usage: quillon-reconfigurator [--port " + port +
         "]... [--no-serial] [--no-udp] "
         "[--address IPV4]...\n"
         "       quillon-reconfigurator --help | --version\n"
         "\n"
         "Without options the dialog searches every serial port and the local IPv4 networks.\n"
         "\n" +
         DialogOptionHelp();
}

CliParse ParseDialogCommandLine(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const auto& a : args) argv.push_back(a.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), /*requireSerial=*/false);
}

std::optional<int> AnswerBeforeToolkit(const CliParse& parsed, std::ostream& out) {
  if (!parsed.ok) return std::nullopt;
  if (parsed.options.action == CliOptions::Action::kHelp) {
    out << DialogUsage();
    return kExitDone;
  }
  if (parsed.options.action == CliOptions::Action::kVersion) {
    out << kProgram << ' ' << kProductVersion << '\n';
    return kExitDone;
  }
  return std::nullopt;
}

int RunServiceTool(const std::vector<std::string>& args, const ServiceToolHooks& hooks) {
  const SocketInterface sockets(hooks);
  if (!sockets.started()) {
    ShowStartupMessage(LoadSocketInitFailedText(), MessageStyle::kError);
    return kExitSocketFailure;
  }
  return RunWithSockets(args);
}

bool ServiceToolApp::OnInit() {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i].utf8_str());
  m_exitStatus = RunServiceTool(args, SystemHooks());
  return true;  // so that wxEntry returns OnRun's value
}

int ServiceToolApp::OnRun() {
  return m_exitStatus;  // the dialog has run: no message loop after it
}

int ServiceToolApp::ExitStatus(int entryResult, const CliParse& parsed) {
  if (entryResult >= 0) return entryResult;
  if (!parsed.ok) {
    PrintUsageError(parsed.error);
    return kExitUsage;
  }
  return 1;
}

}  // namespace quillon
