// The tool's own icon, 32 x 32 and 16 x 16 pixels (on Windows also icon group 128 of the
// program's resources, for the file manager).
#pragma once

#include <wx/iconbndl.h>

namespace quillon {

wxIconBundle LoadAppIcon();

}  // namespace quillon
