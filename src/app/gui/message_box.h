// The tool's message boxes: the system's own, owned by the dialog (or by nobody at start-up),
// captioned as every message of the tool, with an OK button and the exclamation icon
// (MessageStyle::kError) or the information icon (MessageStyle::kInformation). One implementation
// per toolkit platform (message_box_gtk.cpp, message_box_msw.cpp).
#pragma once

#include <string_view>

#include "reconfig/messages.h"

class wxWindow;

namespace quillon {

void ShowMessageBox(wxWindow* owner, std::string_view text, MessageStyle style);

}  // namespace quillon
