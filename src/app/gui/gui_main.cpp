// quillon-reconfigurator: the dialog.

#include <wx/app.h>

#include "app/gui/service_tool_app.h"

using quillon::ServiceToolApp;
wxIMPLEMENT_APP_NO_MAIN(ServiceToolApp);

int main(int argc, char** argv) {
  return ServiceToolApp::ExitStatus(wxEntry(argc, argv));
}
