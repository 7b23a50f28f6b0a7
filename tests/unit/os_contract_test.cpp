// One contract for the OS seam, checked against the fake and the platform's
// real implementation alike, for the calls that have no lasting side effects.
// Then the native seam's file and console calls through TSysUtils, on
// whichever platform this runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/fake/fake_os.h"
#include "platform/os.h"
#include "shared/sys_utils.h"

namespace tessel::platform {
namespace {

using shared::TSysUtils;

struct Implementation {
  const char* name;
  std::function<std::unique_ptr<Os>()> make;
};

std::unique_ptr<Os> MakeFakeLikeNative() {
  const std::unique_ptr<Os> native = MakeNativeOs();
  auto fake = MakeFakeOs();
  fake->family = native->Family();
  fake->path_separator = native->PathSeparator();
  fake->temp_path = native->TempPath();
  return fake;
}

// Names no other run of this test (or other test) uses at the same time.
std::string UniqueName(const char* tag) {
  static std::atomic<int> counter{0};
  return std::string("tessel-contract-") + tag + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
         std::to_string(counter++);
}

class OsContractTest : public ::testing::TestWithParam<Implementation> {
 protected:
  std::unique_ptr<Os> os_ = GetParam().make();
};

TEST_P(OsContractTest, FolderGettersEndWithThePathSeparator) {
  ScopedOs scoped(*os_);
  const char sep = os_->PathSeparator();
  for (const std::string& folder :
       {TSysUtils::GetLocalAppDataDirPath(), TSysUtils::GetUserDesktopDirPath(),
        TSysUtils::GetUserDocumentsDirPath(), TSysUtils::GetTempDirPath()}) {
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), sep) << folder;
  }
}

TEST_P(OsContractTest, AnInstanceLockIsTakenOnceAndThenReportedHeld) {
  const std::string base = UniqueName(GetParam().name);
  // Whatever the bytes, the name is only a name.
  for (const std::string suffix :
       {"", "/a/b", "/../../etc", " with blanks", "/\xC3\xBC\xE2\x82\xAC"}) {
    const std::string name = base + suffix;
    EXPECT_EQ(os_->AcquireInstanceLock(name), InstanceLock::Acquired) << name;
    EXPECT_EQ(os_->AcquireInstanceLock(name), InstanceLock::AlreadyHeld) << name;
  }
  EXPECT_EQ(os_->AcquireInstanceLock(""), InstanceLock::Failed);
}

TEST_P(OsContractTest, EnvironmentVariablesRoundTrip) {
  const std::string name = UniqueName("env");
  EXPECT_EQ(os_->GetEnv(name), "");
  ASSERT_TRUE(os_->SetEnv(name, "a value with blanks and \xC3\xBC"));
  EXPECT_EQ(os_->GetEnv(name), "a value with blanks and \xC3\xBC");
  ASSERT_TRUE(os_->SetEnv(name, "second"));
  EXPECT_EQ(os_->GetEnv(name), "second");
  EXPECT_FALSE(os_->SetEnv("", "x"));
  EXPECT_FALSE(os_->SetEnv("A=B", "x"));
  EXPECT_EQ(os_->GetEnv(""), "");
  // Removing works once it is gone too.
  EXPECT_TRUE(os_->UnsetEnv(name));
  EXPECT_EQ(os_->GetEnv(name), "");
  EXPECT_TRUE(os_->UnsetEnv(name));
  EXPECT_FALSE(os_->UnsetEnv(""));
  EXPECT_FALSE(os_->UnsetEnv("A=B"));
}

TEST_P(OsContractTest, IsAbsolutePathFollowsThePlatformRules) {
  struct Case {
    const char* path;
    bool on_windows;
    bool on_posix;
  };
  const Case cases[] = {
      {"", false, false},
      {"/usr/bin", false, true},
      {"relative/file", false, false},
      {"C:\\Windows", true, false},
      {"c:/windows", true, false},
      {"C:", false, false},
      {"C:file.txt", false, false},  // relative to drive C's current folder
      {"\\\\server\\share", true, false},
      {"//server/share", true, true},
      {"\\rooted", false, false},
      {"1:\\x", false, false},
  };
  const bool windows = os_->Family() == OsFamily::Windows;
  for (const Case& c : cases) {
    EXPECT_EQ(os_->IsAbsolutePath(c.path), windows ? c.on_windows : c.on_posix) << c.path;
  }
}

TEST_P(OsContractTest, CommandLineArgumentsAreTheProcessArgumentsProgramFirst) {
  const std::vector<std::string> args = ::testing::internal::GetArgvs();
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& a : args) argv.push_back(a.c_str());
  const std::vector<std::string> got =
      os_->CommandLineArguments(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(got, args);
}

TEST_P(OsContractTest, LanguageCodeIsAFewLowercaseLetters) {
  const std::string code = os_->LanguageCode();
  EXPECT_GE(code.size(), 2u);
  EXPECT_LE(code.size(), 3u);
  for (const char c : code) EXPECT_TRUE(c >= 'a' && c <= 'z') << code;
}

