#include "tessel_cli.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "packer.h"
#include "shared/app_rules.h"
#include "shared/exe_utils.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/wide_text.h"
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name
#endif

namespace tessel::shared {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUsage =
    "usage: tessel <command> [arguments]\n"
    "\n"
    "  new DIR                     make a working app folder in DIR\n"
    "  dev DIR [--runtime RUNTIME] run the app folder live; pages reload as files change\n"
    "  pack DIR OUTPUT [options]   make a packaged app (tessel pack --help: the options)\n"
    "  list PACKAGED               list the files packed into an app, with sizes\n"
    "  help [COMMAND]              this text, or a command's\n"
    "  --version                   the version\n";

constexpr std::string_view kNewUsage =
    "usage: tessel new DIR\n"
    "Makes a working app folder in DIR, which must not exist or be empty: vtx.ini,\n"
    "webapp/ with index.html, app.js (typed by webapp/vtx.d.ts) and style.css, the\n"
    "icon app.ico and a .tesselignore.\n";

constexpr std::string_view kDevUsage =
    "usage: tessel dev DIR [--runtime RUNTIME]\n"
    "Runs the app folder DIR live, without packing it: the runtime serves the pages\n"
    "from the folder and reloads them when files change. The runtime is the one\n"
    "beside tessel unless --runtime names another. Ends with the runtime's exit code.\n";

constexpr std::string_view kListUsage =
    "usage: tessel list PACKAGED\n"
    "Lists the files packed into the packaged app PACKAGED, with their sizes.\n";

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// A path as an author would type it into a shell.
std::string ShellWord(const std::string& s) {
  const bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("._/-+:\\").find(c) != std::string_view::npos;
  });
  return plain ? s : "\"" + s + "\"";
}

std::string HtmlText(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The largest image of an icon file that is stored as PNG: a page's icon
// from the same picture as the executable's.
std::string_view PngOfIcon(std::string_view ico) {
  const auto u16 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(ico[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(ico[at + 1])) << 8;
  };
  const auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (ico.size() < 6) return {};
  const size_t count = u16(4);
  for (size_t i = 0; i < count && 6 + 16 * (i + 1) <= ico.size(); ++i) {
    const size_t size = u32(6 + 16 * i + 8);
    const size_t offset = u32(6 + 16 * i + 12);
    if (offset > ico.size() || size > ico.size() - offset) continue;
    const std::string_view image = ico.substr(offset, size);
    if (image.starts_with("\x89PNG")) return image;
  }
  return {};
}

// What a failed `tessel new` wrote goes again, so the folder can be used.
class TCreated {
 public:
  ~TCreated() {
    if (done_) return;
    for (auto it = paths_.rbegin(); it != paths_.rend(); ++it) {
      std::error_code ignored;
      fs::remove(*it, ignored);
    }
  }
  void Add(const fs::path& path) { paths_.push_back(path); }
  void Done() { done_ = true; }

 private:
  std::vector<fs::path> paths_;
  bool done_ = false;
};

void MakeFolders(const fs::path& dir, TCreated& created) {
  std::error_code ec;
  if (dir.empty() || fs::is_directory(dir, ec)) return;
  MakeFolders(dir.parent_path(), created);
  if (!fs::create_directory(dir, ec) && !fs::is_directory(dir)) {
    throw EPackError("cannot create " + Quoted(PathToUtf8(dir)) + ": " + ec.message());
  }
  created.Add(dir);
}

void WriteNewFile(const fs::path& path, std::string_view bytes, TCreated& created) {
  MakeFolders(path.parent_path(), created);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) created.Add(path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw EPackError("cannot write " + Quoted(PathToUtf8(path)));
}

// The folder's own name, also for "." and paths that end in a separator.
std::string FolderName(const fs::path& dir) {
  fs::path full = fs::absolute(dir).lexically_normal();
  if (full.filename().empty()) full = full.parent_path();
  std::string name = PathToUtf8(full.filename());
  return name;
}

std::string AbsoluteFolder(const std::string& dir) {
  fs::path full = fs::absolute(Utf8ToPath(dir)).lexically_normal();
  if (full.filename().empty() && full.has_relative_path()) full = full.parent_path();
  return PathToUtf8(full);
}

int New(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    out << kNewUsage;
    return 0;
  }
  if (args.size() != 1 || (args[0].starts_with("-") && args[0].size() > 1)) {
    err << "tessel new: expected one folder\n" << kNewUsage;
    return 2;
  }
  const std::string& dir = args[0];
  CreateApp(dir);
  const std::string name = FolderName(Utf8ToPath(dir));
#ifdef _WIN32
  const std::string output = "dist\\" + name + ".exe";
#else
  const std::string output = "dist/" + name;
#endif
  out << "made the app folder " << dir << "\n"
      << "next steps:\n"
      << "  tessel dev " << ShellWord(dir) << "    run it live; pages reload as you edit\n"
      << "  tessel pack " << ShellWord(dir) << ' ' << ShellWord(output)
      << "    make the packaged app\n";
  return 0;
}

