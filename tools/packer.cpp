#include "packer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <system_error>

#include "platform/os.h"
#include "shared/exe_utils.h"
#include "shared/pe_resources.h"
#include "shared/program_constants.h"
#include "shared/settings.h"
#include "shared/utf.h"
#include "shared/zip_writer.h"

namespace tessel::shared {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUsage =
    "usage: tessel-pack APP_DIR OUTPUT [--runtime RUNTIME] [--icon FILE.ico]\n"
    "                   [--version-info KEY=VALUE]... [--no-engine-module]\n"
    "       tessel-pack --list PACKAGED\n"
    "--icon and --version-info apply to Windows runtimes; version keys: CompanyName,\n"
    "FileDescription, FileVersion, InternalName, LegalCopyright, LegalTrademarks,\n"
    "OriginalFilename, ProgramID, ProductName, ProductVersion, Comments.\n"
    "Defaults for both: section [Package] of the app's vtx.ini (Icon=FILE.ico and\n"
    "the version keys); the command line wins.\n";

constexpr std::string_view kEngineModuleName = "libtessel-engine-webkit.so";
constexpr std::string_view kWindowsLoaderName = "WebView2LoaderWin64.dll";

// Every key of section [App] that the runtime reads.
constexpr std::string_view kSettingsKeys[] = {"ID",
                                              "Name",
                                              "DirName",
                                              "IndexHtml",
                                              "Theme",
                                              "AllowInstances",
                                              "Password",
                                              "EdgeInstaller",
                                              "InstallFormColor",
                                              "InstallIndicatorColor",
                                              "InstallIndicatorType",
                                              "AllowDebug",
                                              "AllowContextMenu",
                                              "Width",
                                              "Height",
                                              "MaxWidth",
                                              "MaxHeight",
                                              "MinWidth",
                                              "MinHeight",
                                              "WindowStyle",
                                              "WindowBorder",
                                              "WindowState",
                                              "WindowOrder",
                                              "DynamicAppTitle"};

// The keys of section [Package], read by the packer alone: defaults for
// --icon and --version-info.
std::vector<std::string_view> PackageKeys() {
  std::vector<std::string_view> keys{"Icon"};
  keys.insert(keys.end(), std::begin(kVersionKeys), std::end(kVersionKeys));
  return keys;
}

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

// Edit distance with adjacent transpositions, so "Widht" is one step from
// "Width".
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The known name closest to `name` (without regard to case), when it is
// close enough to be a slip of the keyboard.
template <typename Names>
std::string ClosestName(std::string_view name, const Names& known) {
  const std::string folded = FoldAscii(std::string(name));
  std::string best;
  size_t best_distance = std::max<size_t>(1, std::min<size_t>(2, folded.size() / 3)) + 1;
  for (const std::string_view candidate : known) {
    const size_t distance = EditDistance(folded, FoldAscii(std::string(candidate)));
    if (distance < best_distance) {
      best_distance = distance;
      best = std::string(candidate);
    }
  }
  return best;
}

std::string Trim(std::string_view s) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path, const std::string& what) {
  std::ifstream in(Utf8ToPath(path), std::ios::binary);
  if (!in) throw EPackError("cannot open " + what + " " + Quoted(path));
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw EPackError("cannot read " + what + " " + Quoted(path));
  return bytes;
}

bool ContainsText(const std::vector<uint8_t>& bytes, std::string_view text) {
  return std::search(bytes.begin(), bytes.end(),
                     std::boyer_moore_horspool_searcher(text.begin(), text.end())) != bytes.end();
}

std::string DefaultRuntime() {
  // Beside the packer, with the packer's own extension (".exe" on Windows).
  const fs::path self = Utf8ToPath(platform::CurrentOs().ExecutablePath());
  if (self.empty()) return {};
  fs::path runtime = self.parent_path() / "tessel-runtime";
  runtime += self.extension();
  return PathToUtf8(runtime);
}

// Reads the identity keys the runtime refuses to start without.
TSettings ReadAppSettings(const fs::path& app_dir, const std::string& app_dir_text,
                          std::vector<std::string>& warnings) {
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
  for (std::string& warning : UnknownSettingsKeys(bytes)) warnings.push_back(std::move(warning));
  return settings;
}

// Checks that `runtime` is an executable image with nothing behind it and
// returns its format.
TImageFormat CheckRuntime(const std::string& runtime, bool is_default) {
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
  return layout.format;
}

