#include "linux_package.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "packer.h"
#include "platform/os.h"
#include "shared/desktop_id.h"
#include "shared/exe_utils.h"
#include "shared/icon_image.h"
#include "shared/utf.h"
#include "shared/zip_writer.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tessel::shared {

namespace fs = std::filesystem;

namespace {

// A desktop without the app's icon shows the generic program icon.
constexpr std::string_view kNoIcon = "application-x-executable";
constexpr std::string_view kDefaultCategories = "Utility;";
constexpr std::string_view kDefaultVersion = "1.0";
// What the runtime links (the engine module adds WebKitGTK).
constexpr std::string_view kDepends =
    "libc6, libgcc-s1, libstdc++6, zlib1g, libgtk-3-0, libwebkit2gtk-4.1-0";
// The sizes the hicolor theme has folders for.
constexpr int kThemeSizes[] = {16, 22, 24, 32, 48, 64, 96, 128, 256};

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// A string value of a desktop entry: one line, backslashes escaped.
std::string EntryValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void WriteFile(const fs::path& path, std::string_view bytes, fs::perms perms) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw EPackError("cannot write " + Quoted(PathToUtf8(path)));
  }
  std::error_code ec;
  fs::permissions(path, perms, fs::perm_options::replace, ec);
  if (ec) throw EPackError("cannot set the permissions of " + Quoted(PathToUtf8(path)));
}

