// The Linux side of the further system utilities: folders, entries, copies
// that never leave a partial target, links, process starts and names.
#include <fcntl.h>
#include <fnmatch.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "platform/gtk/linux_os.h"

extern char** environ;

namespace tessel::platform {
namespace fs = std::filesystem;

namespace {

std::string PathText(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

// Waits for `pid` and gives its exit code, or 128 + the signal that ended it.
std::uint32_t WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;
  }
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128U + static_cast<std::uint32_t>(WTERMSIG(status));
  return 0;
}

// Starts `argv` (program already resolved) with the signal state reset; in a
// process group of its own when `own_group`. The pid, or -1 with errno set.
pid_t SpawnChild(std::vector<std::string> argv, bool own_group) {
  std::vector<char*> args = CArgv(argv);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipe_only);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

// The command line as words, the program looked up on PATH; empty (errno
// set) when there is nothing to run.
std::vector<std::string> CommandWords(const std::string& command_line) {
  std::vector<std::string> words = SplitShellWords(command_line);
  if (words.empty()) {
    errno = ENOENT;
    return {};
  }
  std::string program = ProgramPath(words.front());
  if (program.empty()) {
    errno = ENOENT;
    return {};
  }
  words.front() = std::move(program);
  return words;
}

// Starts `argv` as a grandchild in a process group of its own, so it is never
// our zombie. 0 when it was executed, else the errno of the failure. Only
// async-signal-safe calls run between fork and exec.
int SpawnOrphan(std::vector<std::string> argv) {
  std::vector<char*> args = CArgv(argv);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return errno;
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    close(pipefd[0]);
    close(pipefd[1]);
    return err;
  }
  if (pid == 0) {
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      setpgid(0, 0);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      signal(SIGPIPE, SIG_DFL);
      execve(args[0], args.data(), environ);
    }
    const int err = errno;
    if (grandchild > 0) _exit(0);
    [[maybe_unused]] const ssize_t n = write(pipefd[1], &err, sizeof err);
    _exit(127);
  }
  close(pipefd[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t got = 0;
  do {
    got = read(pipefd[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(pipefd[0]);
  if (got == 0) return 0;
  return got == static_cast<ssize_t>(sizeof err) && err != 0 ? err : ECHILD;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies the regular file `from` to `target` through a temporary file in the
// target's folder, renamed over the target only once it is complete and on
// disk. The copy keeps the mode and the modification time.
bool CopyOneFile(const std::string& from, const std::string& target) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  if (fstat(in, &st) != 0) {
    const int err = errno;
    close(in);
    errno = err;
    return false;
  }
  std::string temp = target + ".tessel-XXXXXX";
  const int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    const int err = errno;
    close(in);
    errno = err;
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ok = ok && fchmod(out, st.st_mode & 07777) == 0 && futimens(out, times) == 0 && fsync(out) == 0;
  int err = errno;
  close(in);
  if (close(out) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = err;
  }
  return ok;
}

// A symbolic link like `from` at `target`, replacing what is there.
bool CopyLink(const std::string& from, const std::string& target) {
  std::error_code ec;
  const fs::path points_to = fs::read_symlink(Utf8Path(from), ec);
  if (ec) {
    errno = ec.value();
    return false;
  }
  const std::string temp = target + ".tessel-link-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(points_to.c_str(), temp.c_str()) != 0) return false;
  if (rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    unlink(temp.c_str());
    errno = err;
    return false;
  }
  return true;
}

// Copies what is in folder `from` into the existing folder `to`, file by file.
bool CopyTreeInto(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::directory_iterator it(Utf8Path(from), ec);
  if (ec) {
    errno = ec.value();
    return false;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = PathText(it->path().filename());
    std::string source = from;
    source.append("/").append(name);
    std::string target = to;
    target.append("/").append(name);
    struct stat st {};
    if (lstat(source.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      if (!CopyLink(source, target)) return false;
    } else if (S_ISDIR(st.st_mode)) {
      struct stat existing {};
      if (lstat(target.c_str(), &existing) != 0) {
        if (mkdir(target.c_str(), 0700) != 0) return false;
      } else if (!S_ISDIR(existing.st_mode)) {
        errno = ENOTDIR;
        return false;
      }
      if (!CopyTreeInto(source, target)) return false;
      // The mode last, so a read-only folder can still be filled.
      chmod(target.c_str(), st.st_mode & 07777);
    } else if (S_ISREG(st.st_mode)) {
      if (!CopyOneFile(source, target)) return false;
    }
    // Sockets, pipes and devices are no data to copy.
  }
  if (ec) {
    errno = ec.value();
    return false;
  }
  return true;
}

// `to`, or `to`/<name of from> when `to` is an existing folder, as the shell
// places a copy.
std::string CopyTarget(const std::string& from, const std::string& to) {
  struct stat st {};
  if (stat(to.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string trimmed = from;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return to + "/" + PathText(Utf8Path(trimmed).filename());
  }
  return to;
}

bool SameEntry(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string DecodePercent(std::string_view text) {
  std::string out;
  const auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::string LinuxOs::SystemFolderPath(SystemFolder which) const {
  switch (which) {
    case SystemFolder::RoamingAppData: {
      std::string config = Env("XDG_CONFIG_HOME");
      if (!config.empty() && config.front() == '/') return config;
      const std::string home = HomeDir();
      return home.empty() ? std::string() : home + "/.config";
    }
    case SystemFolder::ProgramFiles:
      return "/opt";
    case SystemFolder::SystemApps: {
      std::string dirs = Env("XDG_DATA_DIRS");
      if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
      for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        struct stat st {};
        if (!dir.empty() && dir.front() == '/' && stat((dir + "/applications").c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
          return dir + "/applications";
        }
        start = end + 1;
      }
      return "/usr/share/applications";
    }
    case SystemFolder::System:
      return {};
  }
  return {};
}

std::string LinuxOs::FullPath(const std::string& path) const {
  if (path.empty()) {
    errno = ENOENT;
    return {};
  }
  std::string full = path;
  if (full.front() != '/') {
    std::array<char, PATH_MAX> cwd{};
    if (getcwd(cwd.data(), cwd.size()) == nullptr) return {};
    full = std::string(cwd.data()) + "/" + path;
  }
  return PathText(Utf8Path(full).lexically_normal());
}

bool LinuxOs::IsValidFilePath(const std::string& path) const {
  if (path.empty() || path.size() >= PATH_MAX || path.find('\0') != std::string::npos) {
    return false;
  }
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start > NAME_MAX) return false;
    start = end + 1;
  }
  return true;
}

std::int64_t LinuxOs::FileEntrySize(const std::string& path) const {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
}

std::optional<std::vector<DirectoryEntry>> LinuxOs::ListDirectory(const std::string& dir,
                                                                  const std::string& mask) const {
  std::error_code ec;
  fs::directory_iterator it(Utf8Path(dir), ec);
  if (ec || dir.empty()) return std::nullopt;
  const bool every = mask == "*.*" || mask == "*";
  std::vector<DirectoryEntry> out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = PathText(it->path().filename());
    if (!every && fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
    std::error_code type_ec;
    out.push_back({std::move(name), it->is_directory(type_ec)});
  }
  std::sort(out.begin(), out.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return out;
}

std::optional<std::int64_t> LinuxOs::LastWriteTimeMs(const std::string& path) const {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

bool LinuxOs::CopyFileTo(const std::string& from, const std::string& to) {
  struct stat st {};
  if (from.empty() || to.empty() || stat(from.c_str(), &st) != 0) {
    if (from.empty() || to.empty()) errno = ENOENT;
    return false;
  }
  if (S_ISDIR(st.st_mode)) return CopyDirectoryTo(from, to);
  const std::string target = CopyTarget(from, to);
  if (SameEntry(from, target)) {
    errno = EINVAL;
    return false;
  }
  return CopyOneFile(from, target);
}

bool LinuxOs::CopyDirectoryTo(const std::string& from, const std::string& to) {
  struct stat st {};
  if (from.empty() || to.empty() || stat(from.c_str(), &st) != 0) {
    if (from.empty() || to.empty()) errno = ENOENT;
    return false;
  }
  if (!S_ISDIR(st.st_mode)) return CopyFileTo(from, to);
  const std::string target = CopyTarget(from, to);
  // A copy into itself would never end.
  std::error_code ec;
  const fs::path source_real = fs::weakly_canonical(Utf8Path(from), ec);
  const fs::path target_real = fs::weakly_canonical(Utf8Path(target), ec);
  if (ec) {
    errno = ec.value();
    return false;
  }
  const std::string s = PathText(source_real);
  const std::string t = PathText(target_real);
  if (t == s || t.rfind(s.back() == '/' ? s : s + "/", 0) == 0) {
    errno = EINVAL;
    return false;
  }
  struct stat existing {};
  if (lstat(target.c_str(), &existing) == 0) {
    if (!S_ISDIR(existing.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    return CopyTreeInto(from, target);
  }
  // A new target appears only whole: built under a temporary name beside it.
  const fs::path parent = Utf8Path(target).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  std::string temp = target;
  while (temp.size() > 1 && temp.back() == '/') temp.pop_back();
  temp += ".tessel-XXXXXX";
  if (mkdtemp(temp.data()) == nullptr) return false;
  bool ok = CopyTreeInto(from, temp);
  int err = errno;
  if (ok) chmod(temp.c_str(), st.st_mode & 07777);
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    fs::remove_all(Utf8Path(temp), ec);
    errno = err;
  }
  return ok;
}

std::string LinuxOs::ShellLinkTarget(const std::string& path) {
  struct stat st {};
  if (path.empty() || lstat(path.c_str(), &st) != 0) return {};
  if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    const fs::path link = Utf8Path(path);
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return {};
    if (target.is_relative()) target = link.parent_path() / target;
    if (target.is_relative()) target = fs::absolute(target, ec);
    return PathText(target.lexically_normal());
  }
  if (!S_ISREG(st.st_mode) || st.st_size > (1 << 20)) return {};
  std::ifstream in(Utf8Path(path), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return DesktopEntryTarget(text);
}

std::uint32_t LinuxOs::RunAndWait(const std::string& command_line) {
  std::vector<std::string> words = CommandWords(command_line);
  if (words.empty()) return 0;
  const pid_t pid = SpawnChild(std::move(words), false);
  if (pid < 0) return 0;
  return WaitForExit(pid);
}

bool LinuxOs::StartProcess(const std::string& command_line, bool wait) {
  std::vector<std::string> words = CommandWords(command_line);
  if (words.empty()) return false;
  if (!wait) {
    const int err = SpawnOrphan(std::move(words));
    if (err != 0) errno = err;
    return err == 0;
  }
  const pid_t pid = SpawnChild(std::move(words), true);
  if (pid < 0) return false;
  WaitForExit(pid);
  return true;
}

std::string LinuxOs::ComputerName() const {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

std::optional<std::string> LinuxOs::UserName() const {
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::array<char, 4096> buf{};
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
      found->pw_name == nullptr || found->pw_name[0] == '\0') {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

std::string LinuxOs::DecimalSeparator() const {
  locale_t user = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (user == static_cast<locale_t>(nullptr)) return ".";
  const char* radix = nl_langinfo_l(RADIXCHAR, user);
  std::string out = (radix != nullptr && radix[0] != '\0') ? radix : ".";
  freelocale(user);
  return out;
}

std::string DesktopEntryValue(std::string_view text, std::string_view key) {
  bool in_group = false;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      in_group = line == "[Desktop Entry]";
      continue;
    }
    if (!in_group) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = line.substr(0, eq);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name != key) continue;
    std::string_view raw = line.substr(eq + 1);
    while (!raw.empty() && raw.front() == ' ') raw.remove_prefix(1);
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\' || i + 1 == raw.size()) {
        value.push_back(raw[i]);
        continue;
      }
      const char e = raw[++i];
      value.push_back(e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e);
    }
    return value;
  }
  return {};
}

std::string DesktopEntryTarget(std::string_view text) {
  const std::string type = DesktopEntryValue(text, "Type");
  if (type == "Link") {
    std::string url = DesktopEntryValue(text, "URL");
    if (url.rfind("file://", 0) == 0) {
      std::string_view rest = std::string_view(url).substr(7);
      if (rest.rfind("localhost/", 0) == 0) rest.remove_prefix(9);
      return rest.empty() || rest.front() != '/' ? url : DecodePercent(rest);
    }
    return url;
  }
  if (type == "Application") {
    const std::vector<std::string> words = SplitShellWords(DesktopEntryValue(text, "Exec"));
    if (!words.empty()) return words.front();
  }
  return {};
}

}  // namespace tessel::platform
