#include <wx/msgdlg.h>

#include "app/gui/main_dialog.h"
#include "app/gui/message_box.h"
#include "reconfig/messages.h"

namespace quillon {

// MessageBox draws the icon of the style itself.
void ShowMessageBox(wxWindow* owner, std::string_view text, int style) {
  wxMessageBox(wxString::FromUTF8(text.data(), text.size()),
               wxString::FromUTF8(kCaption.data(), kCaption.size()), MessageBoxStyle(style), owner);
}

}  // namespace quillon
