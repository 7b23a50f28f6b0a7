// tessel-pack: makes a packaged app from a runtime executable and an app
// folder, and lists the archive of a packaged app.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/exe_zip.h"

namespace tessel::shared {

class EPackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TPackOptions {
  std::string app_dir;  // mirrors the archive's root: vtx.ini, <DirName>/, ...
  std::string output;   // the packaged app to write
  std::string runtime;  // empty: tessel-runtime beside the running packer
  // Windows runtimes only: the app's icon file and version texts (keys of
  // the runtime's version template, without regard to case).
  std::string icon;
  std::vector<std::pair<std::string, std::string>> version_info;
  // Linux runtimes: carry the engine module found beside the runtime in the
  // archive, so the app runs where Tessel is not installed.
  bool engine_module = true;
};

// A phase ("packing", "appending") has moved `pos` of `max` bytes.
using TPackProgress = std::function<void(std::string_view phase, uint64_t pos, uint64_t max)>;

struct TPackResult {
  std::vector<std::string> warnings;
  std::vector<std::string> entries;  // archive entry names, in archive order
  uint64_t archive_size = 0;
};

// The archive entry names for the files below `app_dir`: relative, '/'
// separated, sorted by their bytes. Throws EPackError for a file that is
// not a regular file or a folder that cannot be listed.
std::vector<std::string> CollectAppEntries(const std::string& app_dir,
                                           std::vector<std::string>& warnings);

// Writes `options.output`: a copy of the runtime followed by the archive of
// the app folder. Throws EPackError with a one-line message naming the
// problem; `options.output` is then left as it was.
TPackResult PackApp(const TPackOptions& options, const TPackProgress& progress = nullptr);

// The entries of the archive attached to `packaged`. Throws EPackError.
std::vector<TZipEntryInfo> ListPackagedApp(const std::string& packaged);

// Warnings for keys of section [App] in the settings text that the runtime
// does not read, each with the closest key it does read, if one is close.
std::vector<std::string> UnknownSettingsKeys(std::string_view settings_bytes);

// The command line: "APP_DIR OUTPUT [--runtime RUNTIME] [--icon FILE.ico]
// [--version-info KEY=VALUE]... [--no-engine-module]" or "--list PACKAGED".
// Returns the exit code: 0 done, 1 failed, 2 bad usage.
int RunPacker(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool progress_bar);

}  // namespace tessel::shared
