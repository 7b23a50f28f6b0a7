#include "packer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <system_error>

#include "linux_package.h"
#include "platform/os.h"
#include "shared/app_rules.h"
#include "shared/desktop_id.h"
#include "shared/exe_utils.h"
#include "shared/icon_image.h"
#include "shared/pe_resources.h"
#include "shared/program_constants.h"
#include "shared/settings.h"
#include "shared/utf.h"
#include "shared/zip_writer.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tessel::shared {

namespace fs = std::filesystem;

namespace {

std::string Usage(std::string_view program) {
  const std::string pad(program.size(), ' ');
  std::string usage = "usage: " + std::string(program) +
                      " APP_DIR OUTPUT [--runtime RUNTIME] [--icon FILE.png|FILE.ico]\n"
                      "       " +
                      pad +
                      " [--version-info KEY=VALUE]... [--no-engine-module] [--dry-run]\n"
                      "       " +
                      pad + " [--allow-missing-loader] [--desktop | --deb]\n";
  if (program == "tessel-pack") {
    usage += "       tessel-pack --list PACKAGED\n       tessel-pack --version\n";
  }
  return usage +
         "--dry-run checks everything and lists what would go in, with sizes; it writes\n"
         "nothing. The app folder's .tesselignore (gitignore patterns) leaves files out;\n"
         ".git/, .svn/, .hg/, .DS_Store, Thumbs.db and desktop.ini never go in.\n"
         "Windows runtimes: --sign-cert CERT --sign-key KEY (PEM files) or --sign-pkcs12\n"
         "FILE sign the finished app with osslsigncode; --sign-pass-env NAME names the\n"
         "environment variable holding the password; --timestamp URL a time-stamping\n"
         "server. A runtime that is already signed is refused: sign after packing.\n"
         "--icon takes a square PNG of at least 16 px (256 or more is best): Windows\n"
         "runtimes get an icon of 256, 48, 32 and 16 px made from it (never scaled up),\n"
         "Linux apps carry it for their window. An .ico serves Windows runtimes only.\n"
         "--version-info applies to Windows runtimes; version keys: CompanyName,\n"
         "FileDescription, FileVersion, InternalName, LegalCopyright, LegalTrademarks,\n"
         "OriginalFilename, ProgramID, ProductName, ProductVersion, Comments.\n"
         "Defaults for both: section [Package] of the app's vtx.ini (Icon=FILE and\n"
         "the version keys); the command line wins. Unset, FileDescription and\n"
         "ProductName are the app's Name, OriginalFilename and InternalName the\n"
         "output's file name.\n"
         "A Windows app folder must hold WebView2LoaderWin64.dll (the WebView2 SDK's x64\n"
         "loader); --allow-missing-loader packs it anyway, with a warning.\n"
         "Linux runtimes: --desktop also writes OUTPUT.desktop (Exec= OUTPUT's absolute\n"
         "path) and the icon as OUTPUT.png; --deb makes OUTPUT a Debian package (the app\n"
         "in /opt/<ID>/, /usr/bin/<package>, its desktop entry and hicolor icons; built\n"
         "with dpkg-deb). Package name from ID; Version from ProductVersion (default\n"
         "1.0), Maintainer from CompanyName (default Name), both from --version-info or\n"
         "[Package]; [Package] Categories= goes into the desktop entry (default Utility).\n";
}

constexpr std::string_view kEngineModuleName = "libtessel-engine-webkit.so";
constexpr std::string_view kWindowsLoaderName = "WebView2LoaderWin64.dll";
constexpr std::string_view kWindowsInstallerName = "WebView2Installer.exe";
constexpr std::string_view kLoaderCreateExport = "CreateCoreWebView2EnvironmentWithOptions";

enum class KeyType { kString, kBoolean, kInteger };

struct TSettingsKey {
  std::string_view name;
  KeyType type;
  int32_t default_value;  // booleans and integers
};

// Every key of section [App] that the runtime reads, typed as it reads them.
constexpr TSettingsKey kSettingsKeys[] = {
    {"ID", KeyType::kString, 0},
    {"Name", KeyType::kString, 0},
    {"DirName", KeyType::kString, 0},
    {"IndexHtml", KeyType::kString, 0},
    {"Theme", KeyType::kString, 0},
    {"AllowInstances", KeyType::kBoolean, 0},
    {"Password", KeyType::kString, 0},
    {"EdgeInstaller", KeyType::kBoolean, 1},
    {"InstallFormColor", KeyType::kInteger, static_cast<int32_t>(0xFF00001A)},
    {"InstallIndicatorColor", KeyType::kInteger, 1},
    {"InstallIndicatorType", KeyType::kInteger, 0},
    {"AllowDebug", KeyType::kBoolean, 0},
    {"AllowContextMenu", KeyType::kBoolean, 0},
    {"Width", KeyType::kInteger, 800},
    {"Height", KeyType::kInteger, 600},
    {"MaxWidth", KeyType::kInteger, 0},
    {"MaxHeight", KeyType::kInteger, 0},
    {"MinWidth", KeyType::kInteger, 0},
    {"MinHeight", KeyType::kInteger, 0},
    {"WindowStyle", KeyType::kInteger, 0},
    {"WindowBorder", KeyType::kInteger, 2},
    {"WindowState", KeyType::kInteger, 0},
    {"WindowOrder", KeyType::kInteger, 0},
    {"DynamicAppTitle", KeyType::kBoolean, 0},
};

std::vector<std::string_view> AppKeys() {
  std::vector<std::string_view> keys;
  for (const TSettingsKey& key : kSettingsKeys) keys.push_back(key.name);
  return keys;
}

// The keys of section [Package], read by the packer alone: defaults for
// --icon and --version-info.
std::vector<std::string_view> PackageKeys() {
  std::vector<std::string_view> keys{"Icon", "Categories"};
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
  if (const auto problem = AppIdProblem(settings.ReadString("App", "ID", ""))) {
    throw EPackError("vtx.ini: " + *problem);
  }
  if (const auto problem = AppDirNameProblem(settings.ReadString("App", "DirName", ""))) {
    throw EPackError("vtx.ini: " + *problem);
  }
  for (std::string& warning : SettingsWarnings(bytes)) warnings.push_back(std::move(warning));
  return settings;
}

// One time for every entry, so that the same files give the same bytes on
// any machine: SOURCE_DATE_EPOCH when set (seconds since 1970, UTC), else the
// format's earliest date.
TDosDateTime ArchiveTime() {
  const std::string epoch = platform::CurrentOs().GetEnv("SOURCE_DATE_EPOCH");
  if (epoch.empty()) return {};
  int64_t seconds = 0;
  const auto [end, error] = std::from_chars(epoch.data(), epoch.data() + epoch.size(), seconds);
  if (error != std::errc() || end != epoch.data() + epoch.size() || seconds < 0) {
    throw EPackError("SOURCE_DATE_EPOCH is not a number of seconds since 1970: " + Quoted(epoch));
  }
  return ToDosDateTime(static_cast<std::time_t>(seconds));
}

// Entries in the order of their names' bytes, whatever order they were
// found in; `sizes` follows its files.
void SortByName(std::vector<TZipFileEntry>& files, std::vector<uint64_t>& sizes) {
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return files[a].name < files[b].name; });
  std::vector<TZipFileEntry> sorted_files;
  std::vector<uint64_t> sorted_sizes;
  for (const size_t i : order) {
    sorted_files.push_back(std::move(files[i]));
    sorted_sizes.push_back(sizes[i]);
  }
  files = std::move(sorted_files);
  sizes = std::move(sorted_sizes);
}