// The engine module a Linux runtime loads when it is installed: beside it,
// or in ../lib as the install rules put it.
std::string FindEngineModule(const std::string& runtime) {
  const fs::path dir = Utf8ToPath(runtime).parent_path();
  for (const fs::path& candidate :
       {dir / kEngineModuleName, dir.parent_path() / "lib" / kEngineModuleName}) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return PathToUtf8(candidate);
  }
  return {};
}

// The icon file, checked as the resource editor will check it.
std::vector<uint8_t> ReadIconFile(const std::string& icon) {
  std::error_code ec;
  const uint64_t size = fs::file_size(Utf8ToPath(icon), ec);
  if (ec) throw EPackError("icon " + Quoted(icon) + " not found");
  if (size > kMaxIconFileSize)
    throw EPackError("icon " + Quoted(icon) + ": Icon file is too large");
  std::vector<uint8_t> bytes = ReadWholeFile(icon, "icon");
  if (!IsValidIconFile(bytes)) throw EPackError("icon " + Quoted(icon) + ": Icon file is invalid");
  return bytes;
}

// Checks each text against the room its value has in the runtime's version
// template, so that nothing is cut or dropped in the packed app.
struct TNamedVersionText : TVersionText {
  std::string origin;  // where the user gave it, for messages
};

void CheckVersionTexts(const TPeImage& image, const std::string& runtime,
                       const std::vector<TNamedVersionText>& texts) {
  const TResource* version = FindVersionResource(image);
  if (version == nullptr) {
    throw EPackError("runtime " + Quoted(runtime) + " has no version information to write into");
  }
  std::vector<TVersionValue> values;
  try {
    values = ListVersionValues(version->data);
  } catch (const EPeResourceError& e) {
    throw EPackError("runtime " + Quoted(runtime) + ": " + e.what());
  }
  for (const TNamedVersionText& text : texts) {
    size_t room = 0;
    bool found = false;
    for (const TVersionValue& v : values) {
      if (FoldAscii(std::string(v.key.begin(), v.key.end())) != FoldAscii(text.key)) continue;
      room =
          found ? std::min(room, v.chars - (v.chars > 0 ? 1 : 0)) : v.chars - (v.chars > 0 ? 1 : 0);
      found = true;
    }
    if (!found) {
      throw EPackError("runtime " + Quoted(runtime) + " has no version value " + text.key);
    }
    if (text.value.size() > room) {
      throw EPackError(text.origin + " " + text.key + " is " + std::to_string(text.value.size()) +
                       " characters long; the runtime has room for " + std::to_string(room));
    }
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

std::string Megabytes(uint64_t bytes) {
  constexpr uint64_t kMegabyte = uint64_t{1024} * 1024;
  const uint64_t tenths = (bytes * 10 + kMegabyte / 2) / kMegabyte;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
  ~ProgressBar() { End(); }

  void Show(std::string_view phase, uint64_t pos, uint64_t max) {
    constexpr uint64_t kLargeApp = uint64_t{4} * 1024 * 1024;
    if (!enabled_ || max < kLargeApp) return;
    const int percent = static_cast<int>(pos * 100 / max);
    if (phase == phase_ && percent == percent_) return;
    if (phase != phase_ && !phase_.empty()) out_ << '\n';
    phase_ = std::string(phase);
    percent_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    out_ << '\r' << phase_ << " [" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << Megabytes(pos)
         << " of " << Megabytes(max) << ' ' << percent << "%  " << std::flush;
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

std::vector<std::string> UnknownSettingsKeys(std::string_view settings_bytes) {
  std::vector<std::string> warnings;
  const std::string text = TSettings::DecodeText(settings_bytes);
  // The runtime reads [App]; the packer reads [Package]; other sections are
  // the author's own.
  enum class Section { kOther, kApp, kPackage } section = Section::kOther;
  std::istringstream lines(text);
  for (std::string raw; std::getline(lines, raw);) {
    // Lone CRs end lines too; the runtime reads them that way.
    std::istringstream parts(raw);
    for (std::string part; std::getline(parts, part, '\r');) {
      const std::string line = Trim(part);
      if (line.empty() || line[0] == ';') continue;
      if (line.front() == '[' && line.back() == ']') {
        const std::string name = FoldAscii(Trim(std::string_view(line).substr(1, line.size() - 2)));
        section = name == "app"       ? Section::kApp
                  : name == "package" ? Section::kPackage
                                      : Section::kOther;
        continue;
      }
      if (section == Section::kOther) continue;
      const std::string key = Trim(std::string_view(line).substr(0, line.find('=')));
      const std::vector<std::string_view> names =
          section == Section::kApp
              ? std::vector<std::string_view>(std::begin(kSettingsKeys), std::end(kSettingsKeys))
              : PackageKeys();
      const bool known = std::any_of(names.begin(), names.end(), [&](std::string_view k) {
        return FoldAscii(std::string(k)) == FoldAscii(key);
      });
      if (known) continue;
      const std::string closest = ClosestName(key, names);
      const bool app = section == Section::kApp;
      warnings.push_back("vtx.ini: unknown key " + Quoted(key) +
                         (app ? " in [App]" : " in [Package]") +
                         (!closest.empty() ? ": did you mean " + closest + "?"
                          : app            ? std::string(" (the runtime ignores it)")
                                           : std::string(" (the packer ignores it)")));
    }
  }
  return warnings;
}

TPackResult PackApp(const TPackOptions& options, const TPackProgress& progress) {
  TPackResult result;
  const fs::path app_dir = Utf8ToPath(options.app_dir);
  std::error_code ec;
  if (!fs::is_directory(app_dir, ec)) {
    throw EPackError("app folder " + Quoted(options.app_dir) + " not found");
  }
  const TSettings settings = ReadAppSettings(app_dir, options.app_dir, result.warnings);
  const std::string dir_name = settings.ReadString("App", "DirName", "");
  const std::string index_html = settings.ReadString("App", "IndexHtml", "index.html");
  if (!fs::is_directory(app_dir / Utf8ToPath(dir_name), ec)) {
    throw EPackError("the DirName folder " + Quoted(dir_name) + " is missing from " +
                     Quoted(options.app_dir));
  }
  if (!fs::is_regular_file(app_dir / Utf8ToPath(dir_name) / Utf8ToPath(index_html), ec)) {
    throw EPackError("the start page " + Quoted(dir_name + "/" + index_html) + " is missing from " +
                     Quoted(options.app_dir));
  }

  const bool default_runtime = options.runtime.empty();
  const std::string runtime = default_runtime ? DefaultRuntime() : options.runtime;
  const TImageFormat format = CheckRuntime(runtime, default_runtime);
  const fs::path output = Utf8ToPath(options.output);
  if (fs::equivalent(output, Utf8ToPath(runtime), ec)) {
    throw EPackError("the output " + Quoted(options.output) + " is the runtime itself");
  }
  std::vector<uint8_t> runtime_bytes = ReadWholeFile(runtime, "runtime");
  if (!ContainsText(runtime_bytes, RuntimeImageMark())) {
    throw EPackError("runtime " + Quoted(runtime) +
                     " is not a Tessel runtime image (an executable without the runtime's mark)");
  }

  std::vector<TNamedVersionText> texts;
  for (const auto& [key, value] : options.version_info) {
    texts.push_back({{key, utf::Utf8ToUtf16(value)}, "--version-info"});
  }
  std::string icon = options.icon;
  const bool edits_resources = !icon.empty() || !texts.empty();
  if (format == TImageFormat::kPe) {
    // The app's own defaults, so that one app folder packs the same way every
    // time; the command line wins key by key. A Linux runtime ignores them:
    // the same folder packs for both.
    const std::string package_icon = settings.ReadString("Package", "Icon", "");
    if (icon.empty() && !package_icon.empty()) {
      icon = PathToUtf8(app_dir / Utf8ToPath(package_icon));  // an absolute path stays itself
    }
    for (const std::string_view key : kVersionKeys) {
      const std::string value = settings.ReadString("Package", std::string(key), "");
      const bool given = std::any_of(texts.begin(), texts.end(),
                                     [&](const TNamedVersionText& t) { return t.key == key; });
      if (!value.empty() && !given) {
        texts.push_back({{std::string(key), utf::Utf8ToUtf16(value)}, "vtx.ini [Package]"});
      }
    }
  }
  std::vector<TZipFileEntry> extra_files;
  if (format == TImageFormat::kElf64) {
    if (edits_resources) {
      throw EPackError("--icon and --version-info apply to Windows runtimes; " + Quoted(runtime) +
                       " is a Linux runtime, whose executables carry no icon or version texts");
    }
    std::error_code exists_ec;
    if (options.engine_module && !fs::exists(app_dir / kEngineModuleName, exists_ec)) {
      const std::string module = FindEngineModule(runtime);
      if (module.empty()) {
        throw EPackError("no engine module " + std::string(kEngineModuleName) +
                         " beside the runtime or in ../lib; pass --no-engine-module for an app "
                         "that uses the one installed beside its runtime");
      }
      extra_files.push_back({std::string(kEngineModuleName), module});
    }
  } else {
    std::error_code exists_ec;
    if (!fs::exists(app_dir / kWindowsLoaderName, exists_ec)) {
      result.warnings.push_back(
          "the app folder has no " + std::string(kWindowsLoaderName) +
          ": the Windows app cannot start its web engine; copy the loader library of the "
          "WebView2 SDK (x64) into " +
          Quoted(options.app_dir));
    }
  }
  if (!icon.empty() || !texts.empty()) {
    // Everything is checked before anything is written.
    try {
      TPeImage image(std::move(runtime_bytes));
      if (!icon.empty()) ReplaceMainIcon(image, ReadIconFile(icon));
      if (!texts.empty()) {
        CheckVersionTexts(image, runtime, texts);
        UpdateVersionTexts(image, std::vector<TVersionText>(texts.begin(), texts.end()));
      }
      runtime_bytes = image.Build();
    } catch (const EPeResourceError& e) {
      throw EPackError("runtime " + Quoted(runtime) + ": " + e.what());
    }
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
  for (TZipFileEntry& extra : extra_files) {
    const uint64_t size = fs::file_size(Utf8ToPath(extra.path), ec);
    if (!ec) total += size;
    files.push_back(std::move(extra));
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
  {
    std::ofstream out(Utf8ToPath(exe_temp), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(runtime_bytes.data()),
              static_cast<std::streamsize>(runtime_bytes.size()));
    out.close();
    if (!out) throw EPackError("cannot write " + Quoted(exe_temp));
  }
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
  TPackOptions options;
  std::string& runtime = options.runtime;
  bool list = false;
  bool windows_options = false;
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
    } else if (arg == "--icon" || arg.starts_with("--icon=")) {
      if (arg == "--icon" && ++i == args.size()) return usage_error("--icon needs a file");
      options.icon = arg == "--icon" ? args[i] : arg.substr(7);
      if (options.icon.empty()) return usage_error("--icon needs a file");
      windows_options = true;
    } else if (arg == "--version-info" || arg.starts_with("--version-info=")) {
      if (arg == "--version-info" && ++i == args.size()) {
        return usage_error("--version-info needs KEY=VALUE");
      }
      const std::string item = arg == "--version-info" ? args[i] : arg.substr(15);
      const size_t eq = item.find('=');
      if (eq == std::string::npos) return usage_error("--version-info needs KEY=VALUE: " + item);
      const std::string key = item.substr(0, eq);
      const auto known = std::find_if(
          std::begin(kVersionKeys), std::end(kVersionKeys),
          [&](std::string_view k) { return FoldAscii(std::string(k)) == FoldAscii(key); });
      if (known == std::end(kVersionKeys)) {
        const std::string closest = ClosestName(key, kVersionKeys);
        return usage_error("unknown version key " + Quoted(key) +
                           (closest.empty() ? "" : ": did you mean " + closest + "?"));
      }
      // A later value for the same key replaces an earlier one.
      std::erase_if(options.version_info, [&](const auto& kv) { return kv.first == *known; });
      options.version_info.emplace_back(std::string(*known), item.substr(eq + 1));
      windows_options = true;
    } else if (arg == "--no-engine-module") {
      options.engine_module = false;
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return usage_error("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }

  try {
    if (list) {
      if (positional.size() != 1 || !runtime.empty() || windows_options) {
        return usage_error("--list takes one packaged app");
      }
      for (const TZipEntryInfo& entry : ListPackagedApp(positional[0])) {
        out << entry.name << ' ' << entry.size << '\n';
      }
      return 0;
    }
    if (positional.size() != 2) return usage_error("expected APP_DIR and OUTPUT");
    ProgressBar bar(err, progress_bar);
    options.app_dir = positional[0];
    options.output = positional[1];
    const TPackResult result = PackApp(options, [&](std::string_view phase, uint64_t pos,
                                                    uint64_t max) { bar.Show(phase, pos, max); });
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
