// Sequential vtx.hello() round trips per second through the script bridge,
// against the raw engine floor, in one run. Three programs take turns, each
// a fresh process per sample, and the medians are compared:
// - raw: bench_webview_raw, a page and host talking straight through
//   WebKitGTK's script message handler and evaluate_javascript (the floor
//   bench_webview measures against);
// - bridge: the web view component with the bridge script as document script
//   and TBrowserExternalModule answering, in a child process of this
//   program (--bridge); the host times the messages as the raw program does;
// - runtime: a packaged app on the runtime binary, whose page times its own
//   awaited calls and writes the rate beside the executable.
//
//   xvfb-run -a bench_bridge [runs=5] [round trips=2000]
// The last line is its row of the `make bench` table.
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "platform/engine_basics.h"
#include "platform/gtk/native_view_gtk.h"
#include "shared/bridge_script.h"
#include "shared/browser_external_module.h"
#include "shared/edge_ex.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tessel::shared::TCustomEdgeBrowser;

constexpr int kWarmup = 100;

// Calls vtx.hello() one after the other for as long as the page lives.
constexpr char kBridgePage[] =
    "<!DOCTYPE html><html><head><title>bench</title><script>"
    "(async function () { for (;;) await vtx.hello(); })();"
    "</script></head><body>bench</body></html>";

// The packaged app's page: times `rounds` awaited calls after a warm-up.
constexpr char kRuntimePage[] = R"(<!DOCTYPE html><html><head><title>bench</title>
<script src="bench-config.js"></script><script>
window.addEventListener("load", async function () {
  for (let i = 0; i < BENCH.warmup; i++) await vtx.hello();
  const start = performance.now();
  for (let i = 0; i < BENCH.rounds; i++) await vtx.hello();
  const rate = BENCH.rounds / ((performance.now() - start) / 1000);
  await vtx.files.writeTextFile({filePath: "bench-result.txt", contents: String(rate)});
  vtx.app.close();
});
</script></head><body>bench</body></html>)";

// --- the component and the module, in a child process -----------------------------

int RunBridge(int rounds) {
  gtk_init(nullptr, nullptr);
  tessel::shared::SetLoaderLibraryPath(TESSEL_ENGINE_MODULE);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);

  tessel::shared::TEdgeBrowser browser(tessel::platform::MakeGtkNativeView());
  // This host serves the page itself, so that page is its app document.
  tessel::shared::TEdgeBrowserBridge bridge(
      browser, "/nonexistent/", {}, [](const std::string& source, std::uint64_t document) {
        return document != 0 && source == "file:///index.html";
      });
  tessel::shared::TBrowserExternalModule module;
  module.SetBrowserForm(&bridge);

  int done = 0;
  auto start = Clock::now();
  browser.SetOnCreateWebViewCompleted([](TCustomEdgeBrowser* sender, tessel::platform::HRESULT) {
    sender->DefaultInterface()->AddScriptToExecuteOnDocumentCreated(
        std::string(tessel::shared::BridgeScript()), nullptr);
    sender->AddWebResourceRequestedFilter("*", tessel::platform::WebResourceContext::kAll);
    sender->Navigate("file:///index.html");
  });
  browser.SetOnWebResourceRequested(
      [](TCustomEdgeBrowser* sender, tessel::shared::TWebResourceRequestedEventArgs& args) {
        std::shared_ptr<tessel::platform::WebResourceResponse> response;
        sender->EnvironmentInterface()->CreateWebResourceResponse(
            tessel::platform::MakeMemoryStream(kBridgePage), 200, "OK", "Content-Type: text/html",
            &response);
        args.ArgsInterface()->put_Response(response);
      });
  browser.SetOnWebMessageReceived(
      [&](TCustomEdgeBrowser* sender, tessel::shared::TWebMessageReceivedEventArgs& args) {
        ++done;
        if (done == kWarmup) start = Clock::now();
        if (done == kWarmup + rounds) {
          const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
          std::printf("roundtrips_per_second %.1f\n", rounds / seconds);
          std::fflush(stdout);
          gtk_main_quit();
          return;
        }
        module.EdgeBrowserWebMessageReceived(sender, args);
      });
  browser.SetParent(box);
  gtk_main();
  return 0;
}

