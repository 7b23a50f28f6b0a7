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

#include "ignore_rules.h"
#include "shared/exe_zip.h"
#include "shared/settings.h"

namespace tessel::shared {

class EPackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TPackOptions {
  std::string app_dir;  // mirrors the archive's root: vtx.ini, <DirName>/, ...
  std::string output;   // the packaged app to write
  std::string runtime;  // empty: tessel-runtime beside the running packer
  // The app's icon: a square PNG (Windows gets an icon group made from it,
  // Linux carries it in the archive) or, for Windows runtimes, an icon file.
  // Version texts: Windows runtimes only (keys of the runtime's version
  // template, without regard to case).
  std::string icon;
  std::vector<std::pair<std::string, std::string>> version_info;
  // Windows runtimes: the finished app is signed by osslsigncode with a PEM
  // certificate and key, or a PKCS#12 file; the password, if any, is in the
  // environment variable `sign_pass_env`; `timestamp` names a time-stamping
  // server.
  std::string sign_cert;
  std::string sign_key;
  std::string sign_pkcs12;
  std::string sign_pass_env;
  std::string timestamp;
  // Linux runtimes: carry the engine module found beside the runtime in the
  // archive, so the app runs where Tessel is not installed.
  bool engine_module = true;
  // Every check of a real pack, then the list of what would go in instead of
  // the output.
  bool dry_run = false;
  // Windows runtimes: pack an app folder without a usable engine loader
  // library (a warning instead of a refusal).
  bool allow_missing_loader = false;
  // For a desktop entry or a Debian package: a Windows runtime is refused.
  bool linux_only = false;
};

// A phase ("packing", "appending") has moved `pos` of `max` bytes.
using TPackProgress = std::function<void(std::string_view phase, uint64_t pos, uint64_t max)>;

// A file or folder of the app folder that .tesselignore or the defaults
// keep out; a folder stands for everything in it.
struct TLeftOut {
  std::string path;  // relative, '/'-separated
  bool is_dir = false;
  TIgnoreRules::TReason reason;
};

struct TPackResult {
  std::vector<std::string> warnings;
  std::vector<std::string> entries;  // archive entry names, in archive order
  std::vector<uint64_t> sizes;       // of each entry's file, in the same order
  std::vector<TLeftOut> left_out;
  uint64_t archive_size = 0;  // 0 for a dry run
  // Linux runtimes: the app's icon as it went into the archive (empty: none).
  std::vector<uint8_t> icon_png;
};

// The archive entry names for the files below `app_dir` that its
// .tesselignore and the defaults let in: relative, '/' separated, sorted by
// their bytes. Throws EPackError for a file that is not a regular file, an
// ignore file that cannot be read or a folder that cannot be listed.
std::vector<std::string> CollectAppEntries(const std::string& app_dir,
                                           std::vector<std::string>& warnings,
                                           std::vector<TLeftOut>* left_out = nullptr);

// Writes `options.output`: a copy of the runtime followed by the archive of
// the app folder. Throws EPackError with a one-line message naming the
// problem; `options.output` is then left as it was.
TPackResult PackApp(const TPackOptions& options, const TPackProgress& progress = nullptr);

// The entries of the archive attached to `packaged`. Throws EPackError.
std::vector<TZipEntryInfo> ListPackagedApp(const std::string& packaged);

// Warnings for what in the settings text neither the runtime nor the packer
// reads as its author meant: unknown keys and sections (each with the
// closest known name, if one is close), keys before any section, and
// boolean or integer values that do not read as numbers.
std::vector<std::string> SettingsWarnings(std::string_view settings_bytes);

// The command line: "APP_DIR OUTPUT [--runtime RUNTIME] [--icon FILE.png|FILE.ico]
// [--desktop | --deb]
// [--version-info KEY=VALUE]... [--no-engine-module] [--dry-run]",
// "--list PACKAGED" or "--version". `program` names the command in messages
// ("tessel-pack", or "tessel pack" for the tessel command).
// Returns the exit code: 0 done, 1 failed, 2 bad usage.
int RunPacker(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool progress_bar, std::string_view program = "tessel-pack");

// The tools' version, as the project states it.
std::string_view ToolsVersion();

// The runtime beside the running tool: tessel-runtime, or TesselRuntime.exe
// for a tool built for Windows. Empty when the tool cannot tell where it is.
std::string DefaultRuntime();

// The settings of the app folder `app_dir`, checked as the runtime would
// check them before serving it: vtx.ini readable, ID, Name and DirName set
// and usable, the DirName folder present. Appends warnings about the
// settings (SettingsWarnings); throws EPackError with a one-line message.
TSettings ReadAppFolder(const std::string& app_dir, std::vector<std::string>& warnings);

}  // namespace tessel::shared