std::string_view Bytes(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

constexpr fs::perms kFilePerms =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
constexpr fs::perms kProgramPerms =
    kFilePerms | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;

// Removes a folder tree when it goes out of scope.
class TempTree {
 public:
  explicit TempTree(fs::path root) : root_(std::move(root)) {}
  ~TempTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  const fs::path& Root() const { return root_; }

 private:
  fs::path root_;
};

// The Debian architecture of an ELF image, from its machine field.
std::string DebianArchitecture(const std::string& runtime) {
  std::ifstream in(Utf8ToPath(runtime), std::ios::binary);
  std::array<unsigned char, 20> head{};
  in.read(reinterpret_cast<char*>(head.data()), head.size());
  const unsigned machine = head[18] | (unsigned{head[19]} << 8);
  switch (machine) {
    case 0x3E:
      return "amd64";
    case 0xB7:
      return "arm64";
    case 0x03:
      return "i386";
    case 0x28:
      return "armhf";
    default:
      throw EPackError("runtime " + Quoted(runtime) +
                       " is for a machine Debian packages are not built for here");
  }
}

std::string PackageText(const TSettings& settings, const std::string& key, const std::string& given,
                        const std::string& fallback) {
  if (!given.empty()) return given;
  const std::string value = settings.ReadString("Package", key, "");
  return value.empty() ? fallback : value;
}

// Runs dpkg-deb; its output goes to `log`.
void RunDpkgDeb(const std::vector<std::string>& args, const fs::path& log) {
#ifdef _WIN32
  (void)args;
  (void)log;
  throw EPackError("building a Debian package needs dpkg-deb: pack on Linux");
#else
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  std::vector<std::string> owned = args;
  owned.insert(owned.begin(), "dpkg-deb");
  for (std::string& arg : owned) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log_path = PathToUtf8(log);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int started = posix_spawnp(&pid, "dpkg-deb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0) {
    throw EPackError("cannot start dpkg-deb (Debian package dpkg): " +
                     std::error_code(started, std::generic_category()).message());
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream in(log);
    std::string said{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    throw EPackError("dpkg-deb failed: " + said);
  }
#endif
}

// RFC 2822, as Debian changelogs want it.
std::string ChangelogDate() {
  std::time_t when = std::time(nullptr);
  // The pack itself has refused a malformed value by now.
  const std::string epoch = platform::CurrentOs().GetEnv("SOURCE_DATE_EPOCH");
  if (!epoch.empty()) when = static_cast<std::time_t>(std::strtoll(epoch.c_str(), nullptr, 10));
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &when);
#else
  gmtime_r(&when, &utc);
#endif
  std::array<char, 64> text{};
  std::strftime(text.data(), text.size(), "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text.data();
}

void WriteGzipFile(const fs::path& path, std::string_view text) {
  gzFile file = gzopen(PathToUtf8(path).c_str(), "wb9");
  const bool written =
      file != nullptr && gzwrite(file, text.data(), static_cast<unsigned>(text.size())) ==
                             static_cast<int>(text.size());
  if ((file != nullptr && gzclose(file) != Z_OK) || !written) {
    throw EPackError("cannot write " + Quoted(PathToUtf8(path)));
  }
  std::error_code ec;
  fs::permissions(path, kFilePerms, fs::perm_options::replace, ec);
}

}  // namespace

std::string DesktopExecArgument(std::string_view path) {
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string arg;
  if (path.find_first_of(kReserved) == std::string_view::npos) {
    arg = std::string(path);
  } else {
    arg = "\"";
    for (const char c : path) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') arg += '\\';
      arg += c;
    }
    arg += '"';
  }
  std::string out;
  for (const char c : arg) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

std::string DesktopEntryText(const TDesktopEntry& entry) {
  std::string categories =
      entry.categories.empty() ? std::string(kDefaultCategories) : EntryValue(entry.categories);
  if (categories.back() != ';') categories += ';';
  std::string text = "[Desktop Entry]\nType=Application\nVersion=1.0\n";
  text += "Name=" + EntryValue(entry.name) + "\n";
  if (!entry.comment.empty()) text += "Comment=" + EntryValue(entry.comment) + "\n";
  // The escape rule of strings applies after the quoting of arguments.
  text += "Exec=" + EntryValue(DesktopExecArgument(entry.exec)) + "\n";
  text += "Icon=" + EntryValue(entry.icon.empty() ? std::string(kNoIcon) : entry.icon) + "\n";
  text += "StartupWMClass=" + EntryValue(entry.wm_class) + "\n";
  text += "Categories=" + categories + "\n";
  text += "Terminal=false\n";
  return text;
}

std::string DebianPackageName(std::string_view id) {
  std::string name;
  for (const char c : id) {
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const bool alnum = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9');
    if (name.empty() && !alnum) continue;  // must start with a letter or digit
    name += alnum || lower == '.' || lower == '+' || lower == '-' ? lower : '-';
  }
  if (name.size() < 2) {
    throw EPackError("the ID " + Quoted(std::string(id)) +
                     " gives no Debian package name (two or more of a-z, 0-9, '.', '+', '-', "
                     "starting with a letter or digit)");
  }
  return name;
}

void CheckDebianVersion(std::string_view version, std::string_view origin) {
  const bool starts_with_digit = !version.empty() && version[0] >= '0' && version[0] <= '9';
  const bool allowed = std::all_of(version.begin(), version.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '+' || c == '~' || c == '-';
  });
  if (!starts_with_digit || !allowed) {
    throw EPackError(std::string(origin) + " " + Quoted(std::string(version)) +
                     " is not a Debian version: it must start with a digit and hold only "
                     "letters, digits and '.', '+', '~', '-'");
  }
}

