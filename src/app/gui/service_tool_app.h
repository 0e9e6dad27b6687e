// The application object and the start-up it runs: start the socket interface, read the
// options that the dialog shares with the command line, run the dialog modally. There is no
// message loop of the application's own after it.
#pragma once

#include <wx/app.h>

#include <string>
#include <vector>

namespace quillon {

// What start-up needs of the system, replaceable so that tests can make it fail.
struct ServiceToolHooks {
  bool (*startSocketInterface)();
  void (*stopSocketInterface)();
};
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

class ServiceToolApp final : public wxApp {
 public:
  // Runs the whole tool and returns false, so that the toolkit ends the process.
  bool OnInit() override;

  // The exit status for main(): the tool's, or 1 when the toolkit could not even start
  // (no display), given wxEntry's result.
  static int ExitStatus(int entryResult);
};

}  // namespace quillon
