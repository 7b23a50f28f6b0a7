#include "platform/folder_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_ui_dispatch.h"
#include "under_wine.h"

namespace tessel::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Wine's ReadDirectoryChangesW reports the top folder only, not the tree.
using test::UnderWine;

class FolderWatchTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tessel-watch-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "sub");
  }
  void TearDown() override {
    watch_.reset();
    fs::remove_all(dir_);
  }

  void Watch(int quiet_ms = 100) {
    std::string error;
    watch_ = WatchFolder(
        dir_.string(), quiet_ms,
        [this](const FolderChanges& changes) { reports_.push_back(changes); }, error);
    ASSERT_NE(watch_, nullptr) << error;
  }
  void Write(const fs::path& path, const std::string& text) {
    std::ofstream(dir_ / path, std::ios::binary) << text;
  }
  // Runs what the watch posts until `count` reports have come.
  bool AwaitReports(std::size_t count) {
    return dispatcher_.RunUntil([&] { return reports_.size() >= count; }, 10s);
  }
  // Whether any report comes within `window`: quiet is only seen by waiting.
  bool AnotherReportWithin(std::chrono::milliseconds window) {
    const std::size_t had = reports_.size();
    return dispatcher_.RunUntil([&] { return reports_.size() > had; }, window);
  }

  fs::path dir_;
  FakeUiDispatcher dispatcher_;
  ScopedUiDispatcher scoped_{dispatcher_};
  std::vector<FolderChanges> reports_;
  std::unique_ptr<FolderWatch> watch_;
};

TEST_F(FolderWatchTest, EachKindOfChangeIsReportedByItsRelativePath) {
  Write("old.txt", "x");
  Write("sub/gone.txt", "x");
  Watch();
  struct Case {
    const char* name;
    std::function<void()> change;
    const char* path;  // one of the reported paths
  };
  const Case cases[] = {
      {"write", [&] { Write("index.html", "<p>1</p>"); }, "index.html"},
      {"write below", [&] { Write("sub/a.css", "a{}"); }, "sub/a.css"},
      {"rename", [&] { fs::rename(dir_ / "old.txt", dir_ / "new.txt"); }, "new.txt"},
      {"remove", [&] { fs::remove(dir_ / "sub/gone.txt"); }, "sub/gone.txt"},
      {"folder made later",
       [&] {
         fs::create_directories(dir_ / "later");
         // The folder's first file may come before its watch does.
         Write("later/x.js", "1");
       },
       "later"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (UnderWine() && std::string_view(c.path).find('/') != std::string_view::npos) continue;
    const std::size_t before = reports_.size();
    c.change();
    ASSERT_TRUE(AwaitReports(before + 1));
    const FolderChanges& got = reports_.back();
    EXPECT_NE(std::find(got.begin(), got.end(), c.path), got.end()) << testing::PrintToString(got);
  }
  if (UnderWine()) return;
  // A file in the folder made while watching is seen too.
  const std::size_t before = reports_.size();
  Write("later/y.js", "2");
  ASSERT_TRUE(AwaitReports(before + 1));
  EXPECT_EQ(reports_.back(), FolderChanges{"later/y.js"});
}

TEST_F(FolderWatchTest, ABurstOfWritesIsOneReport) {
  Watch(1000);
  for (int i = 0; i < 10; ++i) {
    Write("notes.txt", std::string(static_cast<std::size_t>(i + 1), 'n'));
    std::this_thread::sleep_for(10ms);  // a burst has gaps shorter than the quiet time
  }
  ASSERT_TRUE(AwaitReports(1));
  EXPECT_EQ(reports_[0], FolderChanges{"notes.txt"});
  EXPECT_FALSE(AnotherReportWithin(1500ms));
}

TEST_F(FolderWatchTest, NothingIsReportedAfterTheWatchIsGone) {
  Watch();
  Write("a.txt", "1");
  // The report may already be queued when the watch goes.
  std::this_thread::sleep_for(300ms);
  watch_.reset();
  dispatcher_.Drain();
  EXPECT_TRUE(reports_.empty());
}

TEST_F(FolderWatchTest, AFolderThatCannotBeWatchedSaysWhy) {
  std::string error;
  EXPECT_EQ(WatchFolder((dir_ / "missing").string(), 100, [](const FolderChanges&) {}, error),
            nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tessel::platform