int Dev(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::vector<std::string> positional;
  std::string runtime;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << kDevUsage;
      return 0;
    }
    if (arg == "--runtime" || arg.starts_with("--runtime=")) {
      if (arg == "--runtime" && ++i == args.size()) {
        err << "tessel dev: --runtime needs a file\n" << kDevUsage;
        return 2;
      }
      runtime = arg == "--runtime" ? args[i] : arg.substr(10);
      if (runtime.empty()) {
        err << "tessel dev: --runtime needs a file\n" << kDevUsage;
        return 2;
      }
    } else if (arg.starts_with("-") && arg.size() > 1) {
      err << "tessel dev: unknown option " << arg << '\n' << kDevUsage;
      return 2;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) {
    err << "tessel dev: expected one app folder\n" << kDevUsage;
    return 2;
  }
  std::vector<std::string> warnings;
  ReadAppFolder(positional[0], warnings);
  const bool beside = runtime.empty();
  if (beside) runtime = DefaultRuntime();
  std::error_code ec;
  if (!fs::is_regular_file(Utf8ToPath(runtime), ec)) {
    throw EPackError(beside ? "no runtime beside tessel (" + Quoted(runtime) +
                                  "); name one with --runtime"
                            : "runtime " + Quoted(runtime) + " not found");
  }
  for (const std::string& warning : warnings) err << "tessel: warning: " << warning << '\n';
  err.flush();
  out.flush();
  return RunProgram(runtime, {"--app-folder", AbsoluteFolder(positional[0])});
}

int List(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    out << kListUsage;
    return 0;
  }
  if (args.size() != 1 || (args[0].starts_with("-") && args[0].size() > 1)) {
    err << "tessel list: expected one packaged app\n" << kListUsage;
    return 2;
  }
  for (const TZipEntryInfo& entry : ListPackagedApp(args[0])) {
    out << entry.name << ' ' << entry.size << '\n';
  }
  return 0;
}

int Help(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    out << kUsage;
    return 0;
  }
  const std::string& command = args[0];
  if (args.size() == 1) {
    if (command == "new") return New({"--help"}, out, err);
    if (command == "dev") return Dev({"--help"}, out, err);
    if (command == "list") return List({"--help"}, out, err);
    if (command == "pack") return RunPacker({"--help"}, out, err, false, "tessel pack");
  }
  err << "tessel help: no command " << Quoted(command) << '\n' << kUsage;
  return 2;
}

}  // namespace

