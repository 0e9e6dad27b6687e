#include "app/gui/app_icon.h"

#include <wx/bitmap.h>
#include <wx/icon.h>

#include "app/gui/quillon_16.xpm"
#include "app/gui/quillon_32.xpm"

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

}  // namespace quillon