TEST_P(OsContractTest, ErrorTextIsNeverEmptyNorEndsWithALineBreak) {
  // 2 is "file not found" on both systems.
  for (const int code : {2, 0x7ABC1234}) {
    const std::string text = os_->ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
  }
}

INSTANTIATE_TEST_SUITE_P(Implementations, OsContractTest,
                         ::testing::Values(Implementation{"fake", MakeFakeLikeNative},
                                           Implementation{"native", MakeNativeOs}),
                         [](const ::testing::TestParamInfo<Implementation>& info) {
                           return std::string(info.param.name);
                         });

// ---- the native seam's real effects ---------------------------------------

class NativeOsTest : public ::testing::Test {
 protected:
  static std::filesystem::path Utf8Path(const std::string& text) {
    return {std::u8string(text.begin(), text.end())};
  }

  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / UniqueName("native");
    std::filesystem::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  std::string Root() const {
    const std::u8string s = root_.u8string();
    return std::string(s.begin(), s.end());
  }

  std::filesystem::path root_;
};

TEST_F(NativeOsTest, CreateAndDeleteANestedFolderWithANonAsciiName) {
  Os& os = CurrentOs();
  const std::string sep(1, os.PathSeparator());
  const std::string top = Root() + sep + "d\xC3\xA4t\xC3\xA4";
  const std::string deep = top + sep + "a" + sep + "b";
  ASSERT_TRUE(os.CreateDirectories(deep));
  EXPECT_TRUE(os.CreateDirectories(deep)) << "an existing folder is success";
  std::ofstream(Utf8Path(deep) / "file.txt") << "content";
  { std::ofstream(Utf8Path(top) / "ro.txt") << "read-only"; }
  std::filesystem::permissions(Utf8Path(top) / "ro.txt", std::filesystem::perms::owner_read);

  EXPECT_TRUE(TSysUtils::DeleteDirectory(top));
  EXPECT_FALSE(std::filesystem::exists(Utf8Path(top)));
  EXPECT_FALSE(TSysUtils::DeleteDirectory(top)) << "a missing folder is a failure";
}

TEST_F(NativeOsTest, CreateDirectoriesFailsWhereAFileIsInTheWay) {
  Os& os = CurrentOs();
  std::ofstream(root_ / "file") << "x";
  EXPECT_FALSE(os.CreateDirectories(Root() + os.PathSeparator() + "file"));
}

// A shell start of nothing fails at once with the system's reason, and no
// box of the shell's own waits for someone to close it.
TEST_F(NativeOsTest, AShellStartOfNothingFailsWithTheSystemsReason) {
  Os& os = CurrentOs();
  const std::string missing = Root() + os.PathSeparator() + "no-such-document.tesselx";
  EXPECT_FALSE(os.ShellStart(missing, ""));
  EXPECT_NE(os.LastErrorCode(), 0);
}

// A console start that fails says which step failed, with a code the
// system has a text for.
TEST_F(NativeOsTest, AConsoleThatCannotStartSaysWhy) {
  Os& os = CurrentOs();
  const std::string sep(1, os.PathSeparator());
  std::ofstream(root_ / "file.txt") << "x";
  const bool windows = os.Family() == OsFamily::Windows;
  const std::vector<std::string> shell = windows
                                             ? std::vector<std::string>{"cmd.exe", "/C", "echo"}
                                             : std::vector<std::string>{"/bin/sh", "-c", "echo"};
  const struct {
    const char* name;
    std::vector<std::string> argv;
    std::string dir;
    ConsoleStartStep step;
  } cases[] = {
      {"missing folder", shell, Root() + sep + "missing", ConsoleStartStep::WorkingDir},
      {"file as folder", shell, Root() + sep + "file.txt", ConsoleStartStep::WorkingDir},
      {"missing program", {Root() + sep + "no-such-program"}, Root(), ConsoleStartStep::Program},
      {"no program", {}, "", ConsoleStartStep::Program},
  };
  for (const auto& c : cases) {
    ConsoleStartError error;
    error.step = c.step == ConsoleStartStep::Program ? ConsoleStartStep::WorkingDir
                                                     : ConsoleStartStep::Program;
    EXPECT_EQ(os.StartConsole(c.argv, c.dir, false, &error), nullptr) << c.name;
    EXPECT_EQ(error.step, c.step) << c.name;
    EXPECT_NE(error.code, 0) << c.name;
  }
  // And one that starts leaves the reason alone.
  ConsoleStartError error{ConsoleStartStep::WorkingDir, 7};
  const std::unique_ptr<ConsoleProcess> started = os.StartConsole(shell, Root(), false, &error);
  ASSERT_NE(started, nullptr);
  started->Wait();
  EXPECT_EQ(error.code, 7);
}

TEST_F(NativeOsTest, GetDosOutputOfEchoEndsWithThePlatformLineBreak) {
  const std::string expected = CurrentOs().Family() == OsFamily::Windows ? "hello\r\n" : "hello\n";
  EXPECT_EQ(TSysUtils::GetDosOutput("echo hello", "", false), expected);
}

}  // namespace
}  // namespace tessel::platform
