// The password prompt on GTK 3: a plain top-level window (not a GtkDialog, so
// Escape has no binding) holding a masked GtkEntry whose primary icon is the
// key symbol.
#include <gtk/gtk.h>

#include "platform/gtk/startup_gtk.h"

namespace tessel::platform {
namespace {

constexpr int kClientWidth = 308;
constexpr int kClientHeight = 71;
constexpr int kEditLeft = 24;
constexpr int kEditTop = 24;
constexpr int kEditWidth = 257;
constexpr int kEditHeight = 21;
constexpr int kKeySize = 16;

struct PromptState {
  const PasswordKeyUp* key_up = nullptr;
  GMainLoop* loop = nullptr;
  GtkWidget* window = nullptr;
  bool accepted = false;
};

// A key lying on its side, head left, bit right, in `color`.
GdkPixbuf* DrawKey(const GdkRGBA& color) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kKeySize, kKeySize);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_arc(cr, 4.5, 8, 3.5, 0, 2 * G_PI);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 4.0, 8, 1.3, 0, 2 * G_PI);
  cairo_fill(cr);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  cairo_rectangle(cr, 7.5, 7, 8, 2);   // shaft
  cairo_rectangle(cr, 11, 9, 1.6, 3);  // teeth
  cairo_rectangle(cr, 14, 9, 1.6, 2.5);
  cairo_fill(cr);
  cairo_destroy(cr);
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, kKeySize, kKeySize);
  cairo_surface_destroy(surface);
  return pixbuf;
}

gboolean OnKeyRelease(GtkWidget* entry, GdkEventKey* /*event*/, gpointer data) {
  auto* state = static_cast<PromptState*>(data);
  if (state->accepted) return FALSE;
  bool accept = false;
  try {
    accept = (*state->key_up)(gtk_entry_get_text(GTK_ENTRY(entry)));
  } catch (...) {
    // Nothing may unwind through GTK; a failed comparison is no match.
  }
  if (accept) {
    state->accepted = true;
    gtk_widget_hide(state->window);
    g_main_loop_quit(state->loop);
  }
  return FALSE;
}

gboolean OnDelete(GtkWidget* /*window*/, GdkEvent* /*event*/, gpointer data) {
  g_main_loop_quit(static_cast<PromptState*>(data)->loop);
  return TRUE;  // destroyed by the caller once the loop has ended
}

// Keeps the edit box at its 21 pixels under any theme that does not say
// otherwise; the visual styles sit above this priority.
void FitEditHeight(GtkWidget* entry) {
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(
      provider, "entry { min-height: 19px; padding-top: 0; padding-bottom: 0; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(entry), GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION - 1);
  g_object_unref(provider);
}

}  // namespace

bool RunGtkPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) {
  PromptState state;
  state.key_up = &key_up;
  state.loop = g_main_loop_new(nullptr, FALSE);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  state.window = window;
  gchar* title = g_utf8_make_valid(caption.c_str(), -1);
  gtk_window_set_title(GTK_WINDOW(window), title);
  g_free(title);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);

  GtkWidget* client = gtk_fixed_new();
  gtk_widget_set_size_request(client, kClientWidth, kClientHeight);
  gtk_container_add(GTK_CONTAINER(window), client);

  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
  gtk_entry_set_invisible_char(GTK_ENTRY(entry), '*');
  gtk_entry_set_input_purpose(GTK_ENTRY(entry), GTK_INPUT_PURPOSE_PASSWORD);
  g_object_set(entry, "caps-lock-warning", FALSE, nullptr);
  gtk_widget_set_size_request(entry, kEditWidth, kEditHeight);
  FitEditHeight(entry);
  gtk_fixed_put(GTK_FIXED(client), entry, kEditLeft, kEditTop);

  // Drawn in the edit box's own text colour, so it follows the visual style.
  GdkRGBA color;
  gtk_style_context_get_color(gtk_widget_get_style_context(entry), GTK_STATE_FLAG_NORMAL, &color);
  GdkPixbuf* key = DrawKey(color);
  gtk_entry_set_icon_from_pixbuf(GTK_ENTRY(entry), GTK_ENTRY_ICON_PRIMARY, key);
  gtk_entry_set_icon_activatable(GTK_ENTRY(entry), GTK_ENTRY_ICON_PRIMARY, FALSE);
  g_object_unref(key);

  g_signal_connect(entry, "key-release-event", G_CALLBACK(OnKeyRelease), &state);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), &state);

  gtk_widget_show_all(window);
  gtk_widget_grab_focus(entry);
  gtk_window_present(GTK_WINDOW(window));
  g_main_loop_run(state.loop);

  gtk_widget_destroy(window);
  g_main_loop_unref(state.loop);
  // Lets the X server see the prompt go before the caller moves on.
  while (gtk_events_pending()) gtk_main_iteration();
  return state.accepted;
}

}  // namespace tessel::platform
