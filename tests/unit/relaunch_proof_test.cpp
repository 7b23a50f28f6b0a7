#include "shared/relaunch_proof.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_os.h"
#include "platform/os.h"

namespace tessel::shared {
namespace {

namespace fs = std::filesystem;
using platform::CurrentOs;
using platform::OsFamily;

// Named in this test's environment for the instance StartRelaunch starts:
// the folder where it consumes its token and reports back.
constexpr const char* kChildDirVariable = "TESSEL_RELAUNCH_PROOF_TEST_DIR";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// This executable started by StartRelaunch: before any test runs, it
// consumes its token as start-up would and writes what came of it, then
// ends.
const bool kActedAsRelaunchedChild = [] {
  platform::Os& os = CurrentOs();
  const std::string dir = os.GetEnv(kChildDirVariable);
  if (dir.empty() || os.GetEnv(std::string(kRelaunchTokenVariable)).empty()) return false;
  const std::string token = TakeRelaunchToken();
  const bool left = !os.GetEnv(std::string(kRelaunchTokenVariable)).empty();
  const std::string data_dir = dir + os.PathSeparator();
  const bool proven = ConsumeRelaunchToken(data_dir, token);
  const bool twice = ConsumeRelaunchToken(data_dir, token);
  const fs::path folder(std::u8string(dir.begin(), dir.end()));
  {
    std::ofstream(folder / "report.part")
        << (proven ? "proven" : "refused") << (twice ? " twice" : "") << (left ? " left" : "");
  }
  // Renamed into place whole, so the waiting test never reads half of it.
  fs::rename(folder / "report.part", folder / "report");
  std::_Exit(0);
}();

class RelaunchProofTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tessel-relaunch-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root_);
    const std::u8string u8 = root_.u8string();
    data_dir_ = std::string(u8.begin(), u8.end()) + CurrentOs().PathSeparator();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::vector<fs::path> TokenFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(root_)) {
      if (entry.path().extension() == ".token") files.push_back(entry.path());
    }
    return files;
  }

  // The only token file's path and its write time as the system reports it.
  fs::path OnlyFile() const {
    const std::vector<fs::path> files = TokenFiles();
    EXPECT_EQ(files.size(), 1U);
    return files.empty() ? fs::path() : files[0];
  }
  std::int64_t WrittenMs(const fs::path& file) const {
    const std::u8string u8 = file.u8string();
    return CurrentOs().LastWriteTimeMs(std::string(u8.begin(), u8.end())).value_or(0);
  }

  fs::path root_;
  std::string data_dir_;
};

TEST_F(RelaunchProofTest, AnIssuedTokenProvesOnceAndItsFileIsPrivate) {
  const std::optional<std::string> token = IssueRelaunchToken(data_dir_);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->size(), 64U);
  EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos);
  const fs::path file = OnlyFile();
  EXPECT_EQ(ReadAll(file), *token);
  if (CurrentOs().Family() == OsFamily::Posix) {
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_NE(IssueRelaunchToken(data_dir_), token) << "every token is new";

  EXPECT_TRUE(ConsumeRelaunchToken(data_dir_, *token));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(ConsumeRelaunchToken(data_dir_, *token)) << "a second use";
  EXPECT_EQ(TokenFiles().size(), 1U) << "the other token's file stays";
}

TEST_F(RelaunchProofTest, ATokenOutOfItsLifetimeOrNotTheFilesOwnIsRefusedAndItsFileGoes) {
  enum class Change { kNone, kOtherTail, kLongerContent, kShared, kLink };
  const struct {
    const char* name;
    Change change;
    std::int64_t age_ms;  // of the file at the time of use
    bool proven;
  } cases[] = {
      {"fresh", Change::kNone, 0, true},
      {"at the end of its lifetime", Change::kNone, kRelaunchTokenLifetimeMs, true},
      {"stale", Change::kNone, kRelaunchTokenLifetimeMs + 1, false},
      {"dated far ahead", Change::kNone, -kRelaunchTokenLifetimeMs - 1, false},
      {"wrong token naming the file", Change::kOtherTail, 0, false},
      {"file holds more than the token", Change::kLongerContent, 0, false},
      {"file others may read", Change::kShared, 0, false},
      {"a link to a token file", Change::kLink, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool posix = CurrentOs().Family() == OsFamily::Posix;
    if (!posix && (c.change == Change::kShared || c.change == Change::kLink)) continue;
    std::optional<std::string> token = IssueRelaunchToken(data_dir_);
    ASSERT_TRUE(token);
    const fs::path file = OnlyFile();
    const std::int64_t written = WrittenMs(file);
    switch (c.change) {
      case Change::kNone:
        break;
      case Change::kOtherTail:
        token->back() = token->back() == '0' ? '1' : '0';
        break;
      case Change::kLongerContent:
        std::ofstream(file, std::ios::binary | std::ios::app) << "0";
        break;
      case Change::kShared:
        fs::permissions(file, fs::perms::group_read, fs::perm_options::add);
        break;
      case Change::kLink: {
        const fs::path target = root_ / "elsewhere";
        fs::rename(file, target);
        fs::create_symlink(target, file);
        break;
      }
    }
    EXPECT_EQ(ConsumeRelaunchToken(data_dir_, *token, written + c.age_ms), c.proven);
    EXPECT_TRUE(TokenFiles().empty());
    fs::remove(root_ / "elsewhere");
  }
}

TEST_F(RelaunchProofTest, TextThatIsNoTokenFindsNoFileAndTouchesNone) {
  const std::optional<std::string> token = IssueRelaunchToken(data_dir_);
  ASSERT_TRUE(token);
  std::string upper = *token;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& text :
       {std::string(), token->substr(0, 63), *token + "0", upper, "../" + token->substr(3),
        token->substr(0, 16) + std::string(48, 'g'), std::string(64, '\0')}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ConsumeRelaunchToken(data_dir_, text));
  }
  EXPECT_FALSE(ConsumeRelaunchToken(data_dir_, std::string(64, 'a'))) << "no such file";
  EXPECT_FALSE(ConsumeRelaunchToken(data_dir_ + "missing" + CurrentOs().PathSeparator(), *token));
  EXPECT_TRUE(ConsumeRelaunchToken(data_dir_, *token)) << "the real one untouched";
}

