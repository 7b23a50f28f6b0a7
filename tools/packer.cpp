#include "packer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "platform/os.h"
#include "shared/exe_utils.h"
#include "shared/program_constants.h"
#include "shared/settings.h"
#include "shared/zip_writer.h"

namespace tessel::shared {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUsage =
    "usage: tessel-pack APP_DIR OUTPUT [--runtime RUNTIME]\n"
    "       tessel-pack --list PACKAGED\n";

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::string FoldAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Removes the temporary files of a pack that did not finish.
class TempFiles {
 public:
  ~TempFiles() {
    for (const std::string& path : paths_) {
      std::error_code ignored;
      fs::remove(Utf8ToPath(path), ignored);
    }
  }
  const std::string& Add(std::string path) { return paths_.emplace_back(std::move(path)); }

 private:
  std::vector<std::string> paths_;
};

std::string DefaultRuntime() {
  // Beside the packer, with the packer's own extension (".exe" on Windows).
  const fs::path self = Utf8ToPath(platform::CurrentOs().ExecutablePath());
  if (self.empty()) return {};
  fs::path runtime = self.parent_path() / "tessel-runtime";
  runtime += self.extension();
  return PathToUtf8(runtime);
}

// Reads the identity keys the runtime refuses to start without.
TSettings ReadAppSettings(const fs::path& app_dir, const std::string& app_dir_text) {
  const fs::path ini = app_dir / "vtx.ini";
  std::error_code ec;
  if (!fs::is_regular_file(ini, ec)) {
    throw EPackError("missing vtx.ini in " + Quoted(app_dir_text));
  }
  std::ifstream in(ini, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in && !in.eof()) throw EPackError("cannot read " + Quoted(PathToUtf8(ini)));
  TSettings settings;
  settings.LoadFromBytes(bytes);
  for (const char* key : {"ID", "Name", "DirName"}) {
    if (settings.ReadString("App", key, "").empty()) {
      throw EPackError(std::string("vtx.ini has no ") + key + " in section [App]");
    }
  }
  return settings;
}

// Checks that `runtime` is an executable image with nothing behind it.
void CheckRuntime(const std::string& runtime, bool is_default) {
  std::error_code ec;
  if (!fs::is_regular_file(Utf8ToPath(runtime), ec)) {
    if (is_default) {
      throw EPackError("no runtime beside the packer (" + Quoted(runtime) +
                       "); name one with --runtime");
    }
    throw EPackError("runtime " + Quoted(runtime) + " not found");
  }
  const uint64_t size = fs::file_size(Utf8ToPath(runtime), ec);
  if (ec) throw EPackError("cannot read runtime " + Quoted(runtime) + ": " + ec.message());
  TImageLayout layout{};
  try {
    layout = ComputeAttachOffsetOfFile(runtime);
  } catch (const EExeFormatError& e) {
    throw EPackError("runtime " + Quoted(runtime) + " is not an executable: " + e.what());
  } catch (const std::exception& e) {
    throw EPackError("cannot read runtime " + Quoted(runtime) + ": " + e.what());
  }
  if (size > layout.attach_offset) {
    throw EPackError("runtime " + Quoted(runtime) + " already carries attached data (" +
                     std::to_string(size - layout.attach_offset) + " bytes after its image)");
  }
  if (size < layout.attach_offset) {
    throw EPackError("runtime " + Quoted(runtime) + " is truncated: its image ends at byte " +
                     std::to_string(layout.attach_offset) + " of a " + std::to_string(size) +
                     "-byte file");
  }
}

// Opens the archive behind `packaged` and checks that it reads back.
void VerifyPackaged(const std::string& packaged, std::string_view password) {
  TExeUtils utils(packaged);
  std::vector<uint8_t> archive;
  utils.GetZipFromExe(archive);
  TExeZip zip;
  zip.SetPassword(std::string(password));
  zip.SetStream(archive);
  if (!zip.ReadEntry("vtx.ini")) throw EPackError("the written archive does not read back");
}

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
  ~ProgressBar() { End(); }

  void Show(std::string_view phase, uint64_t pos, uint64_t max) {
    constexpr uint64_t kLargeApp = uint64_t{16} * 1024 * 1024;
    if (!enabled_ || max < kLargeApp) return;
    const int percent = static_cast<int>(pos * 100 / max);
    if (phase == phase_ && percent == percent_) return;
    if (phase != phase_ && !phase_.empty()) out_ << '\n';
    phase_ = std::string(phase);
    percent_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    out_ << '\r' << phase_ << " [" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << percent << '%'
         << std::flush;
  }

