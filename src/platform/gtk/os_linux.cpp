#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/gtk/linux_os.h"
#include "shared/utf.h"

extern char** environ;

namespace tessel::platform {
namespace fs = std::filesystem;

namespace {

// The locale's character set stands in for Windows' ANSI code page. The
// process starts in the "C" locale, so ask for the user's one explicitly.
const std::string& LocaleCharset() {
  static const std::string charset = [] {
    std::setlocale(LC_CTYPE, "");
    const char* cs = nl_langinfo(CODESET);
    return std::string(cs != nullptr && *cs != '\0' ? cs : "ANSI_X3.4-1968");
  }();
  return charset;
}

bool LocaleIsUtf8() {
  static const bool utf8 = [] {
    std::string cs;
    for (const char c : LocaleCharset()) {
      if (c != '-' && c != '_') cs.push_back(static_cast<char>(std::toupper(c)));
    }
    return cs == "UTF8";
  }();
  return utf8;
}

// An XDG base folder from its variable; relative values are to be ignored.
std::string XdgBase(const char* variable, const char* below_home) {
  std::string dir = Env(variable);
  if (!dir.empty() && dir.front() == '/') return dir;
  const std::string home = HomeDir();
  return home.empty() ? std::string() : home + below_home;
}

std::string UserDir(const char* key, const char* fallback_name) {
  const std::string home = HomeDir();
  const std::string config = XdgBase("XDG_CONFIG_HOME", "/.config");
  if (!config.empty()) {
    std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
    if (in) {
      const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      std::string dir = ParseUserDirsFile(text, key, home);
      if (!dir.empty()) return dir;
    }
  }
  return home.empty() ? std::string() : home + "/" + fallback_name;
}

bool LooksLikeUri(const std::string& text) {
  // A scheme of two or more characters, so that nothing like "C:" counts.
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2 || !std::isalpha(static_cast<unsigned char>(text[0])))
    return false;
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  }
  return true;
}

void WriteErrno(int fd, int err) {
  // Best effort: the parent treats a short message as success only when
  // nothing at all arrives, so a failed write here cannot fake one.
  [[maybe_unused]] const ssize_t n = write(fd, &err, sizeof err);
}

// Starts `argv` as a grandchild in a session of its own, so that it outlives
// us, never becomes our zombie and no terminal signal reaches it. Returns 0
// when the program was executed, else the errno of the failure. Only
// async-signal-safe calls run between fork and exec, as a multi-threaded
// process requires. `envp` is the program's environment.
int SpawnDetached(std::vector<std::string> argv, char* const* envp = environ) {
  if (argv.empty()) return ENOENT;
  // A script without "#!" is run by the shell, as execvp does.
  std::vector<std::string> sh_argv{"/bin/sh"};
  sh_argv.insert(sh_argv.end(), argv.begin(), argv.end());
  std::vector<char*> args = CArgv(argv);
  std::vector<char*> sh_args = CArgv(sh_argv);

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return errno;
  const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    close(pipefd[0]);
    close(pipefd[1]);
    if (devnull >= 0) close(devnull);
    return err;
  }
  if (pid == 0) {
    const pid_t grandchild = fork();
    if (grandchild < 0) {
      WriteErrno(pipefd[1], errno);
      _exit(1);
    }
    if (grandchild == 0) {
      setsid();
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      signal(SIGPIPE, SIG_DFL);
      if (devnull >= 0) dup2(devnull, STDIN_FILENO);
      execve(args[0], args.data(), envp);
      if (errno == ENOEXEC) execve(sh_args[0], sh_args.data(), envp);
      WriteErrno(pipefd[1], errno);
      _exit(127);
    }
    _exit(0);
  }
  close(pipefd[1]);
  if (devnull >= 0) close(devnull);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The write end closes on a successful exec (close-on-exec) or when the
  // grandchild gives up; until then this read waits.
  int err = 0;
  ssize_t got = 0;
  do {
    got = read(pipefd[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(pipefd[0]);
  if (got == 0) return 0;
  return got == static_cast<ssize_t>(sizeof err) && err != 0 ? err : ECHILD;
}

// Runs `argv` with no output and returns its exit status, or -1 when it could
// not start, died by a signal or outlived `timeout` (it is then killed).
int RunQuietly(std::vector<std::string> argv, std::chrono::milliseconds timeout) {
  std::vector<char*> args = CArgv(argv);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::array<char, 4096> cwd{};
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return path;
  return std::string(cwd.data()) + "/" + path;
}

std::string FileUri(const std::string& absolute_path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (const char c : absolute_path) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri.push_back(c);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[b >> 4]);
      uri.push_back(kHex[b & 0xF]);
    }
  }
  return uri;
}

