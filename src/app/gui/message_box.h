// The tool's message boxes: the system's own, owned by the dialog (or by nobody at start-up),
// captioned as every message of the tool, with an OK button and the exclamation icon (style 48)
// or the information icon (style 64). One implementation per toolkit platform
// (message_box_gtk.cpp, message_box_msw.cpp).
#pragma once

#include <string_view>

class wxWindow;

namespace quillon {

void ShowMessageBox(wxWindow* owner, std::string_view text, int style);

}  // namespace quillon
