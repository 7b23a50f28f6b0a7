// Start-up of a packaged app: the time from starting the process to its
// first completed navigation, for an app of about 200 files / 3 MB served by
// the runtime from its archive, against the same files opened from disk by a
// minimal WebKitGTK program (bench_startup_raw), alternating in one run. Also
// the peak memory of the runtime process, alone and with the engine's
// processes it started. Then the same app with 500 MB of other entries (five
// 100 MB videos it never loads) against the app without them: start-up must
// not grow with the archive.
//
// The last lines are its rows of the `make bench` table.
// Needs a display and a window manager is not needed: run under xvfb-run.
// Usage: bench_startup [ROUNDS]  (default 7, after one warm-up run of each)
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCssFiles = 50;
constexpr int kJsFiles = 70;
constexpr int kImageFiles = 79;  // with index.html: 200 files

// --- the app -------------------------------------------------------------------------

// Deterministic filler, so every run and machine packs the same bytes.
class Filler {
 public:
  unsigned Next() {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 8) & 0xFFFFFF;
  }

 private:
  unsigned state_ = 42;
};

std::string Css(int index, Filler& filler) {
  std::ostringstream out;
  for (int rule = 0; out.tellp() < 10'000; ++rule) {
    out << ".c" << index << "-" << rule << " { margin: " << filler.Next() % 40 << "px; color: #"
        << std::hex << filler.Next() << std::dec << "; }\n";
  }
  return out.str();
}

