// shell.*: starts through the fake OS, console commands on a worker with
// their reply on the UI queue, window captions.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "bridge_fixture.h"
#include "shared/bridge_commands.h"

namespace tessel::test {
namespace {

using nlohmann::json;
using ShellTest = BridgeTest;

TEST_F(ShellTest, ExecuteHandsThePathToTheShellUnchanged) {
  EXPECT_EQ(Call(70001, R"({"filePath":"C:/tools/run.exe","arguments":"-v \"x y\""})"),
            Success("true"));
  EXPECT_EQ(Call(70001, R"({"filePath":"notes.txt"})"), Success("true"));
  ASSERT_EQ(os_.shell_starts.size(), 2u);
  EXPECT_EQ(os_.shell_starts[0].file, "C:/tools/run.exe");
  EXPECT_EQ(os_.shell_starts[0].args, "-v \"x y\"");
  EXPECT_EQ(os_.shell_starts[1].file, "notes.txt");
  EXPECT_EQ(os_.shell_starts[1].args, "");

  EXPECT_EQ(Call(70001, R"({"arguments":"x"})"), Failure(Str("Missing filePath")));
  EXPECT_EQ(Call(70001, R"({"filePath":""})"), Failure(Str("Missing filePath")));
  EXPECT_EQ(os_.shell_starts.size(), 2u);
}

TEST_F(ShellTest, AFailedStartAnswersTheSystemMessageWithoutItsFullStop) {
  os_.shell_start_result = false;
  os_.show_in_folder_result = false;
  os_.last_error_code = 2;
  os_.error_texts[2] = "The system cannot find the file specified.\r\n";
  EXPECT_EQ(Call(70001, R"({"filePath":"nothing.exe"})"),
            Failure(Str("The system cannot find the file specified")));
  EXPECT_EQ(Call(70002, R"({"filePath":"nothing.exe"})"),
            Failure(Str("The system cannot find the file specified")));
}

TEST(SystemErrorMessage, DropsTrailingBlanksControlsAndFullStops) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"Access is denied.\r\n", "Access is denied"},
      {"Done . . .\t\n", "Done"},
      {"Version 1.2 missing", "Version 1.2 missing"},
      {"Fichier introuvable\xC2\xA0.", "Fichier introuvable"},
      {"\xE8\xA6\x8B\xE3\x81\xA4\xE3\x81\x8B\xE3\x82\x8A\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3"
       "\x80\x80",
       "\xE8\xA6\x8B\xE3\x81\xA4\xE3\x81\x8B\xE3\x82\x8A\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93"},
      {"caf\xC3\xA9.", "caf\xC3\xA9"},
      {"...", ""},
  };
  BridgeOs os;
  platform::ScopedOs scoped(os);
  for (const auto& c : cases) {
    os.error_texts[7] = c.text;
    EXPECT_EQ(shared::SystemErrorMessage(7), c.message) << c.text;
  }
}

TEST_F(ShellTest, ExploreShowsTheItemInTheFileBrowser) {
  EXPECT_EQ(Call(70002, R"({"filePath":"/home/u/my file.txt"})"), Success("true"));
  EXPECT_EQ(os_.shown_in_folder, std::vector<std::string>{"/home/u/my file.txt"});

  os_.family = platform::OsFamily::Windows;
  EXPECT_EQ(Call(70002, R"({"filePath":"C:\\a b\\c.txt"})"), Success("true"));
  ASSERT_EQ(os_.shell_starts.size(), 1u);
  EXPECT_EQ(os_.shell_starts[0].file, "explorer.exe");
  EXPECT_EQ(os_.shell_starts[0].args, "/select, \"C:\\a b\\c.txt\"");

  EXPECT_EQ(Call(70002, "{}"), Failure(Str("Missing filePath")));
}