// Why a file cannot serve a Windows app as its engine's loader library, or
// nothing when it can.
std::optional<std::string> LoaderProblem(const fs::path& path) {
  const std::string name(kWindowsLoaderName);
  TPeLibrary library;
  try {
    library = ReadPeLibrary(ReadWholeFile(PathToUtf8(path), "loader library"));
  } catch (const EPeResourceError& e) {
    return name + " is not a Windows library: " + e.what();
  }
  if (!library.is_dll) return name + " is a program, not a library";
  if (!library.pe32_plus || library.machine != 0x8664) return name + " is not an x64 library";
  if (std::find(library.exports.begin(), library.exports.end(), kLoaderCreateExport) ==
      library.exports.end()) {
    return name + " does not export " + std::string(kLoaderCreateExport);
  }
  return std::nullopt;
}

// A Windows app without a usable loader library tells every user that the
// engine is missing, even where it is installed: refused unless the author
// says so. The installer is only needed where the engine is missing.
void CheckWindowsEngineFiles(const TPackOptions& options, const TSettings& settings,
                             const std::vector<std::string>& names,
                             std::vector<std::string>& warnings) {
  const auto entry = [&](std::string_view wanted) -> const std::string* {
    const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
      return FoldAscii(n) == FoldAscii(std::string(wanted));
    });
    return found == names.end() ? nullptr : &*found;
  };
  const fs::path app_dir = Utf8ToPath(options.app_dir);
  const std::string* loader = entry(kWindowsLoaderName);
  const std::optional<std::string> problem =
      loader == nullptr ? "the app folder has no " + std::string(kWindowsLoaderName)
                        : LoaderProblem(app_dir / Utf8ToPath(*loader));
  if (problem) {
    const std::string text =
        *problem +
        ": the Windows app cannot start its web engine, and tells its users the engine is "
        "missing even where it is installed; copy the x64 loader library of the WebView2 SDK "
        "(WebView2Loader.dll, renamed " +
        std::string(kWindowsLoaderName) + ") into " + Quoted(options.app_dir);
    if (!options.allow_missing_loader) throw EPackError(text + ", or pass --allow-missing-loader");
    warnings.push_back(text);
  }
  if (settings.ReadBool("App", "EdgeInstaller", true) && entry(kWindowsInstallerName) == nullptr) {
    warnings.push_back("the app folder has no " + std::string(kWindowsInstallerName) +
                       ": where the WebView2 runtime is missing, a user who accepts installing "
                       "it is told the app cannot continue; copy the runtime's installer into " +
                       Quoted(options.app_dir) + " as " + std::string(kWindowsInstallerName) +
                       ", or set EdgeInstaller=0");
  }
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
  // A signature covers the image as it was; the archive and version texts
  // would break it, and the archive would sit before the certificate table.
  constexpr std::string_view kAlreadySigned = "sign after packing: the runtime is already signed";
  TImageLayout layout{};
  try {
    layout = ComputeAttachOffsetOfFile(runtime);
  } catch (const ECertificateTableError&) {
    throw EPackError(std::string(kAlreadySigned));
  } catch (const EExeFormatError& e) {
    throw EPackError("runtime " + Quoted(runtime) + " is not an executable: " + e.what());
  } catch (const std::exception& e) {
    throw EPackError("cannot read runtime " + Quoted(runtime) + ": " + e.what());
  }
  if (layout.is_signed) throw EPackError(std::string(kAlreadySigned));
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

