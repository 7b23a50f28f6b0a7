// The open and save dialogs on GTK 3: the GTK file chooser, modal over the
// active window.
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "platform/gtk/gtk_ui.h"

namespace tessel::platform {
namespace {

std::string ValidUtf8(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

// A mask as the Windows dialogs read it, as a GTK glob: "*.*" is every file
// (GTK's glob would want a dot), letters match in either case, and an empty
// mask shows every file rather than none.
std::string GlobFor(const std::string& mask) {
  if (mask.empty() || mask == "*.*") return "*";
  std::string glob;
  for (const char c : mask) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter) {
      glob += c;
      continue;
    }
    glob += '[';
    glob += g_ascii_tolower(c);
    glob += g_ascii_toupper(c);
    glob += ']';
  }
  return glob;
}

// The window the dialog belongs to: the active one, else the first shown
// normal window.
GtkWindow* OwnerWindow() {
  GList* windows = gtk_window_list_toplevels();
  GtkWindow* owner = nullptr;
  for (GList* item = windows; item != nullptr; item = item->next) {
    GtkWindow* window = GTK_WINDOW(item->data);
    if (!gtk_widget_get_visible(GTK_WIDGET(window))) continue;
    if (gtk_window_get_window_type(window) != GTK_WINDOW_TOPLEVEL) continue;
    if (gtk_window_is_active(window)) {
      owner = window;
      break;
    }
    if (owner == nullptr) owner = window;
  }
  g_list_free(windows);
  return owner;
}

std::optional<std::string> RunFileChooser(bool save, FileDialogOptions& options) {
  const std::string title =
      !options.title.empty() ? ValidUtf8(options.title)
                             : std::string(g_dgettext("gtk30", save ? "Save File" : "Open File"));
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      title.c_str(), OwnerWindow(),
      save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN,
      g_dgettext("gtk30", "_Cancel"), GTK_RESPONSE_CANCEL,
      g_dgettext("gtk30", save ? "_Save" : "_Open"), GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_local_only(chooser, TRUE);

  std::vector<GtkFileFilter*> filters;
  for (const FileDialogFilter& item : options.filters) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, ValidUtf8(item.description).c_str());
    gtk_file_filter_add_pattern(filter, GlobFor(ValidUtf8(item.pattern)).c_str());
    // The chooser sinks the floating reference; ours keeps the pointer valid
    // for the index lookup after the dialog has run.
    filters.push_back(GTK_FILE_FILTER(g_object_ref_sink(filter)));
    gtk_file_chooser_add_filter(chooser, filter);
  }
  if (!filters.empty()) {
    const std::size_t index =
        options.type_index >= 1 && options.type_index <= filters.size() ? options.type_index : 1;
    gtk_file_chooser_set_filter(chooser, filters[index - 1]);
  }

  if (!options.file_name.empty()) {
    const std::string name = ValidUtf8(options.file_name);
    if (g_path_is_absolute(name.c_str())) {
      gtk_file_chooser_set_filename(chooser, name.c_str());
      if (save) {
        gchar* base = g_path_get_basename(name.c_str());
        gtk_file_chooser_set_current_name(chooser, base);
        g_free(base);
      }
    } else if (save) {
      gtk_file_chooser_set_current_name(chooser, name.c_str());
    }
    // An open dialog has no name field to prefill with a bare name.
  }
  gtk_file_chooser_set_do_overwrite_confirmation(chooser,
                                                 save && options.overwrite_prompt ? TRUE : FALSE);

  g_object_ref(dialog);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  std::optional<std::string> chosen;
  if (response == GTK_RESPONSE_ACCEPT) {
    if (gchar* file = gtk_file_chooser_get_filename(chooser)) {
      chosen = file;
      g_free(file);
    }
  }
  if (!filters.empty()) {
    GtkFileFilter* selected = gtk_file_chooser_get_filter(chooser);
    for (std::size_t i = 0; i < filters.size(); ++i) {
      if (filters[i] == selected) options.type_index = i + 1;
    }
  }
  gtk_widget_destroy(dialog);
  g_object_unref(dialog);
  for (GtkFileFilter* filter : filters) g_object_unref(filter);
  return chosen;
}

}  // namespace

std::optional<std::string> GtkUi::OpenFileDialog(FileDialogOptions& options) {
  if (!Initialize()) return std::nullopt;
  return RunFileChooser(false, options);
}

std::optional<std::string> GtkUi::SaveFileDialog(FileDialogOptions& options) {
  if (!Initialize()) return std::nullopt;
  return RunFileChooser(true, options);
}

}  // namespace tessel::platform
