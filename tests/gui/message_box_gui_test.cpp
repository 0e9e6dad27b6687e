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
  gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
  return G_SOURCE_REMOVE;
}

TEST(MessageBox, ShowsTheIconOfItsStyle) {
  QUILLON_REQUIRE_GUI();
  for (const auto& [style, icon] : {std::pair{kStyleError, "dialog-warning"},
                                    std::pair{kStyleInformation, "dialog-information"}}) {
    SCOPED_TRACE(icon);
    Seen seen;
    g_timeout_add(10, Inspect, &seen);
    ShowMessageBox(nullptr, kTextUnknownError, style);
    EXPECT_EQ(seen.iconName, icon);
    EXPECT_TRUE(seen.visible);
    EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), icon))
        << "the icon theme has no such image: the box would show a placeholder";
  }
}

}  // namespace
}  // namespace quillon
