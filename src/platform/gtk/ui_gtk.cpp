#include <gtk/gtk.h>

#include <clocale>
#include <cstdio>

#include "platform/gtk/gtk_ui.h"
#include "platform/gtk/style_sheet_gtk.h"

namespace tessel::platform {
namespace {

const char* IconName(DialogIcon icon) {
  switch (icon) {
    case DialogIcon::Warning:
      return "dialog-warning";
    case DialogIcon::Error:
      return "dialog-error";
    case DialogIcon::Information:
      return "dialog-information";
    case DialogIcon::None:
      return nullptr;
  }
  return nullptr;
}

// GTK's own labels, with mnemonics, translated through GTK's catalogue where
// it carries them (Yes, No, OK, Cancel, Help, Close).
const char* PlatformCaption(DialogButton button) {
  switch (button) {
    case DialogButton::Yes:
      return "_Yes";
    case DialogButton::No:
      return "_No";
    case DialogButton::OK:
      return "_OK";
    case DialogButton::Cancel:
      return "_Cancel";
    case DialogButton::Abort:
      return "_Abort";
    case DialogButton::Retry:
      return "_Retry";
    case DialogButton::Ignore:
      return "_Ignore";
    case DialogButton::All:
      return "_All";
    case DialogButton::NoToAll:
      return "N_o to All";
    case DialogButton::YesToAll:
      return "Yes to _All";
    case DialogButton::Help:
      return "_Help";
    case DialogButton::Close:
      return "_Close";
  }
  return "";
}

// GtkDialog binds Escape to its "close" signal, whose default handler fakes a
// delete event; stopping it here keeps Escape apart from the close box.
void OnEscape(GtkDialog* dialog, gpointer data) {
  g_signal_stop_emission_by_name(dialog, "close");
  const auto* layout = static_cast<const DialogLayout*>(data);
  if (layout->escape_result != mrNone) gtk_dialog_response(dialog, layout->escape_result);
}

void QuitLoop(GtkWidget* /*window*/, gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
}

// GTK refuses text that is not UTF-8; a setting's value may reach a dialog.
std::string ValidUtf8(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), -1);
  std::string out(valid);
  g_free(valid);
  return out;
}

// Lets the X server see a destroyed window go before the caller moves on
// (for instance to end the process).
void FlushPendingEvents() {
  while (gtk_events_pending()) gtk_main_iteration();
}

}  // namespace

bool GtkUi::Initialize() {
  if (initialized_) return display_;
  initialized_ = true;
  // gtk_init would set every locale category from the environment; numbers
  // must keep parsing and printing the same way in the rest of the program,
  // so only the categories GTK needs for text and translations are taken.
  gtk_disable_setlocale();
  std::setlocale(LC_CTYPE, "");
  std::setlocale(LC_MESSAGES, "");
  display_ = gtk_init_check(nullptr, nullptr) != FALSE;
  return display_;
}

int GtkUi::MessageDialog(const std::string& text, DialogType type,
                         const std::vector<DialogButton>& buttons,
                         const std::vector<std::string>& captions, const std::string& title) {
  const DialogLayout layout = LayOutDialog(type, buttons, captions);
  if (!Initialize()) {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    return layout.close_box_result;
  }
  return RunDialog(text, layout, title);
}

void GtkUi::ErrorBox(const std::string& text, const std::string& caption) {
  DialogLayout layout = LayOutDialog(DialogType::Error, {DialogButton::OK}, {});
  // A system message box with only OK is dismissed by Escape too.
  layout.escape_result = mrOk;
  if (!Initialize()) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return;
  }
  RunDialog(text, layout, caption);
}

bool GtkUi::ApplyStyle(const std::string& name) {
  // The style sheet goes onto the screen, so every window and dialog of the
  // process takes it, the web view's frame included.
  if (!ApplyGtkStyleSheet(name, Initialize())) return false;
  style_ = name;
  return true;
}

void GtkUi::RunPlainMainWindow(const std::string& caption) {
  if (!Initialize()) return;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), ValidUtf8(WindowSystemTitle(caption)).c_str());
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  // The close box's default handling destroys the window.
  g_signal_connect(window, "destroy", G_CALLBACK(QuitLoop), loop);
  gtk_widget_show_all(window);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  FlushPendingEvents();
}

int GtkUi::RunDialog(const std::string& text, const DialogLayout& layout,
                     const std::string& title) {
  GtkWidget* widget = GTK_WIDGET(g_object_new(GTK_TYPE_DIALOG, "use-header-bar", FALSE, nullptr));
  GtkDialog* dialog = GTK_DIALOG(widget);
  GtkWindow* window = GTK_WINDOW(widget);
  gtk_window_set_title(window, ValidUtf8(WindowSystemTitle(title)).c_str());
  gtk_window_set_modal(window, TRUE);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_keep_above(window, TRUE);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(row), 12);
  if (const char* icon = IconName(layout.icon)) {
    GtkWidget* image = gtk_image_new_from_icon_name(icon, GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
  }
  GtkWidget* label = gtk_label_new(ValidUtf8(text).c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0F);
  gtk_widget_set_valign(label, GTK_ALIGN_CENTER);
  gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(dialog)), row, TRUE, TRUE, 0);

  // Response ids are the modal results: all positive, so none collides with
  // GTK's own (negative) responses.
  for (const LaidOutButton& b : layout.buttons) {
    // A caller's caption is shown as given; only the platform's carry mnemonics.
    GtkWidget* button =
        b.caption ? gtk_button_new_with_label(ValidUtf8(*b.caption).c_str())
                  : gtk_button_new_with_mnemonic(g_dgettext("gtk30", PlatformCaption(b.button)));
    gtk_widget_set_can_default(button, TRUE);
    gtk_widget_show(button);
    gtk_dialog_add_action_widget(dialog, button, b.modal_result);
  }
  gtk_dialog_set_default_response(dialog, layout.default_result);
  g_signal_connect(dialog, "close", G_CALLBACK(OnEscape), const_cast<DialogLayout*>(&layout));

  gtk_widget_show_all(row);
  if (GtkWidget* def = gtk_dialog_get_widget_for_response(dialog, layout.default_result)) {
    gtk_widget_grab_focus(def);
  }
  // Our own reference keeps the widget valid even if something destroys the
  // window while it runs.
  g_object_ref(widget);
  const int response = gtk_dialog_run(dialog);
  gtk_widget_destroy(widget);
  g_object_unref(widget);
  FlushPendingEvents();
  // Anything but a button (close box, window manager, destruction) is the
  // close box's answer.
  return response > 0 ? response : layout.close_box_result;
}

std::unique_ptr<Ui> MakeNativeUi() { return std::make_unique<GtkUi>(); }

}  // namespace tessel::platform