// ---- console commands ------------------------------------------------------
// Each command runs under a keeper: a forked copy of this process that is the
// child subreaper of everything the command starts, so nothing the command
// leaves behind can get away from it, not even programs that start sessions
// of their own or detach with a double fork. The keeper ends the whole tree
// when the lifeline breaks: when this process closes its end
// (EndConsoleCommands) or ends in any way, SIGKILL included. The keeper and
// not this process is the subreaper: the engine's processes and the programs
// ShellStart detaches would be re-parented to us as well, and once
// re-parented nothing tells whose they were.
//
// The keeper runs without exec in a copy of a multi-threaded process: only
// async-signal-safe calls from its fork until it ends.

std::mutex g_console_mutex;
// Both ends close-on-exec; only this process holds the write end.
int g_lifeline[2] = {-1, -1};
// Keepers whose command has ended but whose background programs may still
// run: they end when their tree is empty and are reaped then.
std::vector<pid_t> g_keepers_to_reap;

void ReapEndedKeepers() {
  std::erase_if(g_keepers_to_reap, [](pid_t keeper) {
    int status = 0;
    return waitpid(keeper, &status, WNOHANG) != 0;
  });
}

bool WriteWhole(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly `size` bytes; false at an end or failure before that.
bool ReadWhole(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Path texts built without allocating: `text`, or the decimal `number`,
// appended at `at` of `out`, which has room for any pid and tail used here.
using ProcPathText = char[64];
std::size_t Append(ProcPathText& out, std::size_t at, std::string_view text) {
  for (const char c : text) out[at++] = c;
  out[at] = '\0';
  return at;
}
std::size_t Append(ProcPathText& out, std::size_t at, long number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0);
  while (count > 0) out[at++] = digits[--count];
  out[at] = '\0';
  return at;
}

// The parent of process `pid` from its stat line, -1 when it cannot be read.
long ParentOf(long pid) {
  ProcPathText path;
  Append(path, Append(path, Append(path, 0, "/proc/"), pid), "/stat");
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char stat[512];
  ssize_t n = 0;
  do {
    n = read(fd, stat, sizeof stat - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return -1;
  stat[n] = '\0';
  // "pid (name) state ppid ...": the name may hold blanks and parentheses.
  const char* at = std::strrchr(stat, ')');
  if (at == nullptr || at[1] == '\0' || at[2] == '\0' || at[3] != ' ') return -1;
  long parent = 0;
  for (at += 4; *at >= '0' && *at <= '9'; ++at) parent = parent * 10 + (*at - '0');
  return parent;
}

// Sends SIGKILL to every child of this single-threaded process: the kernel's
// list of a thread's children, or where the kernel keeps none, every
// process's parent in /proc.
void KillChildren(pid_t self) {
  ProcPathText path;
  std::size_t at = Append(path, Append(path, 0, "/proc/"), static_cast<long>(self));
  at = Append(path, Append(path, at, "/task/"), static_cast<long>(self));
  Append(path, at, "/children");
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buf[512];
    long pid = -1;
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] >= '0' && buf[i] <= '9') {
          pid = (pid < 0 ? 0 : pid * 10) + (buf[i] - '0');
        } else if (pid > 0) {
          kill(static_cast<pid_t>(pid), SIGKILL);
          pid = -1;
        }
      }
    }
    if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    close(fd);
    return;
  }
  fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  alignas(8) char entries[4096];
  for (;;) {
    const long n = syscall(SYS_getdents64, fd, entries, sizeof entries);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      struct Entry {
        std::uint64_t inode;
        std::int64_t offset;
        unsigned short length;
        unsigned char type;
        char name[1];
      };
      const auto* entry = reinterpret_cast<const Entry*>(entries + at);
      at += entry->length;
      long pid = 0;
      const char* c = entry->name;
      for (; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
      if (*c == '\0' && pid > 0 && ParentOf(pid) == self) kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }
  close(fd);
}

// Closes every descriptor from 3 up except those in `keep`.
void CloseAllBut(std::array<int, 3> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned first = STDERR_FILENO + 1;
  for (const int fd : keep) {
    if (fd < static_cast<int>(first)) continue;
    if (static_cast<unsigned>(fd) > first) close_range(first, static_cast<unsigned>(fd) - 1, 0);
    first = static_cast<unsigned>(fd) + 1;
  }
  close_range(first, ~0U, 0);
}

