#include "platform/gtk/style_sheet_gtk.h"

#include <gtk/gtk.h>

#include <cstdio>

#include "platform/style_sheets.h"

namespace tessel::platform {
namespace {

// The provider on the screen now; a new style takes its place.
GtkCssProvider* g_applied = nullptr;

}  // namespace

bool ApplyGtkStyleSheet(const std::string& name, bool display) {
  const auto css = FindStyleSheet(name);
  if (!css) return false;
  GtkCssProvider* provider = gtk_css_provider_new();
  GError* error = nullptr;
  if (!gtk_css_provider_load_from_data(provider, css->data(), static_cast<gssize>(css->size()),
                                       &error)) {
    std::fprintf(stderr, "style '%s': %s\n", name.c_str(), error ? error->message : "");
    if (error) g_error_free(error);
    g_object_unref(provider);
    return false;
  }
  GdkScreen* screen = display ? gdk_screen_get_default() : nullptr;
  if (screen == nullptr) {
    g_object_unref(provider);
    return true;
  }
  if (g_applied != nullptr) {
    gtk_style_context_remove_provider_for_screen(screen, GTK_STYLE_PROVIDER(g_applied));
    g_object_unref(g_applied);
  }
  // Above the theme and the user's settings, below the user's own gtk.css.
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_applied = provider;
  return true;
}

}  // namespace tessel::platform
