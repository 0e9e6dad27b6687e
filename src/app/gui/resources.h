// What the dialog program takes from its resources. On Windows they are the program's own
// (quillon.rc: icon group 128, string 103); elsewhere they are built in.
#pragma once

#include <wx/iconbndl.h>

#include <string>

namespace quillon {

// The tool's icon: 16 and 32 pixels; on Windows also 24, 48 and 256 (icon group 128).
wxIconBundle LoadAppIcon();

// String 103, "Fehler beim Initialisieren der Windows-Sockets.", as UTF-8: shown when the
// socket interface cannot be started.
std::string LoadSocketInitFailedText();

}  // namespace quillon