// What the keeper reports once the command has started or failed to: the
// step that failed (a ConsoleStartStep) and its errno, 0 when it started.
struct StartFailure {
  int step = static_cast<int>(ConsoleStartStep::Program);
  int code = 0;
};

struct KeeperStart {
  char* const* argv;
  const char* working_dir;  // nullptr: this process's folder
  int output;               // write end of the command's output pipe
  int report;               // write end to us: a StartFailure, then sh's status
  int lifeline;             // read end of the lifeline
};

// Kills the command's group and then, while anything is left, every child
// of the keeper: whatever it had started is re-parented to the keeper as its
// parent dies, and is found by the next pass.
[[noreturn]] void EndTree(pid_t command) {
  if (command > 0) kill(-command, SIGKILL);
  const pid_t self = getpid();
  for (;;) {
    KillChildren(self);
    int status = 0;
    if (waitpid(-1, &status, 0) < 0 && errno != EINTR) break;
  }
  _exit(0);
}

[[noreturn]] void RunKeeper(const KeeperStart& start) {
  // Not in our group: a terminal's signals to it must not end the keeper
  // and leave its tree behind.
  setpgid(0, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &default_action, nullptr);
  }
  // Our reader may be gone: a report nobody reads is no reason to die.
  signal(SIGPIPE, SIG_IGN);
  sigset_t child_ended;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  sigprocmask(SIG_SETMASK, &child_ended, nullptr);
  // Copies of other commands' pipes would keep their readers waiting.
  CloseAllBut({start.output, start.report, start.lifeline});
  const int child_signals = signalfd(-1, &child_ended, SFD_CLOEXEC);
  int exec_pipe[2];
  if (child_signals < 0 || pipe2(exec_pipe, O_CLOEXEC) != 0) {
    StartFailure failure;
    failure.code = errno;
    WriteWhole(start.report, &failure, sizeof failure);
    _exit(0);
  }
  const pid_t command = fork();
  if (command == 0) {
    // A group of its own, so the command and what it starts end together.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    StartFailure failure;
    if (dup2(start.output, STDOUT_FILENO) < 0 || dup2(start.output, STDERR_FILENO) < 0) {
      failure.code = errno;
    } else if (start.working_dir != nullptr && chdir(start.working_dir) != 0) {
      failure = {static_cast<int>(ConsoleStartStep::WorkingDir), errno};
    } else {
      execve(start.argv[0], start.argv, environ);
      failure.code = errno;
    }
    WriteWhole(exec_pipe[1], &failure, sizeof failure);
    _exit(127);
  }
  StartFailure failure;
  if (command < 0) failure.code = errno;
  close(start.output);
  close(exec_pipe[1]);
  // The pipe closes on a successful exec and carries the failure otherwise.
  if (command > 0 && !ReadWhole(exec_pipe[0], &failure, sizeof failure)) failure = {};
  close(exec_pipe[0]);
  WriteWhole(start.report, &failure, sizeof failure);
  if (failure.code != 0) {
    int status = 0;
    if (command > 0) waitpid(command, &status, 0);
    _exit(0);
  }
  bool command_running = true;
  for (;;) {
    pollfd watched[2] = {{start.lifeline, POLLIN, 0}, {child_signals, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0 && errno != EINTR) EndTree(command);
    // Nothing is ever written on the lifeline: any event is its end.
    if (watched[0].revents != 0) EndTree(command);
    if (watched[1].revents != 0) {
      signalfd_siginfo info;
      [[maybe_unused]] const ssize_t n = read(child_signals, &info, sizeof info);
    }
    for (;;) {
      int status = 0;
      const pid_t ended = waitpid(-1, &status, WNOHANG);
      if (ended == command) {
        WriteWhole(start.report, &status, sizeof status);
        close(start.report);
        command_running = false;
      }
      if (ended > 0) continue;
      if (ended < 0 && errno == ECHILD && !command_running) _exit(0);
      break;
    }
  }
}

class PosixConsoleProcess : public ConsoleProcess {
 public:
  PosixConsoleProcess(pid_t keeper, int output, int report)
      : keeper_(keeper), output_(output), report_(report) {}
  ~PosixConsoleProcess() override {
    close(output_);
    Wait();
    close(report_);
    // The keeper stays while programs the command left in the background
    // run; it is reaped once they are gone.
    const std::lock_guard<std::mutex> lock(g_console_mutex);
    g_keepers_to_reap.push_back(keeper_);
    ReapEndedKeepers();
  }
  PosixConsoleProcess(const PosixConsoleProcess&) = delete;
  PosixConsoleProcess& operator=(const PosixConsoleProcess&) = delete;