// An icon named .png, or whose bytes start as a PNG's, is a picture to make
// the icons from; anything else is a Windows icon file.
bool IsPngIcon(const std::string& icon) {
  if (FoldAscii(PathToUtf8(Utf8ToPath(icon).extension())) == ".png") return true;
  std::ifstream in(Utf8ToPath(icon), std::ios::binary);
  std::array<char, 8> head{};
  in.read(head.data(), head.size());
  return in.gcount() == 8 && LooksLikePng({reinterpret_cast<const uint8_t*>(head.data()), 8});
}

TIconPicture ReadPngIconFile(const std::string& icon) {
  std::error_code ec;
  const uint64_t size = fs::file_size(Utf8ToPath(icon), ec);
  if (ec) throw EPackError("icon " + Quoted(icon) + " not found");
  if (size > kMaxIconPngSize) throw EPackError("icon " + icon + " is larger than 16 MB");
  try {
    return DecodePngIcon(ReadWholeFile(icon, "icon"), icon);
  } catch (const EIconImageError& e) {
    throw EPackError(e.what());
  }
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

// A version text that is no number leaves the numeric version where it was,
// which installers and Explorer's details read: say so, with that number.
void WarnNonNumericVersions(const TPeImage& image, const std::vector<TNamedVersionText>& texts,
                            std::vector<std::string>& warnings) {
  const TResource* version = FindVersionResource(image);
  if (version == nullptr) return;
  const std::optional<TFixedVersion> fixed = ReadFixedVersion(version->data);
  for (const TNamedVersionText& text : texts) {
    const bool file = FoldAscii(text.key) == "fileversion";
    if ((!file && FoldAscii(text.key) != "productversion") || ParseVersionNumber(text.value)) {
      continue;
    }
    const std::string kind = file ? "file" : "product";
    warnings.push_back(
        (file ? "FileVersion " : "ProductVersion ") + Quoted(utf::Utf16ToUtf8(text.value)) +
        " is not a dotted number of up to four parts: the numeric " + kind + " version " +
        (fixed ? "stays " + VersionNumberText(file ? fixed->file : fixed->product)
               : "is left as it is"));
  }
}

// Moves each default text the runtime's version template has a value for
// into `texts`, cut to the value's room: a default is only a convenience, so
// a long app name is shortened rather than refused.
void AddFittingDefaults(const TPeImage& image, const std::vector<TNamedVersionText>& defaults,
                        std::vector<TNamedVersionText>& texts) {
  const TResource* version = FindVersionResource(image);
  if (version == nullptr || defaults.empty()) return;
  const std::vector<TVersionValue> values = ListVersionValues(version->data);
  for (TNamedVersionText text : defaults) {
    size_t room = std::u16string::npos;
    for (const TVersionValue& v : values) {
      if (FoldAscii(std::string(v.key.begin(), v.key.end())) != FoldAscii(text.key)) continue;
      room = std::min(room, v.chars - (v.chars > 0 ? 1 : 0));
    }
    if (room == std::u16string::npos) continue;
    if (text.value.size() > room) {
      text.value.resize(room);
      // Never half a surrogate pair.
      if (!text.value.empty() && text.value.back() >= 0xD800 && text.value.back() <= 0xDBFF) {
        text.value.pop_back();
      }
    }
    texts.push_back(std::move(text));
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

// --- signing --------------------------------------------------------------------

constexpr std::string_view kSigner = "osslsigncode";

// The signer's full path from PATH, or empty.
std::string FindSigner() {
  const std::string path = platform::CurrentOs().GetEnv("PATH");
#ifdef _WIN32
  constexpr char kListSeparator = ';';
  const std::string name = std::string(kSigner) + ".exe";
#else
  constexpr char kListSeparator = ':';
  const std::string name(kSigner);
#endif
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find(kListSeparator, start), path.size());
    const std::string dir = path.substr(start, end - start);
    start = end + 1;
    if (dir.empty()) continue;
    const fs::path candidate = Utf8ToPath(dir) / Utf8ToPath(name);
    std::error_code ec;
    if (!fs::is_regular_file(candidate, ec)) continue;
#ifndef _WIN32
    if (access(candidate.c_str(), X_OK) != 0) continue;
#endif
    return PathToUtf8(candidate);
  }
  return {};
}

// What the signing options ask for, checked before anything is written.
struct TSigning {
  std::string signer;    // osslsigncode's path
  std::string password;  // from the environment; empty: none given
};

TSigning CheckSigning(const TPackOptions& options, TImageFormat format,
                      const std::string& runtime) {
  if (format != TImageFormat::kPe) {
    throw EPackError("signing applies to Windows runtimes; " + Quoted(runtime) +
                     " is a Linux runtime, which carries no Authenticode signature");
  }
  for (const auto& [file, what] :
       {std::pair{&options.sign_cert, "certificate"}, std::pair{&options.sign_key, "private key"},
        std::pair{&options.sign_pkcs12, "PKCS#12 file"}}) {
    std::error_code ec;
    if (!file->empty() && !fs::is_regular_file(Utf8ToPath(*file), ec)) {
      throw EPackError(std::string(what) + " " + Quoted(*file) + " not found");
    }
  }
  TSigning signing;
  if (!options.sign_pass_env.empty()) {
    signing.password = platform::CurrentOs().GetEnv(options.sign_pass_env);
    if (signing.password.empty()) {
      throw EPackError("the environment variable " + options.sign_pass_env +
                       " (--sign-pass-env) holds no password");
    }
  }
  signing.signer = FindSigner();
  if (signing.signer.empty()) {
    throw EPackError(
        "signing needs osslsigncode, which is not installed (Debian package "
        "osslsigncode)");
  }
  return signing;
}

#ifndef _WIN32
// The signer's own words on a failure, on one line: its lines without the
// verdict and without OpenSSL's error stack.
std::string SignerMessage(const std::string& output) {
  std::string said;
  std::string all;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    line = Trim(line);
    if (line.empty()) continue;
    all += (all.empty() ? "" : "; ") + line;
    if (line == "Failed" || line.find(":error:") != std::string::npos) continue;
    said += (said.empty() ? "" : "; ") + line;
  }
  return said.empty() ? all : said;
}
#endif