TEST_F(ShellTest, WindowsListsTheCaptionsAsAnArrayWithoutBlanks) {
  os_.window_captions = {"Editor", "", " Spaced", "   ", "Say \"hi\" \\o/", "Editor"};
  EXPECT_EQ(Call(70004), Success(R"(["Editor"," Spaced","Say \"hi\" \\o\/","Editor"])"));
  os_.window_captions.clear();
  EXPECT_EQ(Call(70004), Success("[]"));
}

// --- shell.command ----------------------------------------------------------------------

class CommandTest : public BridgeTest {
 protected:
  // No worker may outlive the fakes it uses.
  ~CommandTest() override {
    for (int i = 0; i < 1000 && shared::TBrowserExternalModule::RunningCommands() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(shared::TBrowserExternalModule::RunningCommands(), 0u);
  }

  // Answers the UI queue until a reply has been posted.
  std::string AwaitReply() {
    const std::size_t before = browser_.posted.size();
    EXPECT_TRUE(dispatcher_.RunUntil([&] { return browser_.posted.size() > before; }));
    return browser_.posted.size() > before ? browser_.posted.back() : std::string();
  }
};

TEST_F(CommandTest, TheOutputComesBackWholeAfterTheCommandEnded) {
  os_.ansi_is_utf8 = true;
  os_.console_output = {"hello\r\n", "say \"x\" \\ /\r\n", "\xC3\xA9", ""};
  EXPECT_EQ(Call(70003, R"({"command":"echo hello","workingDir":"/tmp"})"), "");
  EXPECT_EQ(AwaitReply(), Success(Str("hello\r\nsay \"x\" \\ /\r\n\xC3\xA9")));
  ASSERT_EQ(os_.console_starts.size(), 1u);
  EXPECT_EQ(os_.console_starts[0].argv, (std::vector<std::string>{"/bin/sh", "-c", "echo hello"}));
  EXPECT_EQ(os_.console_starts[0].working_dir, "/tmp");
  EXPECT_EQ(os_.console_waits, 1);
}

// A command that runs until the test lets it end: it reads a pipe of the
// test's own until the test closes it.
class HeldCommand {
 public:
  HeldCommand() {
    const std::string name = "tessel-held-" + std::to_string(std::random_device{}());
#ifdef _WIN32
    path_ = "\\\\.\\pipe\\" + name;
    pipe_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                             4096, 4096, 0, nullptr);
    EXPECT_NE(pipe_, INVALID_HANDLE_VALUE);
    command_ = "type " + path_;
#else
    path_ = (std::filesystem::temp_directory_path() / name).string();
    EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
    command_ = "cat '" + path_ + "'";
#endif
  }
  ~HeldCommand() {
    Release();
#ifndef _WIN32
    unlink(path_.c_str());
#endif
  }
  HeldCommand(const HeldCommand&) = delete;
  HeldCommand& operator=(const HeldCommand&) = delete;

  const std::string& command() const { return command_; }

  // Lets the command end, printing "held".
  void Release() {
    if (released_) return;
    released_ = true;
#ifdef _WIN32
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    ConnectNamedPipe(pipe_, nullptr);  // at once when the command is connected already
    DWORD written = 0;
    WriteFile(pipe_, "held", 4, &written, nullptr);
    FlushFileBuffers(pipe_);
    CloseHandle(pipe_);
#else
    const int fd = open(path_.c_str(), O_WRONLY);  // waits for the command to open it
    if (fd >= 0) {
      EXPECT_EQ(write(fd, "held", 4), 4);
      close(fd);
    }
#endif
  }

 private:
  std::string path_;
  std::string command_;
  bool released_ = false;
#ifdef _WIN32
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
#endif
};