  int Read(char* buf, int max) override {
    if (max <= 0) return 0;
    for (;;) {
      const ssize_t n = read(output_, buf, static_cast<std::size_t>(max));
      if (n >= 0) return static_cast<int>(n);
      if (errno != EINTR) return -1;
    }
  }

  void Wait() override {
    if (waited_) return;
    waited_ = true;
    // The keeper reports the status when the command ends, and closes the
    // report unsaid when it ends the command's tree.
    int status = 0;
    ReadWhole(report_, &status, sizeof status);
  }

 private:
  pid_t keeper_;
  int output_;
  int report_;
  bool waited_ = false;
};

// ---- X11, loaded at run time so that the runtime starts without it ------
// The few Xlib types used, as the library's ABI defines them.
struct XDisplay;
using XWindow = unsigned long;
using XAtom = unsigned long;
using XErrorHandler = int (*)(XDisplay*, void*);

struct Xlib {
  XDisplay* (*OpenDisplay)(const char*);
  int (*CloseDisplay)(XDisplay*);
  XWindow (*DefaultRootWindow)(XDisplay*);
  int (*QueryTree)(XDisplay*, XWindow, XWindow*, XWindow*, XWindow**, unsigned int*);
  int (*Free)(void*);
  XAtom (*InternAtom)(XDisplay*, const char*, int);
  int (*GetWindowProperty)(XDisplay*, XWindow, XAtom, long, long, int, XAtom, XAtom*, int*,
                           unsigned long*, unsigned long*, unsigned char**);
  XErrorHandler (*SetErrorHandler)(XErrorHandler);
  int (*Sync)(XDisplay*, int);
};

template <typename F>
bool Bind(void* lib, const char* name, F& fn) {
  fn = reinterpret_cast<F>(dlsym(lib, name));
  return fn != nullptr;
}

const Xlib* LoadXlib() {
  static const Xlib* const xlib = []() -> const Xlib* {
    void* lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    static Xlib x{};
    const bool ok = Bind(lib, "XOpenDisplay", x.OpenDisplay) &&
                    Bind(lib, "XCloseDisplay", x.CloseDisplay) &&
                    Bind(lib, "XDefaultRootWindow", x.DefaultRootWindow) &&
                    Bind(lib, "XQueryTree", x.QueryTree) && Bind(lib, "XFree", x.Free) &&
                    Bind(lib, "XInternAtom", x.InternAtom) &&
                    Bind(lib, "XGetWindowProperty", x.GetWindowProperty) &&
                    Bind(lib, "XSetErrorHandler", x.SetErrorHandler) && Bind(lib, "XSync", x.Sync);
    return ok ? &x : nullptr;  // the library stays loaded for the process
  }();
  return xlib;
}

// Windows vanish while they are listed; their errors are expected.
int IgnoreXError(XDisplay* /*display*/, void* /*event*/) { return 0; }

class CaptionReader {
 public:
  CaptionReader(const Xlib& x, XDisplay* d)
      : x_(x),
        d_(d),
        net_wm_name_(x.InternAtom(d, "_NET_WM_NAME", 0)),
        utf8_string_(x.InternAtom(d, "UTF8_STRING", 0)),
        wm_state_(x.InternAtom(d, "WM_STATE", 0)) {}

  // The top-level window's caption: its own name, else that of the client
  // window a reparenting window manager put inside its frame.
  std::string Caption(XWindow w) {
    std::string name = Name(w);
    if (!name.empty()) return name;
    const XWindow client = FindClient(w, 3);
    return client != 0 ? Name(client) : std::string();
  }

  std::vector<XWindow> Children(XWindow w) {
    XWindow root = 0;
    XWindow parent = 0;
    XWindow* children = nullptr;
    unsigned int n = 0;
    std::vector<XWindow> out;
    if (x_.QueryTree(d_, w, &root, &parent, &children, &n) != 0 && children != nullptr) {
      out.assign(children, children + n);
    }
    if (children != nullptr) x_.Free(children);
    return out;
  }

 private:
  static constexpr XAtom kAnyPropertyType = 0;
  static constexpr XAtom kWmName = 39;  // XA_WM_NAME
  static constexpr XAtom kString = 31;  // XA_STRING

