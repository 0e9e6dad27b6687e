#include <wx/msgdlg.h>

#include <string>

#include "app/gui/main_dialog.h"
#include "app/gui/message_box.h"
#include "program/text_sanitizer.h"
#include "reconfig/messages.h"

namespace quillon {

// MessageBox draws the icon of the style itself.
void ShowMessageBox(wxWindow* owner, std::string_view text, MessageStyle style) {
  // A text that is not valid UTF-8 would show as an empty box: a port's or a holder's name may
  // carry any bytes.
  const std::string shown = ValidUtf8(text);
  wxMessageBox(wxString::FromUTF8(shown.data(), shown.size()),
               wxString::FromUTF8(kCaption.data(), kCaption.size()), MessageBoxStyle(style), owner);
}

}  // namespace quillon