  void End() {
    if (!phase_.empty()) out_ << '\n' << std::flush;
    phase_.clear();
  }

 private:
  std::ostream& out_;
  bool enabled_;
  std::string phase_;
  int percent_ = -1;
};

}  // namespace

std::vector<std::string> CollectAppEntries(const std::string& app_dir,
                                           std::vector<std::string>& warnings) {
  const fs::path root = Utf8ToPath(app_dir);
  std::vector<std::string> names;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const std::string name = PathToUtf8(entry.path().lexically_relative(root).generic_u8string());
    std::error_code status_ec;
    const fs::file_status status = entry.status(status_ec);
    if (fs::is_directory(status)) {
      if (entry.is_symlink(status_ec)) {
        warnings.push_back("skipped " + Quoted(name) + ": a symbolic link to a folder");
      }
      continue;
    }
    if (!fs::is_regular_file(status)) {
      throw EPackError(Quoted(name) + " in " + Quoted(app_dir) + " is not a regular file");
    }
    names.push_back(name);
  }
  if (ec) throw EPackError("cannot list " + Quoted(app_dir) + ": " + ec.message());
  std::sort(names.begin(), names.end());

  // The runtime matches names without regard to ASCII case: only the last of
  // such a group can ever be found.
  std::vector<std::pair<std::string, std::string>> folded;
  folded.reserve(names.size());
  for (const std::string& name : names) folded.emplace_back(FoldAscii(name), name);
  std::stable_sort(folded.begin(), folded.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 1; i < folded.size(); ++i) {
    if (folded[i].first == folded[i - 1].first) {
      warnings.push_back(Quoted(folded[i - 1].second) + " and " + Quoted(folded[i].second) +
                         " differ only in letter case; the runtime finds only one of them");
    }
  }
  return names;
}

TPackResult PackApp(const TPackOptions& options, const TPackProgress& progress) {
  TPackResult result;
  const fs::path app_dir = Utf8ToPath(options.app_dir);
  std::error_code ec;
  if (!fs::is_directory(app_dir, ec)) {
    throw EPackError("app folder " + Quoted(options.app_dir) + " not found");
  }
  const TSettings settings = ReadAppSettings(app_dir, options.app_dir);
  const std::string dir_name = settings.ReadString("App", "DirName", "");
  const std::string index_html = settings.ReadString("App", "IndexHtml", "index.html");
  if (!fs::is_regular_file(app_dir / Utf8ToPath(dir_name) / Utf8ToPath(index_html), ec)) {
    result.warnings.push_back("the start page " + Quoted(dir_name + "/" + index_html) +
                              " is missing from " + Quoted(options.app_dir));
  }

  const bool default_runtime = options.runtime.empty();
  const std::string runtime = default_runtime ? DefaultRuntime() : options.runtime;
  CheckRuntime(runtime, default_runtime);
  const fs::path output = Utf8ToPath(options.output);
  if (fs::equivalent(output, Utf8ToPath(runtime), ec)) {
    throw EPackError("the output " + Quoted(options.output) + " is the runtime itself");
  }

  std::vector<TZipFileEntry> files;
  uint64_t total = 0;
  const bool output_exists = fs::exists(output, ec);
  for (std::string& name : CollectAppEntries(options.app_dir, result.warnings)) {
    const fs::path path = app_dir / Utf8ToPath(name);
    // A previous output inside the app folder must not pack itself.
    if (output_exists && fs::equivalent(path, output, ec)) {
      result.warnings.push_back("skipped " + Quoted(name) + ": it is the output file");
      continue;
    }
    const uint64_t size = fs::file_size(path, ec);
    if (!ec) total += size;
    files.push_back({std::move(name), PathToUtf8(path)});
  }

  TempFiles temps;
  const std::string zip_temp = temps.Add(TempPathBeside(options.output));
  const std::string exe_temp = temps.Add(TempPathBeside(options.output));
  try {
    WriteZipFile(zip_temp, files, kAppArchivePassword, [&](uint64_t written) {
      if (progress) progress("packing", written, total);
    });
  } catch (const EZipWriteError& e) {
    throw EPackError(e.what());
  }

  const fs::perms runtime_perms = fs::status(Utf8ToPath(runtime), ec).permissions();
  fs::copy_file(Utf8ToPath(runtime), Utf8ToPath(exe_temp), fs::copy_options::overwrite_existing,
                ec);
  if (ec) {
    throw EPackError("cannot copy runtime " + Quoted(runtime) + " to " + Quoted(exe_temp) + ": " +
                     ec.message());
  }
  // The copy may be read-only like its source; it must take the archive.
  fs::permissions(Utf8ToPath(exe_temp), fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::add, ec);
  try {
    TExeUtils utils(exe_temp);
    uint64_t archive_size = 0;
    utils.OnProgressMax = [&](TExeUtils&, int64_t max) {
      archive_size = static_cast<uint64_t>(max);
    };
    utils.OnProgressPos = [&](TExeUtils&, int64_t pos) {
      if (progress) progress("appending", static_cast<uint64_t>(pos), archive_size);
    };
    utils.AppendZipToExe(zip_temp, exe_temp);
    result.archive_size = archive_size;
    VerifyPackaged(exe_temp, kAppArchivePassword);
  } catch (const EPackError&) {
    throw;
  } catch (const std::exception& e) {
    throw EPackError(e.what());
  }
  fs::permissions(Utf8ToPath(exe_temp),
                  runtime_perms | fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, ec);
  fs::rename(Utf8ToPath(exe_temp), output, ec);
  if (ec) {
    throw EPackError("cannot create " + Quoted(options.output) + ": " + ec.message());
  }
  for (const TZipFileEntry& file : files) result.entries.push_back(file.name);
  return result;
}