void CreateApp(const std::string& dir) {
  const fs::path root = Utf8ToPath(dir);
  std::error_code ec;
  if (fs::exists(root, ec)) {
    if (!fs::is_directory(root, ec)) throw EPackError(Quoted(dir) + " exists and is not a folder");
    if (!fs::is_empty(root, ec)) {
      throw EPackError(Quoted(dir) + " is not empty; tessel new makes a new or empty folder");
    }
  }
  const std::string folder = FolderName(root);
  const std::string id = MakeUsableAppId(folder);
  std::string name;
  for (const char c : folder) name += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  if (name.find_first_not_of(' ') == std::string::npos) name = id;

  std::string ini =
      "; The app's settings: the runtime reads section [App].\n"
      "[App]\n"
      "ID=" +
      id +
      "\n"
      "Name=" +
      name +
      "\n"
      "DirName=webapp\n"
      "IndexHtml=index.html\n"
      "Width=960\n"
      "Height=640\n"
      "\n"
      "; Read by the packer alone, for Windows apps: the executable's icon and its\n"
      "; version texts (ProductName, CompanyName, FileVersion=1.0.0.0, ...).\n"
      "[Package]\n"
      "Icon=app.ico\n";
  // Without a byte-order mark the runtime reads the file in the system's
  // ANSI code page.
  if (std::any_of(ini.begin(), ini.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    ini.insert(0, "\xEF\xBB\xBF");
  }

  TCreated created;
  MakeFolders(root, created);
  WriteNewFile(root / "vtx.ini", ini, created);
  bool has_icon = false;
  for (const TTemplateFile& file : AppTemplateFiles()) {
    std::string bytes(file.bytes);
    if (file.path.ends_with(".html")) bytes = ReplaceAll(bytes, "{{NAME}}", HtmlText(name));
    WriteNewFile(root / Utf8ToPath(file.path), bytes, created);
    if (file.path == "app.ico") {
      const std::string_view png = PngOfIcon(file.bytes);
      if (png.empty()) throw EPackError("the built-in icon has no PNG image");
      WriteNewFile(root / "webapp" / "icon.png", png, created);
      has_icon = true;
    }
  }
  if (!has_icon) throw EPackError("tessel was built without its app icon");
  created.Done();
}

int RunProgram(const std::string& program, const std::vector<std::string>& args) {
#ifdef _WIN32
  // The C runtime's rules for splitting a command line, backwards.
  const auto quote = [](const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
  };
  std::string line = quote(program);
  for (const std::string& arg : args) line += " " + quote(arg);
  std::wstring wide_line = platform::WideFromUtf8(line);
  const std::wstring wide_program = platform::WideFromUtf8(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(wide_program.c_str(), wide_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    throw EPackError("cannot start " + Quoted(program) + ": error " +
                     std::to_string(GetLastError()));
  }
  CloseHandle(process.hThread);
  // Ctrl+C reaches the runtime too; this process stays to pass on its code.
  SetConsoleCtrlHandler(nullptr, TRUE);
  WaitForSingleObject(process.hProcess, INFINITE);
  SetConsoleCtrlHandler(nullptr, FALSE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
#else
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // Ctrl+C in the terminal reaches the runtime too; this process stays to
  // pass on its exit code, and the runtime gets the default handling back.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_int {};
  struct sigaction old_quit {};
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  int status = 0;
  pid_t waited = -1;
  if (spawned == 0) {
    do {
      waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  if (spawned != 0) {
    throw EPackError("cannot start " + Quoted(program) + ": " + std::strerror(spawned));
  }
  if (waited < 0) throw EPackError("lost " + Quoted(program) + ": " + std::strerror(errno));
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
#endif
}

int RunTessel(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool progress_bar) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--version" && rest.empty()) {
    out << "tessel " << ToolsVersion() << '\n';
    return 0;
  }
  if (command == "pack") return RunPacker(rest, out, err, progress_bar, "tessel pack");
  try {
    if (command == "help" || command == "--help" || command == "-h") return Help(rest, out, err);
    if (command == "new") return New(rest, out, err);
    if (command == "dev") return Dev(rest, out, err);
    if (command == "list") return List(rest, out, err);
  } catch (const std::exception& e) {
    err << "tessel: error: " << e.what() << '\n';
    return 1;
  }
  err << "tessel: unknown command " << Quoted(command) << '\n' << kUsage;
  return 2;
}

}  // namespace tessel::shared
