// The Linux OS seam for real: console capture, shell starts, folders, the
// instance lock, window captions, and its text parsers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/gtk/linux_os.h"
#include "shared/sys_utils.h"

namespace tessel::platform {
namespace {

namespace fs = std::filesystem;
using shared::TSysUtils;
using Clock = std::chrono::steady_clock;

// The seam reads the locale's character set once; every test that may ask
// makes it UTF-8 first. False when this machine has no UTF-8 locale.
bool Utf8Locale() {
  static const bool utf8 = [] {
    setenv("LC_ALL", "C.UTF-8", 1);
    return LinuxOs().AnsiToUtf8("\xC3\xA9") == "\xC3\xA9";
  }();
  return utf8;
}

// Sets environment variables for one test and puts the old values back.
class EnvGuard {
 public:
  EnvGuard() = default;
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  ~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }
  void Set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text,
               fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
  std::ofstream(p, std::ios::binary) << text;
  fs::permissions(p, perms);
}

constexpr fs::perms kExecutable = fs::perms::owner_all;

// A script body that records its arguments in `out`, one a line, then "END".
// Shell built-ins only, so it runs whatever PATH is.
std::string RecorderBody(const fs::path& out) {
  return "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo END; } > '" + out.string() +
         "'\n";
}

// The recorded lines once the recorder has finished, or nullopt after 10 s.
std::optional<std::vector<std::string>> AwaitRecord(const fs::path& out) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    const std::string text = ReadFile(out);
    if (text.size() >= 4 && text.compare(text.size() - 4, 4, "END\n") == 0) {
      std::vector<std::string> lines;
      std::istringstream in(text.substr(0, text.size() - 4));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      return lines;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

class LinuxOsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Utf8Locale();
    root_ = fs::temp_directory_path() /
            ("tessel-linux-os-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    root_ = fs::canonical(root_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path root_;
  LinuxOs os_;
  EnvGuard env_;
};

// ---- GetDosOutput -----------------------------------------------------------

TEST_F(LinuxOsTest, GetDosOutputCapturesOutputAndErrorInOrder) {
  struct Case {
    const char* command;
    std::string expected;
  };
  const Case cases[] = {
      {"echo hello", "hello\n"},
      {"echo out; echo err >&2; echo out2", "out\nerr\nout2\n"},
      {"true", ""},
      {"echo failing; exit 3", "failing\n"},
      {"printf 'x\\377y'", "x\xEF\xBF\xBDy"},  // undecodable byte
      {"printf 'a\\000b'", "a"},               // a NUL ends its chunk
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TSysUtils::GetDosOutput(c.command, "", false), c.expected) << c.command;
  }
  EXPECT_NE(TSysUtils::GetDosOutput("no-such-command-tessel", "", false).find("not found"),
            std::string::npos);
}

TEST_F(LinuxOsTest, GetDosOutputRunsInTheWorkingFolderOrNotAtAll) {
  EXPECT_EQ(TSysUtils::GetDosOutput("pwd", root_.string(), false), root_.string() + "\n");
  EXPECT_EQ(TSysUtils::GetDosOutput("echo should-not-run", (root_ / "missing").string(), false),
            "");
  EXPECT_EQ(os_.StartConsole({"/nonexistent/program"}, "", false), nullptr);
}

// The reason comes from where the step failed: the command's own chdir or
// exec, behind the keeper.
TEST_F(LinuxOsTest, AConsoleStartThatFailsGivesTheStepAndErrno) {
  fs::create_directories(root_ / "locked");
  fs::permissions(root_ / "locked", fs::perms::owner_read | fs::perms::owner_write);
  const bool root_user = geteuid() == 0;  // root enters any folder
  { std::ofstream(root_ / "plain") << "x"; }
  const struct {
    std::vector<std::string> argv;
    std::string dir;
    ConsoleStartStep step;
    int code;
  } cases[] = {
      {{"/bin/sh", "-c", "true"},
       (root_ / "missing").string(),
       ConsoleStartStep::WorkingDir,
       ENOENT},
      {{"/bin/sh", "-c", "true"},
       (root_ / "plain").string(),
       ConsoleStartStep::WorkingDir,
       ENOTDIR},
      {{"/bin/sh", "-c", "true"},
       (root_ / "locked").string(),
       ConsoleStartStep::WorkingDir,
       EACCES},
      {{"/nonexistent/program"}, root_.string(), ConsoleStartStep::Program, ENOENT},
      {{(root_ / "plain").string()}, "", ConsoleStartStep::Program, EACCES},
  };
  for (const auto& c : cases) {
    if (root_user && c.code == EACCES) continue;
    ConsoleStartError error;
    EXPECT_EQ(os_.StartConsole(c.argv, c.dir, false, &error), nullptr) << c.argv[0] << c.dir;
    EXPECT_EQ(error.step, c.step) << c.argv[0] << " in " << c.dir;
    EXPECT_EQ(error.code, c.code) << c.argv[0] << " in " << c.dir;
  }
  fs::permissions(root_ / "locked", fs::perms::owner_all);
}

TEST_F(LinuxOsTest, GetDosOutputWaitsForABackgroundProgramHoldingThePipe) {
  const auto start = Clock::now();
  const std::string out = TSysUtils::GetDosOutput("(sleep 0.3; echo late) & echo early", "", false);
  EXPECT_EQ(out, "early\nlate\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(280));
}

TEST_F(LinuxOsTest, GetDosOutputKeepsUtf8CharactersAcrossReadBoundaries) {
  if (!Utf8Locale()) GTEST_SKIP() << "no UTF-8 locale";
  // One write of 1 + 600 bytes: every 255-byte read ends inside a character.
  std::string euros;
  for (int i = 0; i < 200; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(TSysUtils::GetDosOutput("printf 'a" + euros + "'", "", false), "a" + euros);
}

// ---- console commands end with the app ---------------------------------------

// Pids of the processes that have `argument` among their arguments.
std::vector<pid_t> ProcessesWithArgument(const std::string& argument) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    for (std::string arg; std::getline(in, arg, '\0');) {
      if (arg == argument) {
        found.push_back(static_cast<pid_t>(std::stol(name)));
        break;
      }
    }
  }
  return found;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Unique per run: sleep takes fractions, so the duration marks the process.
std::string SleepMark(int n) { return std::to_string(9000 + n) + "." + std::to_string(getpid()); }

void KillLeftovers(const std::vector<std::string>& marks) {
  for (const std::string& mark : marks) {
    for (const pid_t pid : ProcessesWithArgument(mark)) kill(pid, SIGKILL);
  }
}

TEST_F(LinuxOsTest, EndingConsoleCommandsEndsEverythingTheyStarted) {
  struct Case {
    const char* what;
    std::string command;
    bool returns;  // the command ends by itself, leaving the sleep behind
  };
  const std::vector<Case> cases = {
      {"background job", "sleep " + SleepMark(1) + " >/dev/null 2>&1 &", true},
      {"nohup", "nohup sleep " + SleepMark(2) + " >/dev/null 2>&1 &", true},
      {"own session", "setsid -f sleep " + SleepMark(3) + " >/dev/null 2>&1", true},
      {"double fork", "(sleep " + SleepMark(4) + " >/dev/null 2>&1 &)", true},
      {"still running", "sleep " + SleepMark(5) + " & sleep " + SleepMark(6), false},
  };
  std::vector<std::string> marks;
  for (int n = 1; n <= 6; ++n) marks.push_back(SleepMark(n));
  std::vector<std::unique_ptr<platform::ConsoleProcess>> running;
  for (const Case& c : cases) {
    auto process = os_.StartConsole({"/bin/sh", "-c", c.command}, "", false);
    ASSERT_NE(process, nullptr) << c.what;
    if (!c.returns) {
      running.push_back(std::move(process));
      continue;
    }
    // The reply does not wait for what the command left behind.
    char buf[64];
    while (process->Read(buf, sizeof buf) > 0) {
    }
    process->Wait();
  }
  for (const std::string& mark : marks) {
    EXPECT_TRUE(
        WaitUntil([&] { return !ProcessesWithArgument(mark).empty(); }, std::chrono::seconds(10)))
        << "never started: " << mark;
  }
  os_.EndConsoleCommands();
  // The command still running sees the end of its output.
  std::atomic<bool> read_ended{false};
  std::thread reader([&] {
    char buf[64];
    while (running[0]->Read(buf, sizeof buf) > 0) {
    }
    running[0]->Wait();
    read_ended = true;
  });
  const bool ended = WaitUntil([&] { return read_ended.load(); }, std::chrono::seconds(10));
  if (!ended) KillLeftovers(marks);
  reader.join();
  EXPECT_TRUE(ended) << "the running command's output did not end";
  for (const std::string& mark : marks) {
    EXPECT_TRUE(
        WaitUntil([&] { return ProcessesWithArgument(mark).empty(); }, std::chrono::seconds(10)))
        << "outlived the end: " << mark;
  }
  KillLeftovers(marks);
}

TEST_F(LinuxOsTest, EndingConsoleCommandsEndsThemHoweverMany) {
  const std::string mark = SleepMark(7);
  std::vector<std::unique_ptr<platform::ConsoleProcess>> running;
  for (int i = 0; i < 300; ++i) {
    running.push_back(os_.StartConsole({"/bin/sh", "-c", "sleep " + mark + " &"}, "", false));
    ASSERT_NE(running.back(), nullptr) << i;
  }
  EXPECT_TRUE(WaitUntil([&] { return ProcessesWithArgument(mark).size() == 300; },
                        std::chrono::seconds(30)));
  os_.EndConsoleCommands();
  EXPECT_TRUE(
      WaitUntil([&] { return ProcessesWithArgument(mark).empty(); }, std::chrono::seconds(30)))
      << ProcessesWithArgument(mark).size() << " left";
  KillLeftovers({mark});
  running.clear();
}

TEST_F(LinuxOsTest, ConsoleCommandsEndWhenTheirStarterIsKilled) {
  const std::string mark = SleepMark(8);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t starter = fork();
  ASSERT_GE(starter, 0);
  if (starter == 0) {
    platform::LinuxOs os;
    os.EndConsoleCommands();  // the lifeline inherited from the test is not this process's
    auto process = os.StartConsole({"/bin/sh", "-c", "setsid -f sleep " + mark}, "", false);
    const char started = process != nullptr ? 1 : 0;
    [[maybe_unused]] const ssize_t n = write(ready[1], &started, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char started = 0;
  ASSERT_EQ(read(ready[0], &started, 1), 1);
  close(ready[0]);
  EXPECT_EQ(started, 1);
  EXPECT_TRUE(
      WaitUntil([&] { return !ProcessesWithArgument(mark).empty(); }, std::chrono::seconds(10)));
  kill(starter, SIGKILL);
  int status = 0;
  waitpid(starter, &status, 0);
  EXPECT_TRUE(
      WaitUntil([&] { return ProcessesWithArgument(mark).empty(); }, std::chrono::seconds(10)));
  KillLeftovers({mark});
}

// ---- instance lock ------------------------------------------------------------

TEST_F(LinuxOsTest, TheInstanceLockDiesWithItsHolderNotWithItsChildren) {
  const std::string name = "tessel-test-lock-" + std::to_string(getpid());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    LinuxOs os;
    const bool acquired = os.AcquireInstanceLock(name) == InstanceLock::Acquired;
    // A program it starts lives on; it must not keep the lock alive.
    os.ShellStart("/bin/sleep", "3");
    const char c = acquired ? 'a' : 'f';
    [[maybe_unused]] const ssize_t n = write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(os_.AcquireInstanceLock(name), InstanceLock::AlreadyHeld);
  kill(holder, SIGKILL);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(os_.AcquireInstanceLock(name), InstanceLock::Acquired);
}

TEST_F(LinuxOsTest, InstanceLockNamesNeverReachTheFileSystem) {
  const fs::path old_cwd = fs::current_path();
  fs::create_directories(root_ / "work");
  fs::current_path(root_ / "work");
  const std::string tag = std::to_string(getpid());
  const std::string long_name(1000, 'n');
  for (std::string name : {std::string("../../escape-"), std::string("/tmp/abs-"),
                           std::string("a/b/c-"), std::string("..\\back-"),
                           std::string("nul\0inside-", 11), long_name + "1", long_name + "2"}) {
    name += tag;
    EXPECT_EQ(os_.AcquireInstanceLock(name), InstanceLock::Acquired) << name.size();
    EXPECT_EQ(os_.AcquireInstanceLock(name), InstanceLock::AlreadyHeld) << name.size();
  }
  fs::current_path(old_cwd);
  EXPECT_TRUE(fs::is_empty(root_ / "work"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists("/tmp/abs-" + tag));
}

// ---- DeleteDirectory --------------------------------------------------------

TEST_F(LinuxOsTest, DeleteDirectoryRemovesEverythingBelowButNothingOutside) {
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside);
  WriteFile(outside / "keep.txt", "keep");

  const fs::path tree = root_ / "tree";
  fs::create_directories(tree / "a" / "b" / "c");
  WriteFile(tree / "a" / "b" / "c" / "deep.txt", "x");
  WriteFile(tree / "a" / "ro.txt", "x", fs::perms::owner_read);
  fs::create_directories(tree / "locked");
  WriteFile(tree / "locked" / "inner.txt", "x");
  fs::permissions(tree / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_directory_symlink(outside, tree / "link-out");

  EXPECT_TRUE(TSysUtils::DeleteDirectory(tree.string() + "/"));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(ReadFile(outside / "keep.txt"), "keep");
  EXPECT_FALSE(TSysUtils::DeleteDirectory(tree.string()));
}

TEST_F(LinuxOsTest, DeleteDirectoryOfALinkToAFolderRemovesTheLinkOnly) {
  fs::create_directories(root_ / "target");
  WriteFile(root_ / "target" / "keep.txt", "keep");
  fs::create_directory_symlink(root_ / "target", root_ / "link");
  // With a trailing separator the system would resolve the link.
  EXPECT_TRUE(TSysUtils::DeleteDirectory((root_ / "link").string() + "/"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "link")));
  EXPECT_EQ(ReadFile(root_ / "target" / "keep.txt"), "keep");
}

// ---- special folders --------------------------------------------------------

TEST_F(LinuxOsTest, FolderGettersFollowTheXdgVariables) {
  const std::string home = (root_ / "home").string();
  fs::create_directories(root_ / "cfg");
  WriteFile(root_ / "cfg" / "user-dirs.dirs",
            "# written by xdg-user-dirs-update\n"
            "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
            "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
  struct Case {
    const char* name;
    std::optional<std::string> data_home, config_home, tmpdir;
    std::string app_data, desktop, documents, temp;
  };
  const Case cases[] = {
      {"defaults", std::nullopt, std::nullopt, std::nullopt, home + "/.local/share/",
       home + "/Desktop/", home + "/Documents/", "/tmp/"},
      {"set", root_.string() + "/data", root_.string() + "/cfg", root_.string() + "/t/",
       root_.string() + "/data/", home + "/Schreibtisch/", "/srv/docs/", root_.string() + "/t/"},
      // Relative base folders are to be ignored; empty ones count as unset.
      {"relative or empty", std::string("rel/data"), std::string("rel"), std::string(""),
       home + "/.local/share/", home + "/Desktop/", home + "/Documents/", "/tmp/"},
  };
  env_.Set("HOME", home);
  for (const Case& c : cases) {
    EnvGuard guard;
    guard.Set("XDG_DATA_HOME", c.data_home);
    guard.Set("XDG_CONFIG_HOME", c.config_home);
    guard.Set("TMPDIR", c.tmpdir);
    EXPECT_EQ(TSysUtils::GetLocalAppDataDirPath(), c.app_data) << c.name;
    EXPECT_EQ(TSysUtils::GetUserDesktopDirPath(), c.desktop) << c.name;
    EXPECT_EQ(TSysUtils::GetUserDocumentsDirPath(), c.documents) << c.name;
    EXPECT_EQ(TSysUtils::GetTempDirPath(), c.temp) << c.name;
  }
}

TEST_F(LinuxOsTest, WithoutHomeTheAccountsFolderIsUsed) {
  const passwd* pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_dir == nullptr) GTEST_SKIP() << "no account entry";
  const std::string home = pw->pw_dir;
  env_.Set("HOME", std::nullopt);
  env_.Set("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(TSysUtils::GetLocalAppDataDirPath(), home + "/.local/share/");
}

TEST(ParseUserDirsFileTest, ReadsTheKeyLikeTheShellWould) {
  struct Case {
    const char* text;
    std::string expected;
  };
  const Case cases[] = {
      {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", "/h/Dokumente"},
      {"XDG_DOCUMENTS_DIR=\"/abs/docs\"", "/abs/docs"},
      {"  XDG_DOCUMENTS_DIR=\"$HOME/a \\\"q\\\" b\"\n", "/h/a \"q\" b"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/first\"\nXDG_DOCUMENTS_DIR=\"$HOME/last\"\n", "/h/last"},
      {"XDG_DOCUMENTS_DIR=\"$HOME\"\n", "/h"},
      {"XDG_DOCUMENTS_DIR=$HOME/unquoted\n", "/h/unquoted"},
      {"# XDG_DOCUMENTS_DIR=\"/commented\"\n", ""},
      {"XDG_DOCUMENTS_DIR=\"relative/docs\"\n", ""},
      {"XDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n", ""},
      {"XDG_DOCUMENTS_DIRX=\"/other\"\nXDG_DESKTOP_DIR=\"/desk\"\n", ""},
      {"XDG_DOCUMENTS_DIR=\"/unterminated", "/unterminated"},
      {"XDG_DOCUMENTS_DIR", ""},
      {"\r\n\0garbage", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseUserDirsFile(c.text, "XDG_DOCUMENTS_DIR", "/h"), c.expected) << c.text;
  }
}

// ---- shell starts -------------------------------------------------------------

TEST(SplitShellWordsTest, QuotesGroupAndNothingExpands) {
  using W = std::vector<std::string>;
  struct Case {
    const char* text;
    W words;
  };
  const Case cases[] = {
      {"", W{}},
      {"   ", W{}},
      {"one  two\tthree", W{"one", "two", "three"}},
      {"\"two words\" 'single $HOME' `date` $(id) *",
       W{"two words", "single $HOME", "`date`", "$(id)", "*"}},
      {"\"a \\\"q\\\" \\$x \\n\"", W{"a \"q\" $x \\n"}},
      {"back\\ slash \\'", W{"back slash", "'"}},
      {"con\"cat\"'ena'ted", W{"concatenated"}},
      {"'' \"\"", W{"", ""}},
      {"\"unterminated rest", W{"unterminated rest"}},
      {"'open", W{"open"}},
      {"trailing\\", W{"trailing\\"}},
      {"a;b|c&d>e", W{"a;b|c&d>e"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitShellWords(c.text), c.words) << c.text;
}

TEST_F(LinuxOsTest, ShellExecRunsAnExecutableWithItsArgumentsAndReturnsAtOnce) {
  const fs::path out = root_ / "record";
  const fs::path script = root_ / "my script.sh";
  WriteFile(script, "#!/bin/sh\nsleep 2\n" + RecorderBody(out), kExecutable);
  const auto start = Clock::now();
  ASSERT_TRUE(TSysUtils::ShellExec(script.string(),
                                   "one \"two words\" 'it'\"'\"'s' back\\ slash \"q\\\"uote\" ''"));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(AwaitRecord(out),
            (std::vector<std::string>{"one", "two words", "it's", "back slash", "q\"uote", ""}));
}

TEST_F(LinuxOsTest, ShellExecRunsAScriptWithoutInterpreterLineThroughTheShell) {
  const fs::path out = root_ / "record";
  WriteFile(root_ / "plain", RecorderBody(out), kExecutable);
  ASSERT_TRUE(TSysUtils::ShellExec((root_ / "plain").string(), "x"));
  EXPECT_EQ(AwaitRecord(out), (std::vector<std::string>{"x"}));
}

TEST_F(LinuxOsTest, ShellExecFindsAProgramOnThePath) {
  const fs::path out = root_ / "record";
  fs::create_directories(root_ / "bin");
  WriteFile(root_ / "bin" / "tessel-prog", "#!/bin/sh\n" + RecorderBody(out), kExecutable);
  env_.Set("PATH", (root_ / "bin").string());
  ASSERT_TRUE(TSysUtils::ShellExec("tessel-prog", "arg"));
  EXPECT_EQ(AwaitRecord(out), (std::vector<std::string>{"arg"}));
}

TEST_F(LinuxOsTest, ShellExecOpensOtherFilesAndAddressesWithXdgOpen) {
  const fs::path out = root_ / "record";
  fs::create_directories(root_ / "bin");
  WriteFile(root_ / "doc.txt", "text");
  env_.Set("PATH", (root_ / "bin").string());
  // Without xdg-open there is nothing to open them with.
  EXPECT_FALSE(TSysUtils::ShellExec((root_ / "doc.txt").string(), ""));

  WriteFile(root_ / "bin" / "xdg-open", "#!/bin/sh\n" + RecorderBody(out), kExecutable);
  for (const std::string& target :
       {(root_ / "doc.txt").string(), root_.string(), std::string("https://example.org/a b")}) {
    fs::remove(out);
    ASSERT_TRUE(TSysUtils::ShellExec(target, "ignored args")) << target;
    EXPECT_EQ(AwaitRecord(out), (std::vector<std::string>{target}));
  }
}

TEST_F(LinuxOsTest, ShellExecOfANonexistentFileFails) {
  for (const std::string& file :
       {(root_ / "missing.exe").string(), std::string("missing-prog-x"), std::string("")}) {
    errno = 0;
    EXPECT_FALSE(TSysUtils::ShellExec(file, "")) << file;
    EXPECT_EQ(os_.LastErrorCode(), ENOENT) << file;
  }
}

TEST_F(LinuxOsTest, ShellExecReportsAProgramThatCannotBeExecuted) {
  WriteFile(root_ / "bad", "#!/no/such/interpreter\n", kExecutable);
  errno = 0;
  EXPECT_FALSE(TSysUtils::ShellExec((root_ / "bad").string(), ""));
  EXPECT_EQ(os_.LastErrorCode(), ENOENT);
}

TEST_F(LinuxOsTest, ShellExploreAsksTheFileManagerOverDBus) {
  const fs::path out = root_ / "record";
  fs::create_directories(root_ / "bin");
  WriteFile(root_ / "bin" / "gdbus", "#!/bin/sh\n" + RecorderBody(out), kExecutable);
  env_.Set("PATH", (root_ / "bin").string());
  const fs::path item = root_ / "a b,'c'.txt";
  ASSERT_TRUE(TSysUtils::ShellExplore(item.string()));
  const auto record = AwaitRecord(out);
  ASSERT_TRUE(record);
  ASSERT_GE(record->size(), 2u);
  EXPECT_EQ(record->at(record->size() - 2),
            "['file://" + root_.string() + "/a%20b%2C%27c%27.txt']");
  EXPECT_EQ(record->back(), "");
}

TEST_F(LinuxOsTest, ShellExploreFallsBackToOpeningTheFolder) {
  const fs::path out = root_ / "record";
  fs::create_directories(root_ / "bin");
  WriteFile(root_ / "bin" / "gdbus", "#!/bin/sh\nexit 1\n", kExecutable);
  WriteFile(root_ / "bin" / "xdg-open", "#!/bin/sh\n" + RecorderBody(out), kExecutable);
  env_.Set("PATH", (root_ / "bin").string());
  ASSERT_TRUE(TSysUtils::ShellExplore((root_ / "sub" / "item.txt").string()));
  EXPECT_EQ(AwaitRecord(out), (std::vector<std::string>{(root_ / "sub").string()}));
}

// ---- language and captions ----------------------------------------------------

TEST_F(LinuxOsTest, LanguageCodeComesFromTheFirstSetLocaleVariable) {
  struct Case {
    std::optional<std::string> lc_all, lc_messages, lang;
    std::string expected;
  };
  const auto unset = std::nullopt;
  const Case cases[] = {
      {"de_DE.UTF-8", "fr_FR", "it_IT", "de"},
      {"", "es_MX.UTF-8", "fr_FR", "es"},
      {unset, unset, "zh_TW.UTF-8", "zh"},
      {unset, unset, "pt_BR@euro", "pt"},
      {unset, unset, "fil_PH", "fil"},
      {unset, unset, "EN_us", "en"},
      {"C", "de_DE", "de_DE", "en"},  // C names no language
      {unset, unset, "POSIX", "en"},
      {unset, unset, "C.UTF-8", "en"},
      {unset, unset, unset, "en"},
      {unset, unset, "d3_XX", "en"},
      {unset, unset, "german", "en"},
  };
  for (const Case& c : cases) {
    EnvGuard guard;
    guard.Set("LC_ALL", c.lc_all);
    guard.Set("LC_MESSAGES", c.lc_messages);
    guard.Set("LANG", c.lang);
    EXPECT_EQ(os_.LanguageCode(), c.expected) << c.lang.value_or("-");
  }
}

TEST_F(LinuxOsTest, WindowCaptionsListAWindowOfTheDisplay) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  if (access("/usr/bin/xmessage", X_OK) != 0) GTEST_SKIP() << "no xmessage";
  const std::string title = "tessel caption " + std::to_string(getpid());
  ASSERT_TRUE(
      os_.ShellStart("/usr/bin/xmessage", "-timeout 5 -title '" + title + "' caption test"));
  std::vector<std::string> captions;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  bool found = false;
  while (!found && Clock::now() < deadline) {
    TSysUtils::GetWindowsCaptions(captions);
    found = std::find(captions.begin(), captions.end(), title) != captions.end();
    if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(found);
}

TEST_F(LinuxOsTest, WindowCaptionsAreEmptyWithoutADisplay) {
  env_.Set("DISPLAY", std::nullopt);
  EXPECT_TRUE(os_.TopLevelWindowCaptions().empty());
}

}  // namespace
}  // namespace tessel::platform
