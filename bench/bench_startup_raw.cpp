// The floor for bench_startup: the same app opened straight from disk by a
// minimal WebKitGTK program (an 800x600 window holding a web view that loads
// file://<folder>/index.html), with nothing of ours in between. Prints
// "loaded" when the first navigation has finished, then quits.
// Usage: bench_startup_raw FOLDER
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <string>

namespace {

void LoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  std::puts("loaded");
  std::fflush(stdout);
  gtk_main_quit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "usage: bench_startup_raw FOLDER (with a display)\n");
    return 2;
  }
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  GtkWidget* view = webkit_web_view_new();
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(view, "load-changed", G_CALLBACK(LoadChanged), nullptr);
  gtk_widget_show_all(window);
  const std::string uri = std::string("file://") + argv[1] + "/index.html";
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), uri.c_str());
  gtk_main();
  gtk_widget_destroy(window);
  return 0;
}