void WriteDesktopFiles(const std::string& output, const TSettings& settings,
                       const std::vector<uint8_t>& icon_png) {
  std::error_code ec;
  const fs::path program = fs::absolute(Utf8ToPath(output), ec);
  const fs::path entry_path = Utf8ToPath(output + ".desktop");
  const fs::path icon_path = Utf8ToPath(output + ".png");
  TDesktopEntry entry;
  entry.name = settings.ReadString("App", "Name", "");
  entry.exec = PathToUtf8(program);
  entry.icon = icon_png.empty() ? std::string() : PathToUtf8(program) + ".png";
  entry.wm_class = DesktopAppId(settings.ReadString("App", "ID", ""));
  entry.categories = settings.ReadString("Package", "Categories", "");
  entry.comment = settings.ReadString("Package", "FileDescription", "");
  // Both are written beside under temporary names and renamed only once
  // both are complete: a failure leaves earlier files of these names as
  // they were.
  const fs::path icon_temp = Utf8ToPath(TempPathBeside(PathToUtf8(icon_path)));
  const fs::path entry_temp = Utf8ToPath(TempPathBeside(PathToUtf8(entry_path)));
  try {
    if (!icon_png.empty()) WriteFile(icon_temp, Bytes(icon_png), kFilePerms);
    WriteFile(entry_temp, DesktopEntryText(entry), kProgramPerms);
    if (!icon_png.empty()) {
      fs::rename(icon_temp, icon_path, ec);
      if (ec)
        throw EPackError("cannot write " + Quoted(PathToUtf8(icon_path)) + ": " + ec.message());
    }
    fs::rename(entry_temp, entry_path, ec);
    if (ec)
      throw EPackError("cannot write " + Quoted(PathToUtf8(entry_path)) + ": " + ec.message());
  } catch (const EPackError&) {
    fs::remove(icon_temp, ec);
    fs::remove(entry_temp, ec);
    throw;
  }
}