std::vector<TZipEntryInfo> ListPackagedApp(const std::string& packaged) {
  TExeUtils utils(packaged);
  std::vector<uint8_t> archive;
  try {
    std::error_code ec;
    if (!fs::is_regular_file(Utf8ToPath(packaged), ec)) {
      throw EPackError(Quoted(packaged) + " not found");
    }
    if (!utils.ExeHasAttachedStub()) {
      throw EPackError(Quoted(packaged) + " carries no app archive");
    }
    utils.GetZipFromExe(archive);
    TExeZip zip;
    zip.SetPassword(std::string(kAppArchivePassword));
    zip.SetStream(archive);
    return zip.Entries();
  } catch (const EPackError&) {
    throw;
  } catch (const EExeFormatError& e) {
    throw EPackError(Quoted(packaged) + " is not an executable: " + e.what());
  } catch (const std::exception& e) {
    throw EPackError(Quoted(packaged) + ": " + e.what());
  }
}

int RunPacker(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool progress_bar) {
  const auto usage_error = [&](const std::string& message) {
    err << "tessel-pack: " << message << '\n' << kUsage;
    return 2;
  };
  std::vector<std::string> positional;
  std::string runtime;
  bool list = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      out << kUsage;
      return 0;
    }
    if (arg == "--list") {
      list = true;
    } else if (arg == "--runtime") {
      if (++i == args.size() || args[i].empty()) return usage_error("--runtime needs a file");
      runtime = args[i];
    } else if (arg.starts_with("--runtime=")) {
      runtime = arg.substr(10);
      if (runtime.empty()) return usage_error("--runtime needs a file");
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return usage_error("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }

  try {
    if (list) {
      if (positional.size() != 1 || !runtime.empty()) {
        return usage_error("--list takes one packaged app");
      }
      for (const TZipEntryInfo& entry : ListPackagedApp(positional[0])) {
        out << entry.name << ' ' << entry.size << '\n';
      }
      return 0;
    }
    if (positional.size() != 2) return usage_error("expected APP_DIR and OUTPUT");
    ProgressBar bar(err, progress_bar);
    const TPackResult result = PackApp(
        {positional[0], positional[1], runtime},
        [&](std::string_view phase, uint64_t pos, uint64_t max) { bar.Show(phase, pos, max); });
    bar.End();
    for (const std::string& warning : result.warnings) {
      err << "tessel-pack: warning: " << warning << '\n';
    }
    out << "packed " << result.entries.size() << " files (" << result.archive_size
        << " bytes of archive) into " << positional[1] << '\n';
    return 0;
  } catch (const std::exception& e) {
    err << "tessel-pack: error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace tessel::shared