std::string Js(int index, Filler& filler) {
  std::ostringstream out;
  out << "(function () {\n  var table = [";
  while (out.tellp() < 18'000) out << filler.Next() << ",";
  out << "0];\n  window.loadedScripts = (window.loadedScripts || 0) + 1;\n"
      << "  window['sum" << index << "'] = table.length;\n})();\n";
  return out.str();
}

std::string Svg(Filler& filler) {
  std::ostringstream out;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\">";
  while (out.tellp() < 15'000) {
    out << "<rect x=\"" << filler.Next() % 64 << "\" y=\"" << filler.Next() % 64
        << "\" width=\"4\" height=\"4\" fill=\"#" << std::hex << filler.Next() << std::dec
        << "\"/>";
  }
  out << "</svg>";
  return out.str();
}

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Other entries the start page never asks for: `count` files of 100 MB.
void AddMedia(const fs::path& dir, int count) {
  Filler filler;
  std::string block(size_t{1} << 20, '\0');
  for (int i = 0; i < count; ++i) {
    const fs::path path = dir / "webapp" / "media" / ("video" + std::to_string(i) + ".mp4");
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    for (int mb = 0; mb < 100; ++mb) {
      for (size_t at = 0; at < block.size(); at += 4) {
        const unsigned v = filler.Next();
        std::memcpy(&block[at], &v, 4);
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
}

// Writes the app (vtx.ini and webapp/) into `dir`; returns the web folder's
// file count and size.
std::pair<int, std::uintmax_t> MakeApp(const fs::path& dir) {
  Write(dir / "vtx.ini",
        "[App]\r\nID=com.tessel.bench.startup\r\nName=Startup bench\r\nDirName=webapp\r\n"
        "AllowInstances=1\r\n");
  const fs::path web = dir / "webapp";
  Filler filler;
  std::ostringstream index;
  index << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>bench</title>\n";
  for (int i = 0; i < kCssFiles; ++i) {
    Write(web / "css" / ("style" + std::to_string(i) + ".css"), Css(i, filler));
    index << "<link rel=\"stylesheet\" href=\"css/style" << i << ".css\">\n";
  }
  index << "</head><body>\n";
  for (int i = 0; i < kImageFiles; ++i) {
    Write(web / "img" / ("picture" + std::to_string(i) + ".svg"), Svg(filler));
    index << "<img src=\"img/picture" << i << ".svg\" width=\"32\" height=\"32\">\n";
  }
  for (int i = 0; i < kJsFiles; ++i) {
    Write(web / "js" / ("script" + std::to_string(i) + ".js"), Js(i, filler));
    index << "<script src=\"js/script" << i << ".js\"></script>\n";
  }
  index << "</body></html>\n";
  Write(web / "index.html", index.str());

  int files = 0;
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(web)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    bytes += entry.file_size();
  }
  return {files, bytes};
}

// --- running ---------------------------------------------------------------------------

// The resident memory of `pid` and of all its descendants, in kB.
long TreeRssKb(pid_t root) {
  std::map<pid_t, pid_t> parent;
  std::map<pid_t, long> rss;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream status(entry.path() / "status");
    std::string line;
    const pid_t pid = std::stoi(name);
    while (std::getline(status, line)) {
      if (line.rfind("PPid:", 0) == 0) parent[pid] = std::atoi(line.c_str() + 5);
      if (line.rfind("VmRSS:", 0) == 0) rss[pid] = std::atol(line.c_str() + 6);
    }
  }
  long total = 0;
  for (const auto& [pid, kb] : rss) {
    for (pid_t p = pid; p > 1; p = parent.count(p) != 0 ? parent[p] : 0) {
      if (p == root) {
        total += kb;
        break;
      }
    }
  }
  return total;
}

struct Run {
  double ms_to_load = -1;  // until the marker line; -1 when it never came
  long own_peak_kb = 0;    // the process itself (wait4)
  long tree_peak_kb = 0;   // with its descendants, sampled
  std::vector<std::string> lines;
};

// Runs `argv` with `env` added, reading the stream `fd_to_read` (1 or 2) line
// by line until the process ends; the time of the first line starting with
// `marker` counts.
Run RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::pair<std::string, std::string>>& env, int fd_to_read,
               const std::string& marker) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], fd_to_read);
    close(fds[0]);
    close(fds[1]);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);

  Run run;
  std::string pending;
  const Clock::time_point deadline = start + std::chrono::seconds(60);
  while (Clock::now() < deadline) {
    pollfd poll_fd{fds[0], POLLIN, 0};
    if (poll(&poll_fd, 1, 20) > 0) {
      char buffer[4096];
      const ssize_t n = read(fds[0], buffer, sizeof(buffer));
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (run.ms_to_load < 0 && line.rfind(marker, 0) == 0) {
          run.ms_to_load = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
        run.lines.push_back(line);
      }
    }
    run.tree_peak_kb = std::max(run.tree_peak_kb, TreeRssKb(pid));
  }
  close(fds[0]);
  if (Clock::now() >= deadline) kill(pid, SIGKILL);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.own_peak_kb = usage.ru_maxrss;
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct Series {
  std::vector<double> ms;
  std::vector<double> own_mb;
  std::vector<double> tree_mb;
  void Add(const Run& run) {
    ms.push_back(run.ms_to_load);
    own_mb.push_back(run.own_peak_kb / 1024.0);
    tree_mb.push_back(run.tree_peak_kb / 1024.0);
  }
};