  bool Property(XWindow w, XAtom property, std::string& value, XAtom& type) {
    XAtom actual = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int rc = x_.GetWindowProperty(d_, w, property, 0, 4096, 0, kAnyPropertyType, &actual,
                                        &format, &items, &after, &data);
    const bool found = rc == 0 && actual != 0;
    if (found && format == 8 && data != nullptr) {
      value.assign(reinterpret_cast<const char*>(data), items);
    }
    if (data != nullptr) x_.Free(data);
    type = actual;
    return found;
  }

  std::string Name(XWindow w) {
    std::string value;
    XAtom type = 0;
    if (Property(w, net_wm_name_, value, type) && type == utf8_string_ && !value.empty()) {
      return value;
    }
    value.clear();
    if (!Property(w, kWmName, value, type)) return {};
    if (type != kString) return value;  // UTF8_STRING, or compound text read as is
    std::string utf8;                   // STRING is Latin-1
    for (const char c : value) {
      const auto b = static_cast<unsigned char>(c);
      if (b < 0x80) {
        utf8.push_back(c);
      } else {
        utf8.push_back(static_cast<char>(0xC0 | (b >> 6)));
        utf8.push_back(static_cast<char>(0x80 | (b & 0x3F)));
      }
    }
    return utf8;
  }

  XWindow FindClient(XWindow w, int depth) {
    if (depth == 0) return 0;
    for (const XWindow child : Children(w)) {
      std::string ignored;
      XAtom type = 0;
      if (Property(child, wm_state_, ignored, type)) return child;
      if (const XWindow found = FindClient(child, depth - 1)) return found;
    }
    return 0;
  }

  const Xlib& x_;
  XDisplay* d_;
  XAtom net_wm_name_;
  XAtom utf8_string_;
  XAtom wm_state_;
};

std::uint64_t Fnv1a64(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

[[maybe_unused]] std::string StrerrorResult(int /*rc*/, const char* buf) {
  return buf;
}  // XSI strerror_r
[[maybe_unused]] std::string StrerrorResult(const char* text, const char* /*buf*/) {
  return text;
}  // GNU

}  // namespace

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

fs::path Utf8Path(const std::string& text) { return {std::u8string(text.begin(), text.end())}; }

std::string ProgramPath(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  std::string path = Env("PATH");
  if (path.empty()) path = "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start);
    if (candidate.empty()) candidate = ".";
    candidate += '/';
    candidate += name;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return {};
}

std::vector<char*> CArgv(std::vector<std::string>& args) {
  std::vector<char*> out;
  out.reserve(args.size() + 1);
  for (std::string& a : args) out.push_back(a.data());
  out.push_back(nullptr);
  return out;
}

std::string HomeDir() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::array<char, 4096> buf{};
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

std::string LinuxOs::ExecutablePath() const {
  std::array<char, 4096> buf{};
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return {buf.data(), static_cast<size_t>(n)};
}

std::string LinuxOs::AnsiToUtf8(std::string_view bytes) const {
  iconv_t cd = iconv_open("UTF-8", LocaleCharset().c_str());
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's documented failure value
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
  std::string out;
  std::array<char, 4096> chunk{};
  auto* in = const_cast<char*>(bytes.data());  // iconv's signature is not const-correct
  size_t in_left = bytes.size();
  while (in_left > 0) {
    char* dst = chunk.data();
    size_t dst_left = chunk.size();
    const size_t r = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(chunk.data(), chunk.size() - dst_left);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte the charset cannot decode
      ++in;
      --in_left;
    }
  }
  iconv_close(cd);
  // glibc's iconv lets some charsets produce values above U+10FFFF; callers
  // are promised UTF-8, so every byte that is not gets its U+FFFD.
  std::string valid;
  valid.reserve(out.size());
  for (size_t pos = 0; pos < out.size();)
    shared::utf::AppendUtf8(valid, shared::utf::DecodeUtf8(out, pos));
  return valid;
}

std::string LinuxOs::ShellFolderPath(ShellFolder which) const {
  switch (which) {
    case ShellFolder::LocalAppData:
      return XdgBase("XDG_DATA_HOME", "/.local/share");
    case ShellFolder::Desktop:
      return UserDir("XDG_DESKTOP_DIR", "Desktop");
    case ShellFolder::Documents:
      return UserDir("XDG_DOCUMENTS_DIR", "Documents");
  }
  return {};
}

std::string LinuxOs::TempPath() const {
  std::string dir = Env("TMPDIR");
  return dir.empty() ? std::string("/tmp") : dir;
}