std::vector<std::string> BuildDebianPackage(const TDebianPackage& package) {
  std::vector<std::string> warnings;
  const TSettings settings = ReadAppFolder(package.app_dir, warnings);
  warnings.clear();  // PackApp reports them again
  const std::string id = settings.ReadString("App", "ID", "");
  const std::string name = settings.ReadString("App", "Name", "");
  const std::string package_name = DebianPackageName(id);
  const std::string desktop_id = DesktopAppId(id);
  const std::string version = PackageText(settings, "ProductVersion", package.product_version,
                                          std::string(kDefaultVersion));
  CheckDebianVersion(version, "ProductVersion");
  const std::string company = PackageText(settings, "CompanyName", package.company_name, name);
  const std::string description = settings.ReadString("Package", "FileDescription", "");

  std::error_code ec;
  const fs::path output = Utf8ToPath(package.output);
  if (fs::is_directory(output, ec)) {
    throw EPackError("the output " + Quoted(package.output) + " is a folder; name the .deb file");
  }
  const fs::path folder = output.parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);
  const TempTree staging(Utf8ToPath(TempPathBeside(package.output)));
  const fs::path root = staging.Root() / "root";
  const fs::path app_dir = root / "opt" / Utf8ToPath(desktop_id);
  for (const fs::path& dir : {app_dir, root / "usr/bin", root / "usr/share/applications",
                              root / "DEBIAN", root / "usr/share/doc" / Utf8ToPath(package_name)}) {
    fs::create_directories(dir, ec);
    if (ec) {
      throw EPackError("cannot create " + Quoted(PathToUtf8(dir)) + ": " + ec.message());
    }
  }

  TPackOptions options;
  options.app_dir = package.app_dir;
  options.output = PathToUtf8(app_dir / Utf8ToPath(package_name));
  options.runtime = package.runtime.empty() ? DefaultRuntime() : package.runtime;
  options.icon = package.icon;
  options.engine_module = package.engine_module;
  options.linux_only = true;
  TPackResult result = PackApp(options);
  warnings = std::move(result.warnings);

  const std::string installed = "/opt/" + desktop_id + "/" + package_name;
  WriteFile(root / "usr/bin" / Utf8ToPath(package_name),
            "#!/bin/sh\nexec " + installed + " \"$@\"\n", kProgramPerms);

  TDesktopEntry entry;
  entry.name = name;
  entry.exec = "/usr/bin/" + package_name;
  entry.icon = result.icon_png.empty() ? std::string() : desktop_id;
  entry.wm_class = desktop_id;
  entry.categories = settings.ReadString("Package", "Categories", "");
  entry.comment = description;
  WriteFile(root / "usr/share/applications" / Utf8ToPath(desktop_id + ".desktop"),
            DesktopEntryText(entry), kFilePerms);

  if (!result.icon_png.empty()) {
    const TIconPicture picture = DecodePngIcon(result.icon_png, "tessel-icon.png");
    for (const int size : IconSizes(picture.size)) {
      if (std::find(std::begin(kThemeSizes), std::end(kThemeSizes), size) ==
          std::end(kThemeSizes)) {
        continue;
      }
      std::string folder = std::to_string(size);
      folder += "x" + folder;
      const fs::path dir = root / "usr/share/icons/hicolor" / folder / "apps";
      fs::create_directories(dir, ec);
      WriteFile(dir / Utf8ToPath(desktop_id + ".png"), Bytes(EncodePng(ScaleIcon(picture, size))),
                kFilePerms);
    }
  }

  const std::string maintainer = company + " <" + package_name + "@example.invalid>";
  // Debian wants a changelog in every package; this one has a single entry,
  // dated SOURCE_DATE_EPOCH when set, so that a rebuild gives the same bytes.
  const std::string changelog = package_name + " (" + version +
                                ") unstable; urgency=medium\n\n  * " + name + " " + version +
                                ".\n\n -- " + maintainer + "  " + ChangelogDate() + "\n";
  WriteGzipFile(root / "usr/share/doc" / Utf8ToPath(package_name) / "changelog.gz", changelog);
  const std::string copyright = PackageText(settings, "LegalCopyright", "", company);
  WriteFile(root / "usr/share/doc" / Utf8ToPath(package_name) / "copyright",
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
            "Upstream-Name: " +
                name + "\n\nFiles: *\nCopyright: " + copyright + "\nLicense: other\n",
            kFilePerms);
  // Third-party programs live in /opt, which Debian's own packages avoid.
  const fs::path overrides = root / "usr/share/lintian/overrides";
  fs::create_directories(overrides, ec);
  WriteFile(overrides / Utf8ToPath(package_name), package_name + ": dir-or-file-in-opt *\n",
            kFilePerms);

  uint64_t installed_size = 0;
  for (const fs::directory_entry& file : fs::recursive_directory_iterator(root, ec)) {
    if (file.is_regular_file(ec)) installed_size += (file.file_size(ec) + 1023) / 1024;
  }
  std::string synopsis = description.empty() ? name : description;
  if (synopsis.size() > 80) synopsis.resize(80);
  const std::string control = "Package: " + package_name + "\nVersion: " + version +
                              "\nArchitecture: " + DebianArchitecture(options.runtime) +
                              "\nMaintainer: " + EntryValue(maintainer) +
                              "\nInstalled-Size: " + std::to_string(installed_size) +
                              "\nDepends: " + std::string(kDepends) +
                              "\nSection: misc\nPriority: optional" +
                              "\nDescription: " + EntryValue(synopsis) + "\n " + EntryValue(name) +
                              ", a desktop web app packed with Tessel.\n";
  WriteFile(root / "DEBIAN/control", control, kFilePerms);
  for (const fs::path& dir : {root, root / "opt", app_dir}) {
    fs::permissions(dir, kProgramPerms, fs::perm_options::replace, ec);
  }
  for (const fs::directory_entry& dir : fs::recursive_directory_iterator(root, ec)) {
    if (dir.is_directory(ec))
      fs::permissions(dir.path(), kProgramPerms, fs::perm_options::replace, ec);
  }

  const fs::path built = staging.Root() / "package.deb";
  RunDpkgDeb({"--root-owner-group", "-Zxz", "--build", PathToUtf8(root), PathToUtf8(built)},
             staging.Root() / "dpkg-deb.log");
  fs::rename(built, output, ec);
  if (ec) throw EPackError("cannot create " + Quoted(package.output) + ": " + ec.message());
  return warnings;
}

}  // namespace tessel::shared