TEST_F(RelaunchProofTest, IssuingRemovesStaleFilesAndFailsCleanly) {
  const std::optional<std::string> old = IssueRelaunchToken(data_dir_);
  ASSERT_TRUE(old);
  const fs::path old_file = OnlyFile();
  fs::last_write_time(old_file, fs::last_write_time(old_file) - std::chrono::minutes(5));
  std::ofstream(root_ / "relaunch-notes.txt") << "not ours";
  ASSERT_TRUE(IssueRelaunchToken(data_dir_));
  EXPECT_FALSE(fs::exists(old_file));
  EXPECT_EQ(TokenFiles().size(), 1U);
  EXPECT_TRUE(fs::exists(root_ / "relaunch-notes.txt"));

  EXPECT_FALSE(IssueRelaunchToken(data_dir_ + "missing" + CurrentOs().PathSeparator()));
  auto fake = platform::MakeFakeOs();
  fake->path_separator = CurrentOs().PathSeparator();
  fake->secure_random_fails = true;
  platform::ScopedOs scoped(*fake);
  EXPECT_FALSE(IssueRelaunchToken(data_dir_));
  EXPECT_EQ(TokenFiles().size(), 1U);
}

TEST_F(RelaunchProofTest, TheTokenIsTakenOutOfTheEnvironment) {
  auto fake = platform::MakeFakeOs();
  platform::ScopedOs scoped(*fake);
  EXPECT_EQ(TakeRelaunchToken(), "");
  fake->environment[std::string(kRelaunchTokenVariable)] = "abc";
  EXPECT_EQ(TakeRelaunchToken(), "abc");
  EXPECT_FALSE(fake->environment.contains(std::string(kRelaunchTokenVariable)));
}

TEST_F(RelaunchProofTest, StartRelaunchHandsTheTokenToTheNewInstanceOnly) {
  auto fake = platform::MakeFakeOs();
  fake->executable_path = "/opt/app/tessel-app";
  fake->path_separator = CurrentOs().PathSeparator();
  platform::ScopedOs scoped(*fake);
  EXPECT_TRUE(StartRelaunch("\"com.example.app\" \"file:///b.html\"", data_dir_));
  ASSERT_EQ(fake->variable_starts.size(), 1U);
  const auto& start = fake->variable_starts[0];
  EXPECT_EQ(start.file, "/opt/app/tessel-app");
  EXPECT_EQ(start.args, "\"com.example.app\" \"file:///b.html\"");
  EXPECT_EQ(start.name, kRelaunchTokenVariable);
  EXPECT_EQ(ReadAll(OnlyFile()), start.value);
  EXPECT_TRUE(fake->environment.empty());

  fake->start_with_variable_result = false;
  EXPECT_FALSE(StartRelaunch("\"com.example.app\" \"file:///b.html\"", data_dir_));
  EXPECT_EQ(TokenFiles().size(), 1U) << "the failed start's file went";
  fake->secure_random_fails = true;
  EXPECT_FALSE(StartRelaunch("\"com.example.app\" \"file:///b.html\"", data_dir_));
  EXPECT_EQ(fake->variable_starts.size(), 2U) << "no start without a token";
}

// The real start: this executable again, which proves itself once with the
// token from its environment; the starting process never holds the token.
TEST_F(RelaunchProofTest, AStartedInstanceProvesItselfOnceAndTheStarterKeepsNoToken) {
  platform::Os& os = CurrentOs();
  ASSERT_TRUE(os.SetEnv(kChildDirVariable, data_dir_.substr(0, data_dir_.size() - 1)));
  const bool started = StartRelaunch("\"com.example.app\" \"file:///b.html\"", data_dir_);
  os.UnsetEnv(kChildDirVariable);
  ASSERT_TRUE(started);
  EXPECT_EQ(os.GetEnv(std::string(kRelaunchTokenVariable)), "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(root_ / "report") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ReadAll(root_ / "report"), "proven");
  EXPECT_TRUE(TokenFiles().empty());
  EXPECT_FALSE(kActedAsRelaunchedChild);
}

}  // namespace
}  // namespace tessel::shared