// Signs `in` into `out` (a new file) with osslsigncode. The password goes
// through a file only the user may read, never the command line.
void SignExecutable(const TPackOptions& options, const TSigning& signing, const std::string& name,
                    const std::string& in, const std::string& out) {
#ifdef _WIN32
  (void)options;
  (void)signing;
  (void)name;
  (void)in;
  (void)out;
  throw EPackError("this packer cannot run osslsigncode: pack on Linux, or sign the packed app");
#else
  TempFiles temps;
  std::vector<std::string> args{signing.signer, "sign"};
  if (!options.sign_pkcs12.empty()) {
    args.insert(args.end(), {"-pkcs12", options.sign_pkcs12});
  } else {
    args.insert(args.end(), {"-certs", options.sign_cert, "-key", options.sign_key});
  }
  if (!signing.password.empty()) {
    const std::string pass_file = temps.Add(TempPathBeside(out));
    const int fd = open(pass_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw EPackError("cannot write " + Quoted(pass_file));
    const auto written = write(fd, signing.password.data(), signing.password.size());
    if (close(fd) != 0 || written != static_cast<ssize_t>(signing.password.size())) {
      throw EPackError("cannot write " + Quoted(pass_file));
    }
    args.insert(args.end(), {"-readpass", pass_file});
  }
  args.insert(args.end(), {"-h", "sha256", "-n", name});
  if (!options.timestamp.empty()) args.insert(args.end(), {"-ts", options.timestamp});
  // The signing time is the one time a signature carries of its own; the
  // same as the archive's makes the signed app reproducible too.
  const std::string epoch = platform::CurrentOs().GetEnv("SOURCE_DATE_EPOCH");
  if (!epoch.empty()) args.insert(args.end(), {"-time", epoch});
  args.insert(args.end(), {"-in", in, "-out", out});

  const std::string log = temps.Add(TempPathBeside(out));
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0) {
    throw EPackError("cannot start " + Quoted(signing.signer) + ": " +
                     std::error_code(started, std::generic_category()).message());
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ec;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fs::is_regular_file(Utf8ToPath(out), ec)) {
    const std::vector<uint8_t> said = ReadWholeFile(log, "signer's output");
    throw EPackError("osslsigncode could not sign the app: " +
                     SignerMessage(std::string(said.begin(), said.end())));
  }
#endif
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
                                           std::vector<std::string>& warnings,
                                           std::vector<TLeftOut>* left_out) {
  const fs::path root = Utf8ToPath(app_dir);
  TIgnoreRules rules;
  std::error_code ec;
  const fs::path ignore_file = root / Utf8ToPath(kIgnoreFileName);
  if (fs::exists(fs::symlink_status(ignore_file, ec))) {
    if (!fs::is_regular_file(ignore_file, ec)) {
      throw EPackError(Quoted(std::string(kIgnoreFileName)) + " in " + Quoted(app_dir) +
                       " is not a file");
    }
    const std::vector<uint8_t> bytes = ReadWholeFile(PathToUtf8(ignore_file), "ignore file");
    rules = TIgnoreRules::Parse(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  std::vector<std::string> names;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const std::string name = PathToUtf8(entry.path().lexically_relative(root).generic_u8string());
    std::error_code status_ec;
    const fs::file_status status = entry.status(status_ec);
    const bool is_dir = fs::is_directory(status);
    if (const auto reason = rules.Excludes(name, is_dir)) {
      // As with git, nothing below a folder left out can come back in.
      if (is_dir) it.disable_recursion_pending();
      if (left_out != nullptr) left_out->push_back({name, is_dir, *reason});
      continue;
    }
    if (is_dir) {
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
  if (left_out != nullptr) {
    std::sort(left_out->begin(), left_out->end(),
              [](const TLeftOut& a, const TLeftOut& b) { return a.path < b.path; });
  }

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

std::vector<std::string> SettingsWarnings(std::string_view settings_bytes) {
  std::vector<std::string> warnings;
  const std::string text = TSettings::DecodeText(settings_bytes);
  // The runtime reads [App]; the packer reads [Package]; nothing reads the
  // rest, which is most often a slip or a key put in a section of its own.
  enum class Section { kNone, kOther, kApp, kPackage } section = Section::kNone;
  constexpr std::string_view kKnownSections[] = {"App", "Package"};
  struct TUnknownSection {
    std::string name;
    std::vector<std::string> app_keys;  // keys the runtime would read in [App]
  };
  std::vector<TUnknownSection> unknown_sections;
  size_t current_unknown = 0;
  std::vector<std::string> keys_before_sections;
  const std::vector<std::string_view> app_keys = AppKeys();
  const std::vector<std::string_view> package_keys = PackageKeys();
  const auto find_key = [](const std::vector<std::string_view>& names, const std::string& key) {
    return std::find_if(names.begin(), names.end(), [&](std::string_view k) {
      return FoldAscii(std::string(k)) == FoldAscii(key);
    });
  };
  std::istringstream lines(text);
  for (std::string raw; std::getline(lines, raw);) {
    // Lone CRs end lines too; the runtime reads them that way.
    std::istringstream parts(raw);
    for (std::string part; std::getline(parts, part, '\r');) {
      const std::string line = Trim(part);
      if (line.empty() || line[0] == ';') continue;
      if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        const std::string name = Trim(std::string_view(line).substr(1, line.size() - 2));
        const std::string folded = FoldAscii(name);
        section = folded == "app"       ? Section::kApp
                  : folded == "package" ? Section::kPackage
                                        : Section::kOther;
        if (section == Section::kOther) {
          // Repeated headers merge, as the runtime reads them.
          const auto seen =
              std::find_if(unknown_sections.begin(), unknown_sections.end(),
                           [&](const TUnknownSection& u) { return FoldAscii(u.name) == folded; });
          current_unknown = static_cast<size_t>(seen - unknown_sections.begin());
          if (seen == unknown_sections.end()) unknown_sections.push_back({name, {}});
        }
        continue;
      }
      const size_t eq = line.find('=');
      const std::string key = Trim(std::string_view(line).substr(0, eq));
      const std::string value =
          eq == std::string::npos ? std::string() : Trim(std::string_view(line).substr(eq + 1));
      if (section == Section::kNone) {
        keys_before_sections.push_back(key);
        continue;
      }
      if (section == Section::kOther) {
        const auto known = find_key(app_keys, key);
        if (known != app_keys.end())
          unknown_sections[current_unknown].app_keys.emplace_back(*known);
        continue;
      }
      const bool app = section == Section::kApp;
      const std::vector<std::string_view>& names = app ? app_keys : package_keys;
      const auto known = find_key(names, key);
      if (known == names.end()) {
        const std::string closest = ClosestName(key, names);
        warnings.push_back("vtx.ini: unknown key " + Quoted(key) +
                           (app ? " in [App]" : " in [Package]") +
                           (!closest.empty() ? ": did you mean " + closest + "?"
                            : app            ? std::string(" (the runtime ignores it)")
                                             : std::string(" (the packer ignores it)")));
        continue;
      }
      if (!app || value.empty()) continue;
      const TSettingsKey& typed = kSettingsKeys[known - names.begin()];
      if (typed.type == KeyType::kString || TSettings::ParseInteger(value).has_value()) continue;
      const std::string written = std::string(typed.name) + "=" + value;
      if (typed.type == KeyType::kInteger) {
        std::ostringstream shown;
        if (typed.default_value < 0) {
          shown << "0x" << std::hex << std::uppercase << static_cast<uint32_t>(typed.default_value);
        } else {
          shown << typed.default_value;
        }
        warnings.push_back("vtx.ini: " + written + " is not a number; the runtime uses " +
                           shown.str());
        continue;
      }
      // Booleans are integers to the runtime: the words read as the default.
      const int32_t reads = typed.default_value;
      const std::string word = FoldAscii(value);
      int meant = -1;
      for (const char* yes : {"true", "yes", "on", "y", "t"}) {
        if (word == yes) meant = 1;
      }
      for (const char* no : {"false", "no", "off", "n", "f"}) {
        if (word == no) meant = 0;
      }
      if (meant < 0) {
        warnings.push_back("vtx.ini: " + written + " is not a number and reads as " +
                           std::to_string(reads) + "; write 1 or 0");
      } else if (meant != reads) {
        warnings.push_back("vtx.ini: " + written + " reads as " + std::to_string(reads) +
                           "; write " + std::to_string(meant));
      } else {
        warnings.push_back("vtx.ini: " + written + " reads as " + std::to_string(reads) +
                           " only because that is the default; write " + std::to_string(meant));
      }
    }
  }
  if (!keys_before_sections.empty()) {
    std::string list;
    for (const std::string& key : keys_before_sections) list += (list.empty() ? "" : ", ") + key;
    warnings.push_back("vtx.ini: " + list +
                       " before any section header; the runtime reads keys only under [App]");
  }
  for (const TUnknownSection& unknown : unknown_sections) {
    const std::string closest = ClosestName(unknown.name, kKnownSections);
    std::string warning = "vtx.ini: unknown section [" + unknown.name + "]";
    if (!closest.empty()) {
      warning += ": did you mean [" + closest + "]?";
    } else if (!unknown.app_keys.empty()) {
      std::string list;
      for (const std::string& key : unknown.app_keys) list += (list.empty() ? "" : ", ") + key;
      warning += ": the runtime reads " + list + " only in [App]";
    } else {
      warning += " (neither the runtime nor the packer reads it)";
    }
    warnings.push_back(std::move(warning));
  }
  return warnings;
}

TPackResult PackApp(const TPackOptions& options, const TPackProgress& progress) {
  TPackResult result;
  const fs::path app_dir = Utf8ToPath(options.app_dir);
  std::error_code ec;
  const TSettings settings = ReadAppFolder(options.app_dir, result.warnings);
  const std::string name = settings.ReadString("App", "Name", "");
  const std::string dir_name = settings.ReadString("App", "DirName", "");
  const std::string index_html = settings.ReadString("App", "IndexHtml", "index.html");
  const std::string start_page = dir_name + "/" + index_html;
  if (!fs::is_regular_file(app_dir / Utf8ToPath(dir_name) / Utf8ToPath(index_html), ec)) {
    throw EPackError("the start page " + Quoted(start_page) + " is missing from " +
                     Quoted(options.app_dir));
  }
  const fs::path output = Utf8ToPath(options.output);
  if (fs::is_directory(output, ec)) {
    throw EPackError("the output " + Quoted(options.output) +
                     " is a folder; name the packaged app's file");
  }

  std::vector<std::string> names =
      CollectAppEntries(options.app_dir, result.warnings, &result.left_out);
  const auto has_entry = [&](std::string_view entry) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return FoldAscii(n) == FoldAscii(std::string(entry));
    });
  };
  // What the runtime cannot start without must not be left out by a rule.
  for (const std::string& needed : {std::string("vtx.ini"), start_page}) {
    for (const TLeftOut& out : result.left_out) {
      if (needed != out.path && !(out.is_dir && needed.starts_with(out.path + "/"))) continue;
      throw EPackError(Quoted(needed) + " is left out by " +
                       (out.reason.line == 0 ? "default"
                                             : std::string(kIgnoreFileName) + " line " +
                                                   std::to_string(out.reason.line)) +
                       " (" + Quoted(out.reason.pattern) + "); the app cannot start without it");
    }
  }

  const bool default_runtime = options.runtime.empty();
  const std::string runtime = default_runtime ? DefaultRuntime() : options.runtime;
  const TImageFormat format = CheckRuntime(runtime, default_runtime);
  const bool sign = !options.sign_cert.empty() || !options.sign_pkcs12.empty();
  const TSigning signing = sign ? CheckSigning(options, format, runtime) : TSigning{};
  if (options.linux_only && format != TImageFormat::kElf64) {
    throw EPackError("--desktop and --deb apply to Linux runtimes; " + Quoted(runtime) +
                     " is a Windows runtime");
  }
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
  const auto given = [&](std::string_view key) {
    return std::any_of(texts.begin(), texts.end(), [&](const TNamedVersionText& t) {
      return FoldAscii(t.key) == FoldAscii(std::string(key));
    });
  };
  std::string icon = options.icon;
  const std::string package_icon = settings.ReadString("Package", "Icon", "");
  if (icon.empty() && !package_icon.empty()) {
    icon = PathToUtf8(app_dir / Utf8ToPath(package_icon));  // an absolute path stays itself
  }
  std::vector<TNamedVersionText> default_texts;
  if (format == TImageFormat::kPe) {
    // The app's own defaults, so that one app folder packs the same way every
    // time; the command line wins key by key. A Linux runtime ignores the
    // version texts: the same folder packs for both.
    for (const std::string_view key : kVersionKeys) {
      const std::string value = settings.ReadString("Package", std::string(key), "");
      if (!value.empty() && !given(key)) {
        texts.push_back({{std::string(key), utf::Utf8ToUtf16(value)}, "vtx.ini [Package]"});
      }
    }
    // What Explorer shows of an app whose author set nothing: its name and
    // its file's name rather than blanks.
    const std::u16string file_name = output.filename().u16string();
    const std::u16string stem = output.stem().u16string();
    const std::u16string app_name = utf::Utf8ToUtf16(name);
    for (const auto& [key, value] :
         {std::pair<std::string_view, const std::u16string*>{"FileDescription", &app_name},
          {"ProductName", &app_name},
          {"OriginalFileName", &file_name},
          {"InternalName", &stem}}) {
      if (!given(key) && !value->empty()) {
        default_texts.push_back({{std::string(key), *value}, "default"});
      }
    }
  }
  std::vector<TZipFileEntry> extra_files;
  TempFiles icon_temps;
  if (format == TImageFormat::kElf64) {
    if (!texts.empty()) {
      throw EPackError("--version-info applies to Windows runtimes; " + Quoted(runtime) +
                       " is a Linux runtime, whose executables carry no version texts");
    }
    // A Linux app's icon travels in its archive, as a PNG the window takes.
    // An icon file in [Package] is the Windows app's: the same folder packs
    // for both, and the Linux app goes without.
    if (!icon.empty() && options.icon.empty() &&
        FoldAscii(PathToUtf8(Utf8ToPath(icon).extension())) != ".png") {
      icon.clear();
    }
    if (!icon.empty() && !fs::exists(Utf8ToPath(icon), ec)) {
      throw EPackError("icon " + Quoted(icon) + " not found");
    }
    if (!icon.empty() && !IsPngIcon(icon)) {
      throw EPackError("icon " + Quoted(icon) +
                       " is a Windows icon file; a Linux app's icon must be a PNG");
    }
    if (!icon.empty()) {
      const TIconPicture picture = ReadPngIconFile(icon);
      result.icon_png = EncodePng(ScaleIcon(picture, IconSizes(picture.size).front()));
      if (has_entry(kAppIconEntry)) {
        result.warnings.push_back("skipped the app folder's " + std::string(kAppIconEntry) +
                                  ": the icon " + Quoted(icon) + " replaces it");
        std::erase_if(names, [](const std::string& n) {
          return FoldAscii(n) == FoldAscii(std::string(kAppIconEntry));
        });
      }
      const std::string icon_temp = icon_temps.Add(TempPathBeside(
          PathToUtf8(fs::temp_directory_path(ec) / Utf8ToPath(std::string(kAppIconEntry)))));
      std::ofstream out(Utf8ToPath(icon_temp), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(result.icon_png.data()),
                static_cast<std::streamsize>(result.icon_png.size()));
      out.close();
      if (!out) throw EPackError("cannot write " + Quoted(icon_temp));
      extra_files.push_back({std::string(kAppIconEntry), icon_temp});
    }
    if (options.engine_module && !has_entry(kEngineModuleName)) {
      const std::string module = FindEngineModule(runtime);
      if (module.empty()) {
        throw EPackError("no engine module " + std::string(kEngineModuleName) +
                         " beside the runtime or in ../lib; pass --no-engine-module for an app "
                         "that uses the one installed beside its runtime");
      }
      extra_files.push_back({std::string(kEngineModuleName), module});
    }
  } else {
    CheckWindowsEngineFiles(options, settings, names, result.warnings);
  }
  if (format == TImageFormat::kPe && (!icon.empty() || !texts.empty())) {
    // Everything is checked before anything is written.
    try {
      TPeImage image(std::move(runtime_bytes));
      if (!icon.empty()) {
        ReplaceMainIcon(image, IsPngIcon(icon) ? IconFileFromPicture(ReadPngIconFile(icon))
                                               : ReadIconFile(icon));
      }
      const bool explicit_texts = !texts.empty();
      AddFittingDefaults(image, default_texts, texts);
      if (explicit_texts || !texts.empty()) {
        CheckVersionTexts(image, runtime, texts);
        WarnNonNumericVersions(image, texts, result.warnings);
        UpdateVersionTexts(image, std::vector<TVersionText>(texts.begin(), texts.end()));
      }
      runtime_bytes = image.Build();
    } catch (const EPeResourceError& e) {
      throw EPackError("runtime " + Quoted(runtime) + ": " + e.what());
    }
  } else if (!default_texts.empty()) {
    // Defaults alone never fail a pack: a runtime without room for them
    // stays as it is.
    try {
      TPeImage image(runtime_bytes);
      AddFittingDefaults(image, default_texts, texts);
      if (!texts.empty()) {
        UpdateVersionTexts(image, std::vector<TVersionText>(texts.begin(), texts.end()));
        runtime_bytes = image.Build();
      }
    } catch (const EPeResourceError&) {
      texts.clear();
    }
  }

  std::vector<TZipFileEntry> files;
  uint64_t total = 0;
  const bool output_exists = fs::exists(output, ec);
  for (std::string& entry : names) {
    const fs::path path = app_dir / Utf8ToPath(entry);
    // A previous output inside the app folder must not pack itself.
    if (output_exists && fs::equivalent(path, output, ec)) {
      result.warnings.push_back("skipped " + Quoted(entry) + ": it is the output file");
      continue;
    }
    const uint64_t size = fs::file_size(path, ec);
    result.sizes.push_back(ec ? 0 : size);
    total += result.sizes.back();
    files.push_back({std::move(entry), PathToUtf8(path)});
  }
  for (TZipFileEntry& extra : extra_files) {
    const uint64_t size = fs::file_size(Utf8ToPath(extra.path), ec);
    result.sizes.push_back(ec ? 0 : size);
    total += result.sizes.back();
    files.push_back(std::move(extra));
  }
  SortByName(files, result.sizes);
  const TDosDateTime archive_time = ArchiveTime();
  if (options.dry_run) {
    for (const TZipFileEntry& file : files) result.entries.push_back(file.name);
    return result;
  }

  // Made only now that everything has been checked.
  const fs::path output_folder = output.parent_path();
  if (!output_folder.empty() && !fs::is_directory(output_folder, ec)) {
    fs::create_directories(output_folder, ec);
    if (ec) {
      throw EPackError("cannot create the output folder " + Quoted(PathToUtf8(output_folder)) +
                       ": " + ec.message());
    }
  }

  TempFiles temps;
  const std::string zip_temp = temps.Add(TempPathBeside(options.output));
  const std::string exe_temp = temps.Add(TempPathBeside(options.output));
  try {
    WriteZipFile(zip_temp, files, kAppArchivePassword, archive_time, [&](uint64_t written) {
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
  std::string finished = exe_temp;
  if (sign) {
    // Last, over the finished file: the signature covers the icon, the
    // version texts and the archive. The app must still read its archive.
    finished = temps.Add(TempPathBeside(options.output));
    SignExecutable(options, signing, name, exe_temp, finished);
    try {
      VerifyPackaged(finished, kAppArchivePassword);
    } catch (const std::exception& e) {
      throw EPackError(std::string("the signed app does not read back: ") + e.what());
    }
  }
  fs::permissions(Utf8ToPath(finished),
                  runtime_perms | fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, ec);
  fs::rename(Utf8ToPath(finished), output, ec);
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

std::string_view ToolsVersion() { return TESSEL_VERSION; }

std::string DefaultRuntime() {
  const fs::path self = Utf8ToPath(platform::CurrentOs().ExecutablePath());
  if (self.empty()) return {};
  // The Windows build names its runtime in its own style.
  const bool windows = FoldAscii(PathToUtf8(self.extension())) == ".exe";
  return PathToUtf8(self.parent_path() / (windows ? "TesselRuntime.exe" : "tessel-runtime"));
}

TSettings ReadAppFolder(const std::string& app_dir, std::vector<std::string>& warnings) {
  const fs::path dir = Utf8ToPath(app_dir);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw EPackError("app folder " + Quoted(app_dir) + " not found");
  TSettings settings = ReadAppSettings(dir, app_dir, warnings);
  const std::string dir_name = settings.ReadString("App", "DirName", "");
  if (!fs::is_directory(dir / Utf8ToPath(dir_name), ec)) {
    throw EPackError("the DirName folder " + Quoted(dir_name) + " is missing from " +
                     Quoted(app_dir));
  }
  return settings;
}

namespace {

// The field a signing option sets and what its value is, when `arg` is one
// (alone or as --option=value).
std::optional<std::pair<std::string*, std::string_view>> SigningOption(TPackOptions& options,
                                                                       const std::string& arg) {
  const std::string name = arg.substr(0, arg.find('='));
  if (name == "--sign-cert") return std::pair{&options.sign_cert, "a PEM certificate file"};
  if (name == "--sign-key") return std::pair{&options.sign_key, "a PEM private key file"};
  if (name == "--sign-pkcs12") return std::pair{&options.sign_pkcs12, "a PKCS#12 file"};
  if (name == "--sign-pass-env") {
    return std::pair{&options.sign_pass_env, "the name of an environment variable"};
  }
  if (name == "--timestamp") return std::pair{&options.timestamp, "a time-stamping server's URL"};
  return std::nullopt;
}

// Signing options that do not go together, or empty.
std::string SigningUsageProblem(const TPackOptions& options) {
  if (!options.sign_pkcs12.empty() && (!options.sign_cert.empty() || !options.sign_key.empty())) {
    return "--sign-pkcs12 replaces --sign-cert and --sign-key";
  }
  if (options.sign_cert.empty() != options.sign_key.empty()) {
    return options.sign_cert.empty() ? "--sign-key needs --sign-cert"
                                     : "--sign-cert needs --sign-key";
  }
  const bool sign = !options.sign_cert.empty() || !options.sign_pkcs12.empty();
  if (!sign && !options.sign_pass_env.empty()) return "--sign-pass-env needs a signing key";
  if (!sign && !options.timestamp.empty()) return "--timestamp needs a signing key";
  return {};
}

}  // namespace

int RunPacker(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool progress_bar, std::string_view program) {
  // "tessel pack" speaks as "tessel", the way the rest of that command does.
  const std::string tag(program.substr(0, program.find(' ')));
  const auto usage_error = [&](const std::string& message) {
    err << tag << ": " << message << '\n' << Usage(program);
    return 2;
  };
  std::vector<std::string> positional;
  TPackOptions options;
  std::string& runtime = options.runtime;
  bool list = false;
  bool windows_options = false;
  bool desktop = false;
  bool deb = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      out << Usage(program);
      return 0;
    }
    if (arg == "--version") {
      out << program << ' ' << ToolsVersion() << '\n';
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
    } else if (const auto signing_value = SigningOption(options, arg)) {
      const std::string name = arg.substr(0, arg.find('='));
      std::string value = arg.find('=') == std::string::npos ? "" : arg.substr(name.size() + 1);
      if (arg.find('=') == std::string::npos && ++i < args.size()) value = args[i];
      if (value.empty()) return usage_error(name + " needs " + std::string(signing_value->second));
      *signing_value->first = value;
      windows_options = true;
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
    } else if (arg == "--dry-run") {
      options.dry_run = true;
    } else if (arg == "--allow-missing-loader") {
      options.allow_missing_loader = true;
    } else if (arg == "--desktop") {
      desktop = true;
    } else if (arg == "--deb") {
      deb = true;
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return usage_error("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }

  if (const std::string problem = SigningUsageProblem(options); !problem.empty()) {
    return usage_error(problem);
  }
  try {
    if (list) {
      if (positional.size() != 1 || !runtime.empty() || windows_options || options.dry_run) {
        return usage_error("--list takes one packaged app");
      }
      for (const TZipEntryInfo& entry : ListPackagedApp(positional[0])) {
        out << entry.name << ' ' << entry.size << '\n';
      }
      return 0;
    }
    if (positional.size() != 2) return usage_error("expected APP_DIR and OUTPUT");
    options.app_dir = positional[0];
    options.output = positional[1];
    if (deb) {
      if (desktop || options.dry_run)
        return usage_error("--deb takes neither --desktop nor --dry-run");
      TDebianPackage package{options.app_dir,
                             options.output,
                             options.runtime,
                             options.icon,
                             options.engine_module,
                             {},
                             {}};
      for (const auto& [key, value] : options.version_info) {
        if (key == "ProductVersion") {
          package.product_version = value;
        } else if (key == "CompanyName") {
          package.company_name = value;
        } else {
          return usage_error("--deb takes --version-info ProductVersion and CompanyName only");
        }
      }
      for (const std::string& warning : BuildDebianPackage(package)) {
        err << tag << ": warning: " << warning << '\n';
      }
      out << "built the Debian package " << options.output << '\n';
      return 0;
    }
    options.linux_only = desktop;
    ProgressBar bar(err, progress_bar);
    const TPackResult result = PackApp(options, [&](std::string_view phase, uint64_t pos,
                                                    uint64_t max) { bar.Show(phase, pos, max); });
    bar.End();
    for (const std::string& warning : result.warnings) {
      err << tag << ": warning: " << warning << '\n';
    }
    if (options.dry_run) {
      uint64_t total = 0;
      for (size_t i = 0; i < result.entries.size(); ++i) {
        out << result.entries[i] << ' ' << result.sizes[i] << '\n';
        total += result.sizes[i];
      }
      for (const TLeftOut& left : result.left_out) {
        out << "left out: " << left.path << (left.is_dir ? "/" : "") << " ("
            << (left.reason.line == 0
                    ? std::string("by default")
                    : std::string(kIgnoreFileName) + " line " + std::to_string(left.reason.line) +
                          ": " + left.reason.pattern)
            << ")\n";
      }
      out << "dry run: " << result.entries.size() << " files (" << total << " bytes) would go into "
          << positional[1] << "; nothing written\n";
      return 0;
    }
    if (desktop) {
      std::vector<std::string> again;
      try {
        WriteDesktopFiles(options.output, ReadAppFolder(options.app_dir, again), result.icon_png);
      } catch (const std::exception& e) {
        // The packed app is complete and stays; only its entry is missing.
        throw EPackError(positional[1] + " is packed, but its desktop entry is not: " + e.what());
      }
    }
    out << "packed " << result.entries.size() << " files (" << result.archive_size
        << " bytes of archive) into " << positional[1] << '\n';
    if (desktop) {
      out << "desktop entry " << positional[1] << ".desktop"
          << (result.icon_png.empty() ? "" : ", icon " + positional[1] + ".png") << '\n';
    }
    return 0;
  } catch (const std::exception& e) {
    err << tag << ": error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace tessel::shared
