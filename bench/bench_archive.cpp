// Serving a packaged app's files from its attached archive against reading
// the same files from disk: an app of about 2000 files and 50 MB, packed the
// way tessel-pack packs it (stored, encrypted) behind a copy of this program.
// Disk reads run from a warm page cache, as they would for an installed app.
// Decryption of one big stored entry against a bare table-driven loop of the
// same cipher, the serial limit of this machine; a part at the end of that
// entry reached by skipping against reading the bytes before it out.
//
// After the benchmarks it prints its rows of the `make bench` table, each a
// line "ROW<TAB>figure<TAB>tessel<TAB>baseline<TAB>ratio<TAB>goal".
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

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
// Mean seconds to extract every entry once, for the table.
double g_extract_seconds = 0;

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

// Start-up's share: map the archive of the executable and open it.
void BM_LoadAttachedArchive(benchmark::State& state) {
  const App& app = TheApp();
  const double seconds = TimeIterations(state, [&] {
    const TMappedFile archive = TExeUtils(app.packaged).MapZipFromExe();
    TExeZip zip;
    zip.SetPassword(std::string(kAppArchivePassword));
    zip.SetStream(archive.Bytes());
    benchmark::DoNotOptimize(zip.FindFile("vtx.ini"));
  });
  Report(state, seconds);
}

// What start-up did before mapping: copy the archive out, then open it.
void BM_CopyAttachedArchive(benchmark::State& state) {
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
  g_extract_seconds = seconds;
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

// --- decryption at the cipher's limit ------------------------------------------------

constexpr size_t kBigEntry = size_t{64} << 20;

// The floor: the traditional PKWARE cipher as a bare loop over a buffer, its
// keys in registers and its CRC step a table lookup. Nothing can decrypt
// this cipher faster on one core: every byte depends on the one before.
struct BareCipher {
  std::array<uint32_t, 256> table{};
  uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;

  explicit BareCipher(std::string_view password) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0xEDB88320 : c >> 1;
      table[i] = c;
    }
    for (const char c : password) Update(static_cast<uint8_t>(c));
  }
  void Update(uint8_t p) {
    k0 = table[(k0 ^ p) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813 + 1;
    k2 = table[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  void Decrypt(const uint8_t* in, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t t = (k2 | 2) & 0xFFFF;
      const auto p = static_cast<uint8_t>(in[i] ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8));
      out[i] = p;
      Update(p);
    }
  }
};

struct BigEntry {
  std::string archive;
  BigEntry() {
    std::mt19937 gen(7);
    std::string content(kBigEntry, '\0');
    for (char& c : content) c = static_cast<char>(gen());
    std::ostringstream out;
    TZipWriter writer(out, std::string(kAppArchivePassword));
    writer.AddEntry("webapp/big.bin", content, {});
    writer.Finish();
    archive = out.str();
  }
  std::span<const uint8_t> Bytes() const {
    return {reinterpret_cast<const uint8_t*>(archive.data()), archive.size()};
  }
};

BigEntry& TheBigEntry() {
  static BigEntry entry;
  return entry;
}

double g_floor_seconds = 0;
double g_decrypt_seconds = 0;

void BM_DecryptBareLoop(benchmark::State& state) {
  const BigEntry& entry = TheBigEntry();
  std::vector<uint8_t> out(kBigEntry);
  // The entry's data, as the reader sees it: after the local header.
  const uint8_t* data = entry.Bytes().data() + 30 + 14;
  g_floor_seconds = TimeIterations(state, [&] {
    BareCipher cipher(kAppArchivePassword);
    cipher.Decrypt(data, out.data(), kBigEntry);
    benchmark::DoNotOptimize(out.data());
  });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigEntry));
}

void BM_DecryptStoredEntry(benchmark::State& state) {
  TExeZip zip;
  zip.SetPassword(std::string(kAppArchivePassword));
  zip.SetStream(TheBigEntry().Bytes());
  g_decrypt_seconds = TimeIterations(state, [&] {
    const std::optional<std::string> content = zip.ReadEntry("webapp/big.bin");
    if (!content || content->size() != kBigEntry) state.SkipWithError("entry unreadable");
    benchmark::DoNotOptimize(content->data());
  });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigEntry));
}

