// quillon-reconfigurator: the dialog.

#include <wx/app.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/gui/service_tool_app.h"
#include "link/platform.h"

using quillon::ServiceToolApp;
wxIMPLEMENT_APP_NO_MAIN(ServiceToolApp);

int main(int argc, char** argv) {
  quillon::EnsureStandardDescriptors();
  // --help and --version need no window: answered before the toolkit, which needs a display.
  const std::vector<std::string> args(argv, argv + argc);
  const quillon::CliParse parsed = quillon::ParseDialogCommandLine(args);
  if (const std::optional<int> status = quillon::AnswerBeforeToolkit(parsed, std::cout)) {
    return *status;
  }
  const int entry_result = wxEntry(argc, argv);
  return ServiceToolApp::ExitStatus(entry_result, parsed);
}