// Over the real OS seam: a short command started while a long one runs is
// answered at once. Neither child may hold the other's pipe open.
TEST_F(CommandTest, AShortCommandIsAnsweredWhileALongOneStillRuns) {
  const std::unique_ptr<platform::Os> native = platform::MakeNativeOs();
  platform::SetCurrentOs(native.get());
  {
    HeldCommand held;
    Send(R"({"id":70003,"uuid":"long","data":{"command":)" + Str(held.command()) + "}}");
    Send(R"({"id":70003,"uuid":"short","data":{"command":"echo short"}})");
    const json first = json::parse(AwaitReply());
    EXPECT_EQ(first["uuid"], "short");
    EXPECT_NE(first["result"].get<std::string>().find("short"), std::string::npos);
    EXPECT_EQ(browser_.posted.size(), 1u);
    held.Release();
    const json second = json::parse(AwaitReply());
    EXPECT_EQ(second["uuid"], "long");
    EXPECT_EQ(second["result"], "held");
  }
  for (int i = 0; i < 1000 && shared::TBrowserExternalModule::RunningCommands() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  platform::SetCurrentOs(&os_);
}

// A command that never ran is a failure that names the folder or the
// program, with the system's reason.
TEST_F(CommandTest, ACommandThatCannotStartFailsWithTheReason) {
  os_.error_texts[2] = "No such file or directory";
  os_.error_texts[20] = "Not a directory";
  os_.error_texts[13] = "Permission denied.\r\n";
  const struct {
    platform::OsFamily family;
    platform::ConsoleStartError error;
    const char* data;
    const char* reply;
  } cases[] = {
      {platform::OsFamily::Posix,
       {platform::ConsoleStartStep::WorkingDir, 2},
       R"({"command":"ls","workingDir":"/x/y"})",
       "cannot enter the folder '/x/y': No such file or directory"},
      {platform::OsFamily::Posix,
       {platform::ConsoleStartStep::WorkingDir, 20},
       R"({"command":"ls","workingDir":"/etc/passwd"})",
       "cannot enter the folder '/etc/passwd': Not a directory"},
      {platform::OsFamily::Posix,
       {platform::ConsoleStartStep::Program, 13},
       R"({"command":"ls"})",
       "cannot start '/bin/sh': Permission denied"},
      {platform::OsFamily::Windows,
       {platform::ConsoleStartStep::Program, 2},
       R"({"command":"dir","workingDir":"C:\\"})",
       "cannot start 'cmd.exe': No such file or directory"},
  };
  os_.console_start_fails = true;
  for (const auto& c : cases) {
    os_.family = c.family;
    os_.console_start_error = c.error;
    Call(70003, c.data);
    EXPECT_EQ(AwaitReply(), Failure(Str(c.reply))) << c.data;
  }
}

// Over the real OS seam: the folder is named with the system's own reason,
// and nothing runs.
TEST_F(CommandTest, AWorkingFolderThatCannotBeEnteredFailsOnTheRealSystem) {
  const std::unique_ptr<platform::Os> native = platform::MakeNativeOs();
  platform::SetCurrentOs(native.get());
  const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                     ("tessel-shell-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(root);
  { std::ofstream(root / "file.txt") << "x"; }
#ifdef _WIN32
  const int missing = ERROR_FILE_NOT_FOUND, not_folder = ERROR_DIRECTORY;
#else
  const int missing = ENOENT, not_folder = ENOTDIR;
#endif
  const struct {
    std::string dir;
    int code;
  } cases[] = {{(root / "missing").string(), missing}, {(root / "file.txt").string(), not_folder}};
  for (const auto& c : cases) {
    const std::string marker = (root / "ran").string();
    Call(70003,
         R"({"command":)" + Str("echo x > " + marker) + R"(,"workingDir":)" + Str(c.dir) + "}");
    EXPECT_EQ(AwaitReply(), Failure(Str("cannot enter the folder '" + c.dir +
                                        "': " + shared::SystemErrorMessage(c.code))));
    EXPECT_FALSE(std::filesystem::exists(marker));
  }
  for (int i = 0; i < 1000 && shared::TBrowserExternalModule::RunningCommands() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  platform::SetCurrentOs(&os_);
  std::filesystem::remove_all(root);
}

// Output is bytes to the end: NUL bytes stay, as JSON escapes.
TEST_F(CommandTest, NulBytesReachTheReply) {
  os_.console_output = {std::string("a\0b", 3), std::string("\0\0", 2), "c"};
  Call(70003, R"({"command":"x"})");
  EXPECT_EQ(AwaitReply(), Success(R"("a\u0000b\u0000\u0000c")"));
}

#ifndef _WIN32
TEST_F(CommandTest, NulBytesReachTheReplyOnTheRealSystem) {
  const std::unique_ptr<platform::Os> native = platform::MakeNativeOs();
  platform::SetCurrentOs(native.get());
  Call(70003, R"({"command":"printf 'a\\000b'; printf '\\000'"})");
  EXPECT_EQ(AwaitReply(), Success(R"("a\u0000b\u0000")"));
  for (int i = 0; i < 1000 && shared::TBrowserExternalModule::RunningCommands() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  platform::SetCurrentOs(&os_);
}
#endif

// A double-byte code page as Windows has them (Shift_JIS here), where the
// seam holds back no partial character: a lead byte at the end of one read
// and its trail byte at the start of the next still make one character.
class DoubleByteOs : public BridgeOs {
 public:
  std::string AnsiToUtf8(std::string_view bytes) const override {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      if (b < 0x80) {
        out += static_cast<char>(b);
      } else if (b == 0x82 && i + 1 < bytes.size() && bytes[i + 1] == '\xA0') {
        out += "\xE3\x81\x82";  // U+3042
        ++i;
      } else {
        out += "\xEF\xBF\xBD";
      }
    }
    return out;
  }
  std::size_t IncompleteAnsiTail(std::string_view /*bytes*/) const override { return 0; }
};

TEST_F(CommandTest, ACharacterSplitAcrossReadsIsDecodedWhole) {
  DoubleByteOs os;
  platform::SetCurrentOs(&os);
  os.family = platform::OsFamily::Windows;
  os.console_output = {"x\x82", "\xA0y\x82", "\xA0"};
  Call(70003, R"({"command":"type jp.txt"})");
  EXPECT_EQ(AwaitReply(), Success(Str("x\xE3\x81\x82y\xE3\x81\x82")));
  EXPECT_EQ(os.console_waits, 1);
  for (int i = 0; i < 1000 && shared::TBrowserExternalModule::RunningCommands() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  platform::SetCurrentOs(&os_);
}

TEST_F(CommandTest, MissingCommandFailsAtOnce) {
  EXPECT_EQ(Call(70003, R"({"workingDir":"/tmp"})"), Failure(Str("Missing command")));
  EXPECT_EQ(Call(70003, R"({"command":null})"), Failure(Str("Missing command")));
  EXPECT_TRUE(os_.console_starts.empty());
}

TEST_F(CommandTest, TheWindowIsShownOnlyForExactlyTrue) {
  const struct {
    const char* show;  // JSON; nullptr: absent
    bool shown;
  } cases[] = {{"true", true},   {"\"true\"", true}, {"\"TRUE\"", false}, {"\"True\"", false},
               {"false", false}, {"1", false},       {"null", false},     {nullptr, false}};
  for (const auto& c : cases) {
    os_.console_starts.clear();
    Call(70003, std::string(R"({"command":"x")") +
                    (c.show != nullptr ? std::string(R"(,"showWindow":)") + c.show : "") + "}");
    AwaitReply();
    ASSERT_EQ(os_.console_starts.size(), 1u);
    EXPECT_EQ(os_.console_starts[0].show_window, c.shown) << (c.show ? c.show : "absent");
  }
}

// A console command that runs until the test lets it end.
class HeldConsole : public platform::ConsoleProcess {
 public:
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::thread::id reader;
  };
  explicit HeldConsole(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  int Read(char* buf, int max) override {
    std::unique_lock lock(gate_->mutex);
    gate_->reader = std::this_thread::get_id();
    gate_->changed.notify_all();
    gate_->changed.wait(lock, [&] { return gate_->open; });
    if (done_ || max < 4) return 0;
    done_ = true;
    std::copy_n("done", 4, buf);
    return 4;
  }
  void Wait() override {}

 private:
  std::shared_ptr<Gate> gate_;
  bool done_ = false;
};

TEST_F(CommandTest, RunsOffTheUiThreadWhileOtherCallsAreAnswered) {
  auto gate = std::make_shared<HeldConsole::Gate>();
  os_.start_console = [gate] { return std::make_unique<HeldConsole>(gate); };
  EXPECT_EQ(Call(70003, R"({"command":"sleep 100"})"), "");
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(gate->changed.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return gate->reader != std::thread::id(); }));
  }
  EXPECT_NE(gate->reader, std::this_thread::get_id());

  // The command is still running, and the module answers meanwhile.
  EXPECT_EQ(Call(10001), Success(Str("2021.28")));
  dispatcher_.Drain();
  EXPECT_EQ(browser_.posted.size(), 1u);

  {
    std::lock_guard lock(gate->mutex);
    gate->open = true;
  }
  gate->changed.notify_all();
  EXPECT_EQ(AwaitReply(), Success(Str("done")));
}

TEST_F(CommandTest, TheReplyGoesOnlyToTheDocumentThatAsked) {
  auto gate = std::make_shared<HeldConsole::Gate>();
  os_.start_console = [gate] { return std::make_unique<HeldConsole>(gate); };
  EXPECT_EQ(Call(70003, R"({"command":"cat secrets"})"), "");
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(gate->changed.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return gate->reader != std::thread::id(); }));
  }
  // Another document takes the window's place (the page navigated, or was
  // navigated, to a foreign page) before the command ends.
  browser_.shown_document = kAppDocumentId + 1;
  {
    std::lock_guard lock(gate->mutex);
    gate->open = true;
  }
  gate->changed.notify_all();
  std::vector<std::string> dropped;
  module_.SetOnReplyDropped([&](const std::string& uuid) { dropped.push_back(uuid); });
  ASSERT_TRUE(dispatcher_.RunUntil([&] { return !dropped.empty(); }));
  EXPECT_TRUE(browser_.posted.empty());
  EXPECT_EQ(dropped, std::vector<std::string>{"u1"});
  // Nor does the new document get an answer for what the old one asked.
  EXPECT_EQ(Call(10001), "");
}

TEST_F(CommandTest, AModuleThatGoesEndsItsCommandsFirstAndTakesNoReply) {
  auto gate = std::make_shared<HeldConsole::Gate>();
  os_.start_console = [gate] { return std::make_unique<HeldConsole>(gate); };
  os_.end_console_commands = [gate] {
    {
      std::lock_guard lock(gate->mutex);
      gate->open = true;
    }
    gate->changed.notify_all();
  };
  auto module = std::make_unique<shared::TBrowserExternalModule>();
  module->SetBrowserForm(&browser_);
  platform::FakeWebMessageReceivedEventArgs args;
  args.source = kAppDocument;
  args.document_id = kAppDocumentId;
  args.json = R"({"id":70003,"uuid":"u1","data":{"command":"x"}})";
  module->WebMessageReceived(args);
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(gate->changed.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return gate->reader != std::thread::id(); }));
  }
  // The command still runs: going ends it and waits for its worker, which
  // hands nothing to the UI thread for a module that is gone.
  module.reset();
  EXPECT_TRUE(gate->open);
  EXPECT_EQ(dispatcher_.Posted(), 0u);
  dispatcher_.Drain();
  EXPECT_TRUE(browser_.posted.empty());
}

}  // namespace
}  // namespace tessel::test