void Print(const char* what, const Series& s) {
  std::printf("  %-32s %7.0f ms (min %.0f, max %.0f)\n", what, Median(s.ms),
              *std::min_element(s.ms.begin(), s.ms.end()),
              *std::max_element(s.ms.begin(), s.ms.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "bench_startup needs a display: run it under xvfb-run -a\n");
    return 2;
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  char dir_template[] = "/tmp/tessel-bench-startup-XXXXXX";
  const fs::path dir = mkdtemp(dir_template);
  const auto [files, bytes] = MakeApp(dir / "src");
  const std::string app = (dir / "app").string();
  const Run pack = RunProgram(
      {TESSEL_PACK, (dir / "src").string(), app, "--runtime", TESSEL_RUNTIME}, {}, 1, "packed");
  if (pack.ms_to_load < 0 || !fs::exists(app)) {
    std::fprintf(stderr, "packing failed\n");
    return 1;
  }
  std::printf("app: %d files, %.2f MB in webapp/; packaged app %.2f MB\n", files, bytes / 1e6,
              fs::file_size(app) / 1e6);
  MakeApp(dir / "big");
  AddMedia(dir / "big", 5);
  const std::string big_app = (dir / "big-app").string();
  const Run big_pack = RunProgram(
      {TESSEL_PACK, (dir / "big").string(), big_app, "--runtime", TESSEL_RUNTIME}, {}, 1, "packed");
  if (big_pack.ms_to_load < 0 || !fs::exists(big_app)) {
    std::fprintf(stderr, "packing the 500 MB app failed\n");
    return 1;
  }
  fs::remove_all(dir / "big");
  std::printf("the same app with 500 MB of other entries: packaged app %.2f MB\n",
              fs::file_size(big_app) / 1e6);

  const std::vector<std::pair<std::string, std::string>> runtime_env = {
      {"TESSEL_TRACE", "1"},
      {"TESSEL_CLOSE_AFTER_LOAD", "1"},
      {"HOME", (dir / "home").string()},
      {"XDG_DATA_HOME", (dir / "data").string()}};
  const auto run_runtime = [&] {
    return RunProgram({app}, runtime_env, 2, "tessel: navigation completed");
  };
  const auto run_big = [&] {
    return RunProgram({big_app}, runtime_env, 2, "tessel: navigation completed");
  };
  const auto run_raw = [&] {
    return RunProgram({TESSEL_BENCH_RAW, (dir / "src" / "webapp").string()},
                      {{"HOME", (dir / "home").string()}}, 1, "loaded");
  };

  // Warm-up: file caches, font caches, the engine's data folder.
  const Run first = run_runtime();
  run_raw();
  run_big();
  const long served = std::count_if(first.lines.begin(), first.lines.end(), [](const auto& l) {
    return l.rfind("tessel: served archive ", 0) == 0;
  });
  std::printf("served from the archive in one start: %ld files\n", served);
  if (first.ms_to_load < 0) {
    std::fprintf(stderr, "the runtime never completed a navigation:\n");
    for (const auto& line : first.lines) std::fprintf(stderr, "  %s\n", line.c_str());
    return 1;
  }

  Series runtime;
  Series raw;
  Series big;
  for (int i = 0; i < rounds; ++i) {
    runtime.Add(run_runtime());
    raw.Add(run_raw());
    big.Add(run_big());
  }
  std::printf("first completed navigation after process start, median of %d:\n", rounds);
  Print("runtime, served from the archive", runtime);
  Print("raw WebKitGTK, files from disk", raw);
  std::printf("  ratio runtime / raw: %.2f\n", Median(runtime.ms) / Median(raw.ms));
  std::printf("peak memory, median (own process / with the engine's processes):\n");
  std::printf("  runtime: %.0f MB / %.0f MB\n", Median(runtime.own_mb), Median(runtime.tree_mb));
  std::printf("  raw:     %.0f MB / %.0f MB\n", Median(raw.own_mb), Median(raw.tree_mb));
  Print("runtime, 500 MB of other entries", big);
  std::printf("  with 500 MB: %.0f MB / %.0f MB peak\n", Median(big.own_mb), Median(big.tree_mb));

  // Rows of the `make bench` table (bench/run-all).
  const auto row = [](const char* figure, double tessel, double baseline, const char* goal) {
    std::printf("ROW\t%s\t%.0f\t%.0f\t%.2f\t%s\n", figure, tessel, baseline,
                baseline > 0 ? tessel / baseline : 0.0, goal);
  };
  row("start-up of a 200-file / 3 MB app, ms to first navigation (baseline: raw WebKitGTK)",
      Median(runtime.ms), Median(raw.ms), "<= 1.05");
  row("peak memory of that process, MB (baseline: raw WebKitGTK)", Median(runtime.own_mb),
      Median(raw.own_mb), "<= 1.06");
  row("start-up with 500 MB of other entries, ms (baseline: without them)", Median(big.ms),
      Median(runtime.ms), "<= 1.05");
  row("peak memory with 500 MB of other entries, MB (baseline: without them)", Median(big.own_mb),
      Median(runtime.own_mb), "<= 1.05");
  fs::remove_all(dir);
  return 0;
}
