// Serving a packaged app's files from its attached archive against reading
// the same files from disk: an app of about 2000 files and 50 MB, packed the
// way tessel-pack packs it (stored, encrypted) behind a copy of this program.
// Disk reads run from a warm page cache, as they would for an installed app.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/os.h"
#include "shared/exe_utils.h"
#include "shared/exe_zip.h"
#include "shared/program_constants.h"
#include "shared/zip_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace tessel::shared;

constexpr int kFiles = 2000;

struct App {
  fs::path root;
  std::vector<TZipFileEntry> files;  // name and path on disk
  std::string packaged;
  uint64_t bytes = 0;

  App() {
    std::random_device random;
    root = fs::temp_directory_path() / ("tessel-bench-" + std::to_string(random()));
    std::mt19937 gen(42);
    for (int i = 0; i < kFiles; ++i) {
      // 1 KB to 49 KB, about 25 KB on average: 50 MB in all.
      const size_t size = 1024 + static_cast<size_t>(gen() % (size_t{48} * 1024));
      const std::string name = "webapp/dir" + std::to_string(i % 40) + "/file" + std::to_string(i) +
                               (i % 3 == 0 ? ".js" : ".css");
      std::string content(size, '\0');
      for (char& c : content) c = static_cast<char>(gen());
      const fs::path path = root / name;
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary)
          .write(content.data(), static_cast<std::streamsize>(size));
      files.push_back({name, path.string()});
      bytes += size;
    }
    const std::string zip = (root / "app.zip").string();
    WriteZipFile(zip, files, kAppArchivePassword);
    packaged = (root / "packaged").string();
    fs::copy_file(tessel::platform::CurrentOs().ExecutablePath(), packaged);
    TExeUtils(packaged).AppendZipToExe(zip, packaged);
  }
  ~App() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

App& TheApp() {
  static App app;
  return app;
}

// Mean seconds per iteration of the disk benchmark, for the ratios.
double g_disk_seconds = 0;

template <typename Body>
double TimeIterations(benchmark::State& state, Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) body();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(state.iterations());
}

void Report(benchmark::State& state, double seconds, bool is_disk = false) {
  const App& app = TheApp();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * app.bytes));
  state.SetItemsProcessed(state.iterations() * kFiles);
  if (is_disk) g_disk_seconds = seconds;
  if (g_disk_seconds > 0) state.counters["x_disk_time"] = seconds / g_disk_seconds;
}

void BM_ReadFromDisk(benchmark::State& state) {
  const App& app = TheApp();
  const double seconds = TimeIterations(state, [&] {
    for (const TZipFileEntry& file : app.files) {
      std::ifstream in(file.path, std::ios::binary);
      std::ostringstream out;
      out << in.rdbuf();
      benchmark::DoNotOptimize(out.str().size());
    }
  });
  Report(state, seconds, true);
}

// Start-up's share: copy the archive out of the executable and open it.
void BM_LoadAttachedArchive(benchmark::State& state) {
  const App& app = TheApp();
  const double seconds = TimeIterations(state, [&] {
    std::vector<uint8_t> archive;
    TExeUtils(app.packaged).GetZipFromExe(archive);
    TExeZip zip;
    zip.SetPassword(std::string(kAppArchivePassword));
    zip.SetStream(archive);
    benchmark::DoNotOptimize(zip.FindFile("vtx.ini"));
  });
  Report(state, seconds);
}

// Every request after start-up: find and decrypt one entry.
void BM_ExtractEveryEntry(benchmark::State& state) {
  const App& app = TheApp();
  std::vector<uint8_t> archive;
  TExeUtils(app.packaged).GetZipFromExe(archive);
  TExeZip zip;
  zip.SetPassword(std::string(kAppArchivePassword));
  zip.SetStream(archive);
  const double seconds = TimeIterations(state, [&] {
    for (const TZipFileEntry& file : app.files) {
      std::ostringstream out;
      zip.ExtractToStream(file.name, out);
      benchmark::DoNotOptimize(out.str().size());
    }
  });
  Report(state, seconds);
}

// Both together: a process that starts and serves every file once.
void BM_LoadAndExtractEveryEntry(benchmark::State& state) {
  const App& app = TheApp();
  const double seconds = TimeIterations(state, [&] {
    std::vector<uint8_t> archive;
    TExeUtils(app.packaged).GetZipFromExe(archive);
    TExeZip zip;
    zip.SetPassword(std::string(kAppArchivePassword));
    zip.SetStream(archive);
    for (const TZipFileEntry& file : app.files) {
      std::ostringstream out;
      zip.ExtractToStream(file.name, out);
      benchmark::DoNotOptimize(out.str().size());
    }
  });
  Report(state, seconds);
}

// Registration order is run order: the disk figure comes first.
BENCHMARK(BM_ReadFromDisk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadAttachedArchive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExtractEveryEntry)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadAndExtractEveryEntry)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