bool LinuxOs::RemoveDirectoryTree(const std::string& path) {
  std::string trimmed = path;
  // "dir/" would resolve a link named dir to its target.
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed.empty()) {
    errno = ENOENT;
    return false;
  }
  if (trimmed == "/") {
    errno = EPERM;
    return false;
  }
  const fs::path root = Utf8Path(trimmed);
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(root, ec);
  if (ec || st.type() == fs::file_type::not_found) {
    errno = ENOENT;
    return false;
  }
  fs::remove_all(root, ec);
  if (ec && ec == std::errc::permission_denied && st.type() == fs::file_type::directory) {
    // Read-only folders below block removal; like the Windows shell, take
    // them anyway where we may. Links are never followed.
    const auto allow = [](const fs::path& dir) {
      std::error_code ignored;
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    };
    allow(root);
    std::error_code walk_ec;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, walk_ec);
         !walk_ec && it != fs::recursive_directory_iterator(); it.increment(walk_ec)) {
      std::error_code type_ec;
      if (it->symlink_status(type_ec).type() == fs::file_type::directory) allow(it->path());
    }
    ec.clear();
    fs::remove_all(root, ec);
  }
  if (ec) {
    errno = ec.value();
    return false;
  }
  return true;
}

bool LinuxOs::ShellStart(const std::string& file, const std::string& args) {
  std::vector<std::string> argv;
  struct stat st {};
  if (!file.empty() && stat(file.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0) {
      // execve takes a name without '/' as a path too, so "prog" in the
      // current folder is run from there, as the Windows shell would.
      argv.push_back(file);
      for (std::string& word : SplitShellWords(args)) argv.push_back(std::move(word));
    } else {
      argv = {ProgramPath("xdg-open"), file};
    }
  } else if (std::string found = ProgramPath(file); !found.empty()) {
    argv.push_back(std::move(found));
    for (std::string& word : SplitShellWords(args)) argv.push_back(std::move(word));
  } else if (LooksLikeUri(file)) {
    argv = {ProgramPath("xdg-open"), file};
  } else {
    errno = ENOENT;
    return false;
  }
  if (argv.front().empty()) {  // no xdg-open
    errno = ENOENT;
    return false;
  }
  const int err = SpawnDetached(std::move(argv));
  if (err != 0) errno = err;
  return err == 0;
}

bool LinuxOs::StartWithVariable(const std::string& file, const std::string& args,
                                const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos ||
      value.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  struct stat st {};
  if (file.empty() || stat(file.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || access(file.c_str(), X_OK) != 0) {
    errno = EACCES;
    return false;
  }
  std::vector<std::string> argv{file};
  for (std::string& word : SplitShellWords(args)) argv.push_back(std::move(word));
  // Built before the fork: the child may not allocate.
  const std::string prefix = name + '=';
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::string_view(*entry).starts_with(prefix)) continue;
    env.emplace_back(*entry);
  }
  env.push_back(prefix + value);
  const std::vector<char*> envp = CArgv(env);
  const int err = SpawnDetached(std::move(argv), envp.data());
  if (err != 0) errno = err;
  return err == 0;
}

