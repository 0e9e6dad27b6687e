// The native GTK message box tells an error from an information at a glance: it carries the
// icon theme's warning or information image.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "app/gui/message_box.h"
#include "gui/gui_environment.h"
#include "reconfig/messages.h"

namespace quillon {
namespace {

struct Seen {
  std::string iconName;
  std::string text;
  bool visible = false;
  int looks = 0;
};

// Finds the box on screen, reads its image and answers it with OK.
gboolean Inspect(gpointer data) {
  auto* seen = static_cast<Seen*>(data);
  if (++seen->looks > 300) return G_SOURCE_REMOVE;  // 3 s: the box never showed
  GList* windows = gtk_window_list_toplevels();
  GtkWidget* box = nullptr;
  for (GList* w = windows; w != nullptr; w = w->next) {
    if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
      box = GTK_WIDGET(w->data);
    }
  }
  g_list_free(windows);
  if (box == nullptr) return G_SOURCE_CONTINUE;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GtkWidget* image = gtk_message_dialog_get_image(GTK_MESSAGE_DIALOG(box));
  G_GNUC_END_IGNORE_DEPRECATIONS
  const gchar* name = nullptr;
  if (image != nullptr && GTK_IS_IMAGE(image))
    gtk_image_get_icon_name(GTK_IMAGE(image), &name, nullptr);
  // Not decorated yet: look again, for a second at the most.
  if (name == nullptr && seen->looks < 100) return G_SOURCE_CONTINUE;
  if (name != nullptr) {
    seen->iconName = name;
    seen->visible = gtk_widget_get_visible(image);
  }
  gchar* text = nullptr;
  g_object_get(box, "text", &text, nullptr);
  if (text != nullptr) seen->text = text;
  g_free(text);
  gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
  return G_SOURCE_REMOVE;
}

// A text with bytes from outside (a holder's name, a USB string) shows with replacement
// characters, never as an empty box.
TEST(MessageBox, ShowsTheIconOfItsStyleAndItsWholeText) {
  QUILLON_REQUIRE_GUI();
  struct Case {
    MessageStyle style;
    const char* icon;
    std::string_view text;
    std::string_view shown;
  };
  const Case cases[] = {
      {MessageStyle::kError, "dialog-warning", kTextUnknownError, kTextUnknownError},
      {MessageStyle::kInformation, "dialog-information", kTextNotDetected, kTextNotDetected},
      {MessageStyle::kError, "dialog-warning", "busy (\x1b[2Jterm\xff, pid 7)",
       "busy (\xEF\xBF\xBD[2Jterm\xEF\xBF\xBD, pid 7)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    const MessageStyle style = c.style;
    const char* icon = c.icon;
    Seen seen;
    g_timeout_add(10, Inspect, &seen);
    ShowMessageBox(nullptr, c.text, style);
    EXPECT_NE(seen.text.find(c.shown), std::string::npos) << seen.text;
    EXPECT_EQ(seen.iconName, icon);
    EXPECT_TRUE(seen.visible);
    EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), icon))
        << "the icon theme has no such image: the box would show a placeholder";
  }
}

}  // namespace
}  // namespace quillon
