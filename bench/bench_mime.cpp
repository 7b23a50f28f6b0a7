// MIME lookups per second: through the process-wide table (what the resource
// server does per request), against building the table for every lookup and
// against a bare hash-map lookup as the floor.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/os.h"
#include "shared/mime_table.h"
#include "shared/str_utils.h"

namespace {

using tessel::shared::TMimeTable;
using tessel::shared::TStrUtils;

const std::vector<std::string> kNames = {
    "index.html",       "css/site.css",      "js/app.js",       "img/logo.png",
    "img/photo.JPG",    "fonts/inter.woff2", "data/items.json", "media/intro.mp4",
    "C:\\app\\doc.pdf", "no-extension",      "archive.tar.gz",  "icons/favicon.ico",
};

void BM_GetFileMIMEType(benchmark::State& state) {
  benchmark::DoNotOptimize(TStrUtils::GetFileMIMEType("warm.up"));  // build outside the loop
  std::size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    benchmark::DoNotOptimize(TStrUtils::GetFileMIMEType(kNames[i++ % kNames.size()]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetFileMIMEType);

// A table built from the system database for each lookup and then dropped.
void BM_BuildTablePerLookup(benchmark::State& state) {
  const tessel::platform::Os& os = tessel::platform::CurrentOs();
  std::size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    const TMimeTable table = TMimeTable::Build(os);
    benchmark::DoNotOptimize(table.TypeOfFile(kNames[i++ % kNames.size()]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildTablePerLookup)->Unit(benchmark::kMicrosecond);

// The floor: an already lower-cased extension in a plain hash map.
void BM_HashMapFloor(benchmark::State& state) {
  std::unordered_map<std::string, std::string> map;
  for (const auto& e : tessel::shared::CachedMimeTable()->Entries()) map[e.extension] = e.mime_type;
  const std::vector<std::string> exts = {".html", ".css", ".js",  ".png", ".jpg", ".woff2",
                                         ".json", ".mp4", ".pdf", "",     ".gz",  ".ico"};
  std::size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    const auto it = map.find(exts[i++ % exts.size()]);
    std::string type = it == map.end() ? "application/octet-stream" : it->second;
    benchmark::DoNotOptimize(type);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HashMapFloor);

}  // namespace

BENCHMARK_MAIN();
