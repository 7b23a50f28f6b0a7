// Serving a big archive entry: a packaged app whose page fetches a 1 GB entry
// and reads it to the end, against the same app fetching a 1 KB entry, in
// one run. The figure is the runtime process's peak memory: a body streamed
// from the archive adds little, one held whole adds its size.
//
// Needs a display: xvfb-run -a bench_stream [ROUNDS=3]
// The last line is its row of the `make bench` table.
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
#include <string>
#include <vector>

#include "bench_stats.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// An app whose page reads big.bin (`size` bytes) through fetch, then opens
// done.html when every byte arrived.
void MakeApp(const fs::path& dir, uint64_t size) {
  Write(dir / "vtx.ini",
        "[App]\r\nID=com.tessel.bench.stream\r\nName=Stream bench\r\nDirName=webapp\r\n"
        "AllowInstances=1\r\n");
  Write(dir / "webapp" / "index.html",
        "<!DOCTYPE html><html><body><script>\n"
        "fetch('big.bin').then(async (response) => {\n"
        "  const reader = response.body.getReader();\n"
        "  let n = 0;\n"
        "  for (;;) { const {done, value} = await reader.read(); if (done) break; "
        "n += value.length; }\n"
        "  location.href = n === " +
            std::to_string(size) +
            " ? 'done.html' : 'short.html';\n"
            "}, () => { location.href = 'short.html'; });\n"
            "</script></body></html>\n");
  Write(dir / "webapp" / "done.html", "<p>done</p>");
  Write(dir / "webapp" / "short.html", "<p>short</p>");
  std::ofstream out(dir / "webapp" / "big.bin", std::ios::binary);
  std::string block(1 << 20, '\0');
  unsigned state = 42;
  for (uint64_t written = 0; written < size;) {
    for (size_t at = 0; at + 4 <= block.size(); at += 4) {
      state = state * 1103515245u + 12345u;
      std::memcpy(&block[at], &state, 4);
    }
    const auto n = static_cast<std::streamsize>(std::min<uint64_t>(block.size(), size - written));
    out.write(block.data(), n);
    written += static_cast<uint64_t>(n);
  }
}

struct Run {
  bool done = false;  // the page read every byte
  double seconds = -1;
  long own_peak_kb = 0;
};

// Runs the packaged app until its page opens done.html or short.html (or a
// minute passes), then ends it and takes its peak resident memory.
Run RunApp(const std::string& app, const fs::path& home) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    setenv("TESSEL_TRACE", "1", 1);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    execl(app.c_str(), app.c_str(), nullptr);
    _exit(127);
  }
  close(fds[1]);
  Run run;
  std::string pending;
  bool finished = false;
  while (!finished && Clock::now() < start + std::chrono::seconds(120)) {
    pollfd poll_fd{fds[0], POLLIN, 0};
    if (poll(&poll_fd, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find("webapp/done.html") != std::string::npos) run.done = finished = true;
      if (line.find("webapp/short.html") != std::string::npos) finished = true;
    }
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  kill(pid, SIGTERM);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.own_peak_kb = usage.ru_maxrss;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "bench_stream needs a display: run it under xvfb-run -a\n");
    return 2;
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  char dir_template[] = "/tmp/tessel-bench-stream-XXXXXX";
  const fs::path dir = mkdtemp(dir_template);
  struct Variant {
    const char* name;
    uint64_t size;
    std::string app;
    std::vector<double> mb;
    std::vector<double> seconds;
  };
  Variant variants[] = {{"1 KB entry", 1024, {}, {}, {}},
                        {"1 GB entry", uint64_t{1} << 30, {}, {}, {}}};
  for (Variant& v : variants) {
    const fs::path src = dir / (std::to_string(v.size) + "-src");
    MakeApp(src, v.size);
    v.app = (dir / (std::to_string(v.size) + "-app")).string();
    const std::string pack = std::string(TESSEL_PACK) + " '" + src.string() + "' '" + v.app +
                             "' --runtime '" + TESSEL_RUNTIME + "' > /dev/null";
    if (std::system(pack.c_str()) != 0) {
      std::fprintf(stderr, "packing the %s app failed\n", v.name);
      return 1;
    }
    fs::remove_all(src);
  }
  for (int i = 0; i < rounds; ++i) {
    for (Variant& v : variants) {
      const Run run = RunApp(v.app, dir / "home");
      std::printf("%s: %s in %.1f s, peak %.0f MB\n", v.name, run.done ? "read whole" : "FAILED",
                  run.seconds, run.own_peak_kb / 1024.0);
      v.mb.push_back(run.done ? run.own_peak_kb / 1024.0 : -1);
      v.seconds.push_back(run.done ? run.seconds : -1);
    }
  }
  fs::remove_all(dir);
  const double small = tessel::bench::MedianOfTaken(variants[0].mb);
  const double big = tessel::bench::MedianOfTaken(variants[1].mb);
  std::printf("peak memory of the runtime process, median of %d: 1 KB %.0f MB, 1 GB %.0f MB\n",
              rounds, small, big);
  // The goal is a difference, so the ratio column carries it.
  std::printf(
      "ROW\tpeak memory serving a 1 GB entry, MB (baseline: a 1 KB entry)\t%.0f\t%.0f\t"
      "%+.0f MB\t<= +64 MB\n",
      big, small, big - small);
  return 0;
}
