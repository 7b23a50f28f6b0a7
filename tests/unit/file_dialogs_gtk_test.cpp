// The GTK open and save dialogs, driven from inside while they run: what they
// show (title, filters, the preselected type, the overwrite prompt) and what
// they answer. Needs a display (run under xvfb-run); skips without one.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace tessel::platform {
namespace {

// What the user sees in the dialog.
struct Seen {
  std::string title;
  GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_OPEN;
  std::vector<std::string> filters;
  int selected_filter = -1;
  bool overwrite_prompt = false;
  std::string current_name;
};

GtkFileChooserDialog* OpenChooser() {
  GList* windows = gtk_window_list_toplevels();
  GtkFileChooserDialog* found = nullptr;
  for (GList* item = windows; item != nullptr; item = item->next) {
    if (GTK_IS_FILE_CHOOSER_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data))) {
      found = GTK_FILE_CHOOSER_DIALOG(item->data);
    }
  }
  g_list_free(windows);
  return found;
}

class FileDialogsGtkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One per process, as in the runtime: GTK initializes once.
    static const std::unique_ptr<Ui> ui = MakeNativeUi();
    ui_ = ui.get();
    if (!ui_->Initialize()) GTEST_SKIP() << "no display";
    dir_ = std::filesystem::temp_directory_path() / ("tessel-dialogs-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs `act` on the dialog once it is shown (from the dialog's own loop)
  // after recording what it shows.
  void WhenShown(std::function<void(GtkFileChooserDialog*)> act) {
    act_ = std::move(act);
    g_timeout_add(
        20,
        +[](gpointer data) -> gboolean {
          auto* self = static_cast<FileDialogsGtkTest*>(data);
          GtkFileChooserDialog* dialog = OpenChooser();
          if (dialog == nullptr) return G_SOURCE_CONTINUE;
          self->Record(dialog);
          self->act_(dialog);
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void Record(GtkFileChooserDialog* dialog) {
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    seen_.title = gtk_window_get_title(GTK_WINDOW(dialog));
    seen_.action = gtk_file_chooser_get_action(chooser);
    GSList* filters = gtk_file_chooser_list_filters(chooser);
    int index = 0;
    for (GSList* f = filters; f != nullptr; f = f->next, ++index) {
      seen_.filters.push_back(gtk_file_filter_get_name(GTK_FILE_FILTER(f->data)));
      if (f->data == gtk_file_chooser_get_filter(chooser)) seen_.selected_filter = index;
    }
    g_slist_free(filters);
    seen_.overwrite_prompt = gtk_file_chooser_get_do_overwrite_confirmation(chooser) != FALSE;
    if (seen_.action == GTK_FILE_CHOOSER_ACTION_SAVE) {
      gchar* name = gtk_file_chooser_get_current_name(chooser);
      seen_.current_name = name != nullptr ? name : "";
      g_free(name);
    }
  }

  // Selects the filter at `index` and confirms `path`, once the chooser has
  // taken it (it loads folders asynchronously).
  static void Choose(GtkFileChooserDialog* dialog, int index, const std::string& path) {
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    GSList* filters = gtk_file_chooser_list_filters(chooser);
    gtk_file_chooser_set_filter(chooser, GTK_FILE_FILTER(g_slist_nth_data(filters, index)));
    g_slist_free(filters);
    gtk_file_chooser_set_filename(chooser, path.c_str());
    g_timeout_add(
        20,
        +[](gpointer data) -> gboolean {
          auto* dialog = static_cast<GtkDialog*>(data);
          gchar* chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
          if (chosen == nullptr) return G_SOURCE_CONTINUE;
          g_free(chosen);
          gtk_dialog_response(dialog, GTK_RESPONSE_ACCEPT);
          return G_SOURCE_REMOVE;
        },
        dialog);
  }

  Ui* ui_ = nullptr;
  std::filesystem::path dir_;
  std::function<void(GtkFileChooserDialog*)> act_;
  Seen seen_;
};

TEST_F(FileDialogsGtkTest, OpenShowsTheFiltersAndReportsTheChosenFileAndType) {
  const std::string file = (dir_ / "notes.txt").string();
  std::ofstream(file) << "x";
  FileDialogOptions options;
  options.title = "Pick a file";
  options.filters = {{"Text files", "*.txt"}, {"All files", "*.*"}};
  options.type_index = 2;
  WhenShown([&](GtkFileChooserDialog* dialog) { Choose(dialog, 0, file); });

  const std::optional<std::string> chosen = ui_->OpenFileDialog(options);
  EXPECT_EQ(chosen, file);
  EXPECT_EQ(seen_.title, "Pick a file");
  EXPECT_EQ(seen_.action, GTK_FILE_CHOOSER_ACTION_OPEN);
  EXPECT_EQ(seen_.filters, (std::vector<std::string>{"Text files", "All files"}));
  EXPECT_EQ(seen_.selected_filter, 1);  // the type index passed in
  EXPECT_FALSE(seen_.overwrite_prompt);
  EXPECT_EQ(options.type_index, 1u);  // the type chosen in the dialog
}

TEST_F(FileDialogsGtkTest, SaveWithoutFiltersPrefillsTheNameAndAsksBeforeReplacing) {
  FileDialogOptions options;
  options.file_name = "report.csv";
  options.overwrite_prompt = true;
  options.type_index = 3;
  WhenShown([](GtkFileChooserDialog* dialog) {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  });

  EXPECT_EQ(ui_->SaveFileDialog(options), std::nullopt);
  EXPECT_FALSE(seen_.title.empty());  // the platform's own title
  EXPECT_EQ(seen_.action, GTK_FILE_CHOOSER_ACTION_SAVE);
  EXPECT_TRUE(seen_.filters.empty());
  EXPECT_TRUE(seen_.overwrite_prompt);
  EXPECT_EQ(seen_.current_name, "report.csv");
  EXPECT_EQ(options.type_index, 3u);  // no types: left as it was
}

TEST_F(FileDialogsGtkTest, MasksMatchAsWindowsReadsThemAndAnIndexBeyondTheListPicksTheFirst) {
  FileDialogOptions options;
  options.filters = {{"Text", "*.TXT"}, {"Everything", "*.*"}, {"Nothing given", ""}};
  options.type_index = 7;
  std::vector<std::vector<bool>> matches;
  WhenShown([&](GtkFileChooserDialog* dialog) {
    GSList* filters = gtk_file_chooser_list_filters(GTK_FILE_CHOOSER(dialog));
    for (GSList* f = filters; f != nullptr; f = f->next) {
      std::vector<bool>& row = matches.emplace_back();
      for (const char* name : {"a.txt", "B.Txt", "README", "a.txt.bak"}) {
        GtkFileFilterInfo info{};
        info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
        info.display_name = name;
        row.push_back(gtk_file_filter_filter(GTK_FILE_FILTER(f->data), &info) != FALSE);
      }
    }
    g_slist_free(filters);
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  });

  EXPECT_EQ(ui_->OpenFileDialog(options), std::nullopt);
  EXPECT_EQ(seen_.selected_filter, 0);
  EXPECT_EQ(options.type_index, 1u);
  EXPECT_EQ(matches,
            (std::vector<std::vector<bool>>{
                {true, true, false, false}, {true, true, true, true}, {true, true, true, true}}));
}

}  // namespace
}  // namespace tessel::platform
