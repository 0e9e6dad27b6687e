// The application object and the start-up it runs: start the socket interface, read the
// options that the dialog shares with the command line, run the dialog modally. There is no
// message loop of the application's own after it.
#pragma once

#include <wx/app.h>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "link/datagram_socket.h"

namespace quillon {

// What start-up needs of the system: the socket interface's start and stop, replaceable so that
// tests can make it fail.
using ServiceToolHooks = SocketInterface::Calls;
ServiceToolHooks SystemHooks();

// Exit statuses of the dialog program.
inline constexpr int kExitDone = 0;           // the dialog ran (whatever its outcome)
inline constexpr int kExitSocketFailure = 1;  // the socket interface could not be started
inline constexpr int kExitUsage = 2;          // a usage error

// Runs the tool inside an initialised toolkit; args[0] is the program name. Returns the exit
// status.
int RunServiceTool(const std::vector<std::string>& args, const ServiceToolHooks& hooks);

// The usage text of the dialog program.
std::string DialogUsage();

// The dialog's command line (args[0] is the program name): the options it shares with the
// command line; --serial, --list-ports and --verbose are usage errors here.
CliParse ParseDialogCommandLine(const std::vector<std::string>& args);

// What main() answers before the toolkit starts, so that it works without a display: --help and
// --version print to `out` and give kExitDone. Empty for everything else.
std::optional<int> AnswerBeforeToolkit(const CliParse& parsed, std::ostream& out);

class ServiceToolApp final : public wxApp {
 public:
  // Runs the whole tool and keeps its exit status.
  bool OnInit() override;
  // Gives that status, without a message loop: wxEntry returns it.
  int OnRun() override;

  // The exit status for main(), given wxEntry's result and the command line: the tool's, which
  // wxEntry returns once the tool has run; when the toolkit could not even start (no display,
  // wxEntry gives -1), kExitUsage for a command line in error (its reason goes to standard
  // error, as no message box can show it), else 1.
  static int ExitStatus(int entryResult, const CliParse& parsed);

 private:
  int m_exitStatus = 1;
};

}  // namespace quillon