// --- the driver ---------------------------------------------------------------------

// Runs `command` until it ends or `timeout` passes (then it is killed);
// returns what it wrote to standard output.
std::string Run(const std::vector<std::string>& command, std::chrono::seconds timeout) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    return {};
  }
  // The output is a line or two: read it after the end.
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      std::fprintf(stderr, "%s: timed out\n", command.front().c_str());
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string output;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
  close(pipe_fds[0]);
  return output;
}

double RatePrinted(const std::string& output) {
  const std::size_t at = output.find("roundtrips_per_second ");
  return at == std::string::npos ? -1 : std::atof(output.c_str() + at + 22);
}

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The packaged app, made once in `dir`; empty when packing failed.
fs::path PackApp(const fs::path& dir) {
  Write(dir / "src/vtx.ini",
        "[App]\r\nID=com.tessel.bench.bridge\r\nName=Bridge bench\r\nDirName=webapp\r\n");
  Write(dir / "src/webapp/index.html", kRuntimePage);
  const fs::path app = dir / "bench-bridge";
  Run({TESSEL_PACK, (dir / "src").string(), app.string(), "--runtime", TESSEL_RUNTIME},
      std::chrono::seconds(60));
  return fs::exists(app) ? app : fs::path();
}

double MeasureRuntime(const fs::path& app, const std::string& rounds) {
  const fs::path dir = app.parent_path();
  const fs::path result = dir / "bench-result.txt";
  fs::remove(result);
  Write(dir / "bench-config.js",
        "window.BENCH = {rounds: " + rounds + ", warmup: " + std::to_string(kWarmup) + "};\n");
  Run({app.string()}, std::chrono::seconds(120));
  std::ifstream in(result, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string rate = text.str();
  if (rate.rfind("\xEF\xBB\xBF", 0) == 0) rate.erase(0, 3);  // the file's byte-order mark
  return rate.empty() ? -1 : std::atof(rate.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--bridge") == 0) return RunBridge(std::atoi(argv[2]));
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    std::fprintf(stderr, "bench_bridge needs a display: xvfb-run -a %s\n", argv[0]);
    return 77;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string rounds = argc > 2 ? argv[2] : "2000";

  std::string pattern = (fs::temp_directory_path() / "bench_bridge_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path dir = pattern;
  const fs::path app = PackApp(dir);
  if (app.empty()) std::fprintf(stderr, "packing the app failed: no runtime figures\n");

  const auto timeout = std::chrono::seconds(120);
  std::vector<double> raw, bridge, runtime;
  for (int run = 0; run < runs; ++run) {
    raw.push_back(RatePrinted(Run({TESSEL_BENCH_RAW, rounds}, timeout)));
    bridge.push_back(RatePrinted(Run({argv[0], "--bridge", rounds}, timeout)));
    runtime.push_back(app.empty() ? -1 : MeasureRuntime(app, rounds));
    std::printf("run %d: raw %.0f rt/s, component + module %.0f rt/s, runtime %.0f rt/s\n", run + 1,
                raw.back(), bridge.back(), runtime.back());
    std::fflush(stdout);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);

  const double r = tessel::bench::MedianOfTaken(raw), b = tessel::bench::MedianOfTaken(bridge),
               t = tessel::bench::MedianOfTaken(runtime);
  std::printf("\nmedian of %d runs, %s sequential vtx.hello() round trips each\n", runs,
              rounds.c_str());
  std::printf("raw WebKitGTK floor:          %.0f/s\n", r);
  std::printf("component + bridge module:    %.0f/s, ratio to the floor %.2f\n", b,
              r > 0 ? b / r : 0.0);
  std::printf("runtime binary, packaged app: %.0f/s, ratio to the floor %.2f\n", t,
              r > 0 ? t / r : 0.0);
  // The row of the `make bench` table (bench/run-all).
  std::printf(
      "ROW\tawaited vtx.hello() round trips per second, runtime binary\t%.0f\t%.0f\t%.2f\t>= "
      "1.00\n",
      t, r, r > 0 ? t / r : 0.0);
  return 0;
}
