// The resources built into the program: the icon from XPM images, the texts from messages.h.
#include <wx/bitmap.h>
#include <wx/icon.h>

#include "app/gui/quillon_16.xpm"
#include "app/gui/quillon_32.xpm"
#include "app/gui/resources.h"
#include "reconfig/messages.h"

namespace quillon {

wxIconBundle LoadAppIcon() {
  wxIconBundle bundle;
  for (const char* const* xpm : {quillon_32_xpm, quillon_16_xpm}) {
    wxIcon icon;
    icon.CopyFromBitmap(wxBitmap(xpm));
    bundle.AddIcon(icon);
  }
  return bundle;
}

std::string LoadSocketInitFailedText() {
  return std::string(kTextSocketInitFailed);
}

}  // namespace quillon
