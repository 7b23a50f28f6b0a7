// The start-up UI on Linux: GTK windows, the GTK theme's colours for the
// classic system colour indexes, and the elevated run through pkexec.
#include <gtk/gtk.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/gtk/startup_gtk.h"
#include "platform/ui.h"

namespace tessel::platform {
namespace {

// The GTK theme's named colour standing in for a classic system colour
// index: the selection colour for the highlight and hot-track colours, the
// window and view colours for the faces, the theme's borders for shadows and
// frames. Indexes without a counterpart (desktop, tooltip) have none.
const char* ThemeColorName(int index) {
  switch (index) {
    case 2:   // active caption
    case 13:  // highlight
    case 26:  // hot-track
    case 27:  // active caption gradient
    case 29:  // menu highlight
      return "theme_selected_bg_color";
    case 14:  // highlight text
      return "theme_selected_fg_color";
    case 5:   // window
    case 20:  // button highlight
    case 22:  // 3-D light
      return "theme_base_color";
    case 7:   // menu text
    case 8:   // window text
    case 9:   // caption text
    case 18:  // button text
      return "theme_fg_color";
    case 17:  // grey text
    case 19:  // inactive caption text
      return "insensitive_fg_color";
    case 0:   // scroll bar
    case 3:   // inactive caption
    case 4:   // menu
    case 10:  // active border
    case 11:  // inactive border
    case 12:  // application workspace
    case 15:  // button face
    case 28:  // inactive caption gradient
    case 30:  // menu bar
      return "theme_bg_color";
    case 6:   // window frame
    case 16:  // button shadow
    case 21:  // 3-D dark shadow
      return "borders";
    default:
      return nullptr;
  }
}

std::uint8_t Channel(double value) {
  if (value <= 0) return 0;
  if (value >= 1) return 255;
  return static_cast<std::uint8_t>(std::lround(value * 255));
}

struct ChildWait {
  GMainLoop* loop = nullptr;
  int status = 0;
};

void OnChildExit(GPid pid, gint status, gpointer data) {
  auto* wait = static_cast<ChildWait*>(data);
  wait->status = status;
  g_spawn_close_pid(pid);
  g_main_loop_quit(wait->loop);
}

class GtkStartupUi : public StartupUi {
 public:
  bool RunPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) override {
    if (!CurrentUi().Initialize()) {
      std::fprintf(stderr, "%s: the password prompt needs a display\n", caption.c_str());
      return false;
    }
    return RunGtkPasswordPrompt(caption, key_up);
  }

  std::unique_ptr<InstallerSplash> CreateInstallerSplash(const InstallerSplashLook& look) override {
    if (!CurrentUi().Initialize()) return MakeHeadlessInstallerSplash();
    return MakeGtkInstallerSplash(look);
  }

  std::optional<RgbColor> SystemColor(int index) override {
    const char* name = ThemeColorName(index);
    if (name == nullptr || !CurrentUi().Initialize()) return std::nullopt;
    // A window that is never shown carries the screen's style: the GTK theme
    // and the visual style applied on top of it.
    GtkWidget* probe = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GdkRGBA rgba;
    const bool found =
        gtk_style_context_lookup_color(gtk_widget_get_style_context(probe), name, &rgba) != FALSE;
    gtk_widget_destroy(probe);
    if (!found) return std::nullopt;
    return RgbColor{Channel(rgba.red), Channel(rgba.green), Channel(rgba.blue)};
  }

  // Administrator rights on Linux come from pkexec (polkit), which asks the
  // user through the desktop's authentication agent; a process that already
  // runs as root starts the program directly. The nested loop keeps GTK
  // drawing; a child watch, not polling, tells when the program has ended.
  std::uint32_t RunAsAdminAndWait(const std::string& file, const std::string& params) override {
    if (file.empty() || !g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR)) return 0;
    std::vector<std::string> words;
    if (geteuid() != 0) {
      gchar* pkexec = g_find_program_in_path("pkexec");
      if (pkexec == nullptr) return 0;
      words.emplace_back(pkexec);
      g_free(pkexec);
    }
    words.push_back(file);
    if (!params.empty()) {
      gchar** parsed = nullptr;
      if (!g_shell_parse_argv(params.c_str(), nullptr, &parsed, nullptr)) return 0;
      for (gchar** p = parsed; *p != nullptr; ++p) words.emplace_back(*p);
      g_strfreev(parsed);
    }
    std::vector<gchar*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    GPid pid = 0;
    if (!g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                       &pid, nullptr)) {
      return 0;
    }
    ChildWait wait;
    wait.loop = g_main_loop_new(nullptr, FALSE);
    g_child_watch_add(pid, OnChildExit, &wait);
    g_main_loop_run(wait.loop);
    g_main_loop_unref(wait.loop);
    if (WIFEXITED(wait.status)) return static_cast<std::uint32_t>(WEXITSTATUS(wait.status));
    // Killed by a signal: the shell's convention.
    return 128U + static_cast<std::uint32_t>(WTERMSIG(wait.status));
  }
};

}  // namespace

std::unique_ptr<StartupUi> MakeNativeStartupUi() { return std::make_unique<GtkStartupUi>(); }

}  // namespace tessel::platform