// A part near the end of a big entry: the first byte comes after the cipher
// has run over everything before it, either skipped (the keys only) or read
// out into a scratch block and dropped; or, once an earlier reader of the
// open archive passed there, after the last megabyte only.
constexpr uint64_t kTailPart = 16;
double g_discard_seconds = 0;
double g_skip_seconds = 0;
double g_marked_seconds = 0;

// `fresh`: the archive is opened anew for each part, so no reader passed
// before.
template <typename Advance>
double TimeTailPart(benchmark::State& state, bool fresh, Advance&& advance) {
  TExeZip zip;
  zip.SetPassword(std::string(kAppArchivePassword));
  zip.SetStream(TheBigEntry().Bytes());
  if (!fresh) zip.OpenEntry("webapp/big.bin")->Skip(kBigEntry);  // the earlier reader
  const double seconds = TimeIterations(state, [&] {
    if (fresh) zip.SetStream(TheBigEntry().Bytes());
    const std::unique_ptr<TZipEntryReader> reader = zip.OpenEntry("webapp/big.bin");
    advance(*reader, kBigEntry - kTailPart);
    std::array<uint8_t, kTailPart> part{};
    if (reader->Read(part) != static_cast<int64_t>(kTailPart)) state.SkipWithError("short part");
    benchmark::DoNotOptimize(part.data());
  });
  return seconds;
}

void BM_TailPartReadAndDiscard(benchmark::State& state) {
  g_discard_seconds = TimeTailPart(state, true, [](TZipEntryReader& reader, uint64_t to) {
    std::vector<uint8_t> scratch(65536);
    while (reader.Position() < to) {
      reader.Read({scratch.data(), std::min<uint64_t>(scratch.size(), to - reader.Position())});
    }
  });
}

void BM_TailPartSkip(benchmark::State& state) {
  g_skip_seconds =
      TimeTailPart(state, true, [](TZipEntryReader& reader, uint64_t to) { reader.Skip(to); });
}

void BM_TailPartSkipAfterAnEarlierReader(benchmark::State& state) {
  g_marked_seconds =
      TimeTailPart(state, false, [](TZipEntryReader& reader, uint64_t to) { reader.Skip(to); });
}

// Registration order is run order: each floor comes before its figures.
BENCHMARK(BM_ReadFromDisk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadAttachedArchive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyAttachedArchive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExtractEveryEntry)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadAndExtractEveryEntry)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecryptBareLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_DecryptStoredEntry)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TailPartReadAndDiscard)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TailPartSkip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TailPartSkipAfterAnEarlierReader)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_floor_seconds > 0 && g_decrypt_seconds > 0) {
    const double mb = static_cast<double>(kBigEntry) / 1e6;
    std::printf("ROW\tdecrypting a 64 MB stored entry (MB/s)\t%.0f\t%.0f\t%.2f\t>= 0.80\n",
                mb / g_decrypt_seconds, mb / g_floor_seconds, g_floor_seconds / g_decrypt_seconds);
  }
  if (g_discard_seconds > 0 && g_skip_seconds > 0) {
    std::printf(
        "ROW\tfirst byte of a part at the end of a 64 MB entry, ms (baseline: read and "
        "discard)\t%.1f\t%.1f\t%.2f\t<= 1.00\n",
        g_skip_seconds * 1e3, g_discard_seconds * 1e3, g_skip_seconds / g_discard_seconds);
  }
  if (g_skip_seconds > 0 && g_marked_seconds > 0) {
    std::printf(
        "ROW\tthe same once an earlier reader passed there, ms (baseline: the first "
        "time)\t%.2f\t%.1f\t%.3f\t<= 0.05\n",
        g_marked_seconds * 1e3, g_skip_seconds * 1e3, g_marked_seconds / g_skip_seconds);
  }
  if (g_disk_seconds > 0 && g_extract_seconds > 0) {
    std::printf(
        "ROW\treading %d files / 50 MB, ms per file (disk: page cache)\t%.3f\t%.3f\t%.2f\t-\n",
        kFiles, g_extract_seconds * 1e3 / kFiles, g_disk_seconds * 1e3 / kFiles,
        g_extract_seconds / g_disk_seconds);
  }
  return 0;
}