bool LinuxOs::SecureRandom(std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool LinuxOs::ShellShowInFolder(const std::string& file) {
  const std::string absolute = AbsolutePath(file);
  const std::string uri = FileUri(absolute);
  // The reply tells whether a file manager took the request; a missing bus
  // or service fails fast, the time-out only guards against a stuck one.
  constexpr std::chrono::milliseconds kTimeout{5000};
  if (const std::string gdbus = ProgramPath("gdbus"); !gdbus.empty()) {
    if (RunQuietly(
            {gdbus, "call", "--session", "--timeout", "4", "--dest", "org.freedesktop.FileManager1",
             "--object-path", "/org/freedesktop/FileManager1", "--method",
             "org.freedesktop.FileManager1.ShowItems", "['" + uri + "']", ""},
            kTimeout) == 0) {
      return true;
    }
  } else if (const std::string dbus_send = ProgramPath("dbus-send"); !dbus_send.empty()) {
    if (RunQuietly({dbus_send, "--session", "--print-reply", "--reply-timeout=4000",
                    "--dest=org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                    "org.freedesktop.FileManager1.ShowItems", "array:string:" + uri, "string:"},
                   kTimeout) == 0) {
      return true;
    }
  }
  std::string folder = fs::path(absolute).parent_path().string();
  if (folder.empty()) folder = "/";
  const std::string xdg_open = ProgramPath("xdg-open");
  if (xdg_open.empty()) {
    errno = ENOENT;
    return false;
  }
  const int err = SpawnDetached({xdg_open, folder});
  if (err != 0) errno = err;
  return err == 0;
}

std::unique_ptr<ConsoleProcess> LinuxOs::StartConsole(const std::vector<std::string>& argv,
                                                      const std::string& working_dir,
                                                      bool /*show_window*/,
                                                      ConsoleStartError* error) {
  // Every failure below leaves errno; only the command's own chdir says
  // otherwise.
  ConsoleStartStep step = ConsoleStartStep::Program;
  const auto failed = [&]() -> std::unique_ptr<ConsoleProcess> {
    if (error != nullptr) *error = {step, errno};
    return nullptr;
  };
  if (argv.empty()) {
    errno = ENOENT;
    return failed();
  }
  int output[2] = {-1, -1};
  int report[2] = {-1, -1};
  const auto close_all = [&] {
    const int err = errno;
    for (const int fd : {output[0], output[1], report[0], report[1]}) {
      if (fd >= 0) close(fd);
    }
    errno = err;
  };
  if (pipe2(output, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    close_all();
    return failed();
  }
  // Keep the output's write end clear of 0..2, so the command's dup2 always
  // copies it.
  if (output[1] <= STDERR_FILENO) {
    const int moved = fcntl(output[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(output[1]);
    output[1] = moved;
    if (moved < 0) {
      close_all();
      return failed();
    }
  }
  // Built before the fork: the keeper may not allocate.
  std::vector<std::string> args_copy = argv;
  std::vector<char*> args = CArgv(args_copy);
  std::unique_lock<std::mutex> lock(g_console_mutex);
  ReapEndedKeepers();
  if (g_lifeline[1] < 0 && pipe2(g_lifeline, O_CLOEXEC) != 0) {
    lock.unlock();
    close_all();
    return failed();
  }
  const KeeperStart start{args.data(), working_dir.empty() ? nullptr : working_dir.c_str(),
                          output[1], report[1], g_lifeline[0]};
  const pid_t keeper = fork();
  if (keeper == 0) RunKeeper(start);
  lock.unlock();
  close(output[1]);
  close(report[1]);
  output[1] = report[1] = -1;
  if (keeper < 0) {
    close_all();
    return failed();
  }
  // glibc's posix_spawn reported a failed chdir or exec here; so does this.
  StartFailure failure;
  if (!ReadWhole(report[0], &failure, sizeof failure)) {
    failure = StartFailure();
    failure.code = ECHILD;
  }
  if (failure.code != 0) {
    int status = 0;
    while (waitpid(keeper, &status, 0) < 0 && errno == EINTR) {
    }
    if (failure.step == static_cast<int>(ConsoleStartStep::WorkingDir)) {
      step = ConsoleStartStep::WorkingDir;
    }
    errno = failure.code;
    close_all();
    return failed();
  }
  return std::make_unique<PosixConsoleProcess>(keeper, output[0], report[0]);
}

void LinuxOs::EndConsoleCommands() {
  const std::lock_guard<std::mutex> lock(g_console_mutex);
  for (int& fd : g_lifeline) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  ReapEndedKeepers();
}

std::size_t LinuxOs::IncompleteAnsiTail(std::string_view bytes) const {
  // Other multi-byte character sets are rare today; their chunks are
  // converted as they come.
  return LocaleIsUtf8() ? Utf8IncompleteTail(bytes) : 0;
}

std::vector<std::string> LinuxOs::TopLevelWindowCaptions() const {
  const Xlib* x = LoadXlib();
  if (x == nullptr) return {};
  XDisplay* display = x->OpenDisplay(nullptr);
  if (display == nullptr) return {};
  // The handler is process-wide (GDK has its own); put it back afterwards.
  const XErrorHandler previous = x->SetErrorHandler(IgnoreXError);
  std::vector<std::string> captions;
  {
    CaptionReader reader(*x, display);
    std::vector<XWindow> top = reader.Children(x->DefaultRootWindow(display));
    // X lists bottom to top; the Windows order is topmost first.
    for (auto it = top.rbegin(); it != top.rend(); ++it) captions.push_back(reader.Caption(*it));
  }
  x->Sync(display, 0);
  x->SetErrorHandler(previous);
  x->CloseDisplay(display);
  return captions;
}

std::string LinuxOs::LanguageCode() const {
  std::string value;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    value = Env(name);
    if (!value.empty()) break;
  }
  const std::string language = value.substr(0, value.find_first_of("_.@"));
  // "C" and "POSIX" name no language; the catalogue's fallback is English.
  if (language.size() < 2 || language.size() > 3) return "en";
  std::string code;
  for (const char c : language) {
    if (!std::isalpha(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80)
      return "en";
    code.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return code;
}

InstanceLock LinuxOs::AcquireInstanceLock(const std::string& name) {
  static std::mutex mutex;
  static std::vector<int> held;  // kept open until the process ends
  if (name.empty()) return InstanceLock::Failed;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string prefix = "tessel-instance/" + std::to_string(getuid());
  std::string key = prefix + "/" + name;
  // The leading NUL selects the abstract namespace and takes one byte.
  if (key.size() > sizeof(addr.sun_path) - 1) {
    std::array<char, 17> hex{};
    std::snprintf(hex.data(), hex.size(), "%016llx",
                  static_cast<unsigned long long>(Fnv1a64(name)));
    // '#' instead of '/' keeps hashed keys apart from literal names.
    key = prefix + "#" + std::to_string(name.size()) + "#" + hex.data();
  }
  std::memcpy(addr.sun_path + 1, key.data(), key.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return InstanceLock::Failed;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return err == EADDRINUSE ? InstanceLock::AlreadyHeld : InstanceLock::Failed;
  }
  const std::lock_guard<std::mutex> lock(mutex);
  held.push_back(fd);
  return InstanceLock::Acquired;
}

bool LinuxOs::CreateDirectories(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  const fs::path p = Utf8Path(path);
  std::error_code ec;
  fs::create_directories(p, ec);
  if (ec) errno = ec.value();
  std::error_code is_dir_ec;
  return fs::is_directory(p, is_dir_ec);
}

std::string LinuxOs::GetEnv(const std::string& name) const {
  if (name.empty() || name.find('\0') != std::string::npos) return {};
  return Env(name.c_str());
}

bool LinuxOs::SetEnv(const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos ||
      value.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  return setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool LinuxOs::UnsetEnv(const std::string& name) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  return unsetenv(name.c_str()) == 0;
}

std::vector<std::string> LinuxOs::CommandLineArguments(int argc, const char* const* argv) const {
  std::vector<std::string> out;
  if (argv == nullptr) return out;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) out.emplace_back(argv[i]);
  return out;
}

int LinuxOs::LastErrorCode() const { return errno; }

std::string LinuxOs::ErrorText(int code) const {
  std::array<char, 256> buf{};
  std::string text = StrerrorResult(strerror_r(code, buf.data(), buf.size()), buf.data());
  return text.empty() ? "Unknown error " + std::to_string(code) : text;
}

std::vector<std::string> SplitShellWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;  // a quoted empty text is a word too
  std::size_t i = 0;
  const auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (i < text.size()) {
    const char c = text[i];
    if (is_blank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++i;
    } else if (c == '\'') {
      in_word = true;
      const std::size_t end = text.find('\'', i + 1);
      const std::size_t stop = end == std::string_view::npos ? text.size() : end;
      word.append(text.substr(i + 1, stop - i - 1));
      i = stop == text.size() ? stop : stop + 1;
    } else if (c == '"') {
      in_word = true;
      ++i;
      while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::string_view("$`\"\\\n").find(text[i + 1]) != std::string_view::npos) {
          if (text[i + 1] != '\n') word.push_back(text[i + 1]);
          i += 2;
        } else {
          word.push_back(text[i++]);
        }
      }
      if (i < text.size()) ++i;  // the closing quote
    } else if (c == '\\') {
      in_word = true;
      if (i + 1 < text.size()) {
        if (text[i + 1] != '\n') word.push_back(text[i + 1]);
        i += 2;
      } else {
        word.push_back(c);
        ++i;
      }
    } else {
      in_word = true;
      word.push_back(c);
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string ParseUserDirsFile(std::string_view text, std::string_view key,
                              const std::string& home) {
  std::string result;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    if (line.compare(i, key.size(), key) != 0) continue;
    i += key.size();
    if (i >= line.size() || line[i] != '=') continue;
    ++i;
    std::string value;
    if (i < line.size() && line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        value.push_back(line[i]);
      }
    } else {
      const std::size_t end = line.find_first_of(" \t\r", i);
      value = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    }
    std::string dir;
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      if (!home.empty()) dir = home + value.substr(5);
    } else if (!value.empty() && value.front() == '/') {
      dir = value;
    }
    if (!dir.empty()) result = dir;  // like the shell, the last assignment wins
  }
  return result;
}

std::unique_ptr<Os> MakeNativeOs() { return std::make_unique<LinuxOs>(); }

}  // namespace tessel::platform
