// GTK 3's message dialog draws no icon for its message type, so an error and an information
// look the same. While the native box is up, it is given the icon theme's image for its style,
// as the deprecated but still working gtk_message_dialog_set_image allows.

#include <gtk/gtk.h>
#include <wx/msgdlg.h>

#include <string>

#include "app/gui/main_dialog.h"
#include "app/gui/message_box.h"
#include "program/text_sanitizer.h"
#include "reconfig/messages.h"

namespace quillon {
namespace {

constexpr guint kLookEveryMs = 10;
constexpr const char* kDecorated = "quillon-icon";

struct PendingIcon {
  const char* iconName;
  bool waiting = true;  // the box has not been decorated yet
};

// Gives every message dialog on screen that has no icon of ours yet this one.
gboolean Decorate(gpointer data) {
  auto* pending = static_cast<PendingIcon*>(data);
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) {
    if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
    if (g_object_get_data(G_OBJECT(w->data), kDecorated) != nullptr) continue;
    GtkWidget* image = gtk_image_new_from_icon_name(pending->iconName, GTK_ICON_SIZE_DIALOG);
    gtk_widget_show(image);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(w->data), image);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_object_set_data(G_OBJECT(w->data), kDecorated, const_cast<char*>(pending->iconName));
    pending->waiting = false;
  }
  g_list_free(windows);
  return pending->waiting ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace

void ShowMessageBox(wxWindow* owner, std::string_view text, MessageStyle style) {
  PendingIcon pending{style == MessageStyle::kInformation ? "dialog-information"
                                                          : "dialog-warning"};
  const guint source = g_timeout_add(kLookEveryMs, Decorate, &pending);
  // A text that is not valid UTF-8 would show as an empty box: a port's or a holder's name may
  // carry any bytes.
  const std::string shown = ValidUtf8(text);
  wxMessageBox(wxString::FromUTF8(shown.data(), shown.size()),
               wxString::FromUTF8(kCaption.data(), kCaption.size()), MessageBoxStyle(style), owner);
  // A box that never showed (a test's hook answered it) leaves the timer waiting.
  if (pending.waiting) g_source_remove(source);
}

}  // namespace quillon
