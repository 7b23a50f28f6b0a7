// The web view component against raw WebKitGTK, in one run: page -> host ->
// page message round trips per second, and the time from process start to
// the first navigation completed. Each measurement is a fresh process
// (spawned here), alternating the component and the raw program
// (bench_webview_raw), and the medians are compared.
//
//   xvfb-run -a bench_webview [runs=5] [round trips=2000]
#include <gtk/gtk.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "platform/engine_basics.h"
#include "platform/gtk/native_view_gtk.h"
#include "shared/edge_ex.h"

extern char** environ;

namespace {

using tessel::shared::TCustomEdgeBrowser;
using tessel::shared::TEdgeBrowser;

constexpr char kPage[] =
    "<!DOCTYPE html><html><head><title>bench</title><script>"
    "chrome.webview.addEventListener('message', (e) => chrome.webview.postMessage(e.data + 1));"
    "</script></head><body>bench</body></html>";

// --- the component, in a child process ---------------------------------------

int RunComponent(int rounds) {
  gtk_init(nullptr, nullptr);
  tessel::shared::SetLoaderLibraryPath(TESSEL_ENGINE_MODULE);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);

  const int warmup = 100;
  int done = 0;
  bool loaded = false;
  auto start = std::chrono::steady_clock::now();
  TEdgeBrowser browser(tessel::platform::MakeGtkNativeView());
  browser.SetOnCreateWebViewCompleted([](TCustomEdgeBrowser* sender, tessel::platform::HRESULT) {
    sender->AddWebResourceRequestedFilter("*", tessel::platform::WebResourceContext::kAll);
    sender->Navigate("file:///index.html");
  });
  browser.SetOnWebResourceRequested([](TCustomEdgeBrowser* sender,
                                       tessel::shared::TWebResourceRequestedEventArgs& args) {
    std::shared_ptr<tessel::platform::WebResourceResponse> response;
    sender->EnvironmentInterface()->CreateWebResourceResponse(
        tessel::platform::MakeMemoryStream(kPage), 200, "OK", "Content-Type: text/html", &response);
    args.ArgsInterface()->put_Response(response);
  });
  browser.SetOnNavigationCompleted(
      [&](TCustomEdgeBrowser* sender, bool, tessel::platform::WebErrorStatus) {
        if (loaded) return;
        loaded = true;
        std::printf("loaded\n");
        std::fflush(stdout);
        sender->DefaultInterface()->PostWebMessageAsJson("0");
      });
  browser.SetOnWebMessageReceived(
      [&](TCustomEdgeBrowser* sender, tessel::shared::TWebMessageReceivedEventArgs& args) {
        std::string json;
        args.ArgsInterface()->get_WebMessageAsJson(&json);
        ++done;
        if (done == warmup) start = std::chrono::steady_clock::now();
        if (done == warmup + rounds) {
          const double seconds =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          std::printf("roundtrips_per_second %.1f\n", rounds / seconds);
          std::fflush(stdout);
          gtk_main_quit();
          return;
        }
        sender->DefaultInterface()->PostWebMessageAsJson(json);
      });
  browser.SetParent(box);
  gtk_main();
  return 0;
}

// --- the driver ------------------------------------------------------------------

struct Sample {
  double load_ms = -1;
  double roundtrips_per_second = -1;
};

Sample Measure(const std::vector<std::string>& command) {
  Sample sample;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return sample;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const auto start = std::chrono::steady_clock::now();
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    return sample;
  }
  FILE* out = fdopen(pipe_fds[0], "r");
  char line[256];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    if (std::strncmp(line, "loaded", 6) == 0) {
      sample.load_ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
    } else if (std::sscanf(line, "roundtrips_per_second %lf", &sample.roundtrips_per_second) == 1) {
      break;
    }
  }
  std::fclose(out);
  waitpid(child, nullptr, 0);
  return sample;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--component") == 0) return RunComponent(std::atoi(argv[2]));
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    std::fprintf(stderr, "bench_webview needs a display: xvfb-run -a %s\n", argv[0]);
    return 77;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string rounds = argc > 2 ? argv[2] : "2000";
  std::vector<double> raw_load, raw_rate, component_load, component_rate;
  for (int run = 0; run < runs; ++run) {
    const Sample raw = Measure({TESSEL_BENCH_RAW, rounds});
    const Sample component = Measure({argv[0], "--component", rounds});
    raw_load.push_back(raw.load_ms);
    raw_rate.push_back(raw.roundtrips_per_second);
    component_load.push_back(component.load_ms);
    component_rate.push_back(component.roundtrips_per_second);
    std::printf("run %d: raw %.0f ms %.0f rt/s, component %.0f ms %.0f rt/s\n", run + 1,
                raw.load_ms, raw.roundtrips_per_second, component.load_ms,
                component.roundtrips_per_second);
  }
  const double rl = tessel::bench::MedianOfTaken(raw_load),
               rr = tessel::bench::MedianOfTaken(raw_rate);
  const double cl = tessel::bench::MedianOfTaken(component_load),
               cr = tessel::bench::MedianOfTaken(component_rate);
  std::printf("\nmedian of %d runs, %s round trips each\n", runs, rounds.c_str());
  std::printf("start to first navigation completed: raw %.0f ms, component %.0f ms, ratio %.2f\n",
              rl, cl, rl > 0 ? cl / rl : 0.0);
  std::printf("round trips page->host->page:       raw %.0f/s, component %.0f/s, ratio %.2f\n", rr,
              cr, rr > 0 ? cr / rr : 0.0);
  return 0;
}
