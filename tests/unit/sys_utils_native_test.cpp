// The further system helpers against the platform's real seams, on whichever
// platform this runs (natively, or under Wine for the Windows build): copies,
// sizes, listings, times, process starts, names, icons and text widths.
#ifdef _WIN32
#include <windows.h>
// The macro would rename TSysUtils::CopyFile in this file.
#undef CopyFile
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "platform/os.h"
#include "platform/ui.h"
#include "shared/sys_utils.h"
#include "under_wine.h"

namespace tessel::shared {
namespace {

namespace fs = std::filesystem;

class SysUtilsNativeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tessel-native-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return Path(name);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static bool Windows() { return platform::CurrentOs().Family() == platform::OsFamily::Windows; }

  fs::path dir_;
};

TEST_F(SysUtilsNativeTest, CopyFileMakesOrReplacesTheTargetWithItsTime) {
  const std::string source = Write("src.txt", "new content");
  fs::last_write_time(source, fs::last_write_time(source) - std::chrono::hours(30));
  const std::string fresh = Path("fresh.txt");
  ASSERT_TRUE(TSysUtils::CopyFile(source, fresh));
  EXPECT_EQ(Read(fresh), "new content");
  EXPECT_TRUE(TSysUtils::FilesHaveSameDateTime(source, fresh));

  const std::string old = Write("old.txt", "old, longer content that must go");
  ASSERT_TRUE(TSysUtils::CopyFile(source, old));
  EXPECT_EQ(Read(old), "new content");

  // Into an existing folder, under the source's name.
  fs::create_directories(dir_ / "into");
  ASSERT_TRUE(TSysUtils::CopyFile(source, Path("into")));
  EXPECT_EQ(Read(Path("into/src.txt")), "new content");
}

TEST_F(SysUtilsNativeTest, CopyDirectoryCopiesTheTreeNewOrIntoAFolder) {
  Write("tree/a.txt", "a");
  Write("tree/sub/b.txt", "b");
  Write("tree/sub/deeper/c.txt", "c");
  ASSERT_TRUE(TSysUtils::CopyDirectory(Path("tree"), Path("copy")));
  EXPECT_EQ(Read(Path("copy/a.txt")), "a");
  // Wine's shell applies FOF_FILESONLY to the folders inside the tree too and
  // copies only the top level; Windows applies it to wildcards alone.
  const bool nested = !test::UnderWine();
  if (nested) {
    EXPECT_EQ(Read(Path("copy/sub/deeper/c.txt")), "c");
  }

  // The target exists: the tree goes inside it, replacing what is there.
  Write("dest/tree/a.txt", "stale");
  Write("dest/keep.txt", "keep");
  ASSERT_TRUE(TSysUtils::CopyDirectory(Path("tree"), Path("dest")));
  EXPECT_EQ(Read(Path("dest/tree/a.txt")), "a");
  if (nested) {
    EXPECT_EQ(Read(Path("dest/tree/sub/b.txt")), "b");
  }
  EXPECT_EQ(Read(Path("dest/keep.txt")), "keep");

  // Nothing but the copies is left in the folders (no temporary names).
  std::vector<std::string> names;
  TSysUtils::GetDirectoryFiles(dir_.string(), true, names, "*.*");
  EXPECT_EQ(names.size(), 3u);
}

TEST_F(SysUtilsNativeTest, FailedCopiesLeaveTargetsAsTheyWere) {
  const std::string target = Write("target.txt", "precious");
  EXPECT_FALSE(TSysUtils::CopyFile(Path("no-such-file"), target));
  EXPECT_EQ(Read(target), "precious");
  EXPECT_FALSE(TSysUtils::CopyDirectory(Path("no-such-dir"), Path("new-dir")));
  EXPECT_FALSE(fs::exists(dir_ / "new-dir"));
  if (!Windows()) {
    // A source that fails while being read: the old target stays whole and
    // no partial file is left beside it.
    EXPECT_FALSE(TSysUtils::CopyFile("/proc/self/mem", target));
    EXPECT_EQ(Read(target), "precious");
    // A folder copied into itself would never end.
    Write("loop/x.txt", "x");
    EXPECT_FALSE(TSysUtils::CopyDirectory(Path("loop"), Path("loop/inner")));
    EXPECT_FALSE(fs::exists(dir_ / "loop" / "inner"));
  }
  std::vector<std::string> names;
  TSysUtils::GetDirectoryFiles(dir_.string(), true, names, "*.*");
  EXPECT_EQ(names.size(), Windows() ? 1u : 2u) << ::testing::PrintToString(names);
}

TEST_F(SysUtilsNativeTest, SizesListingsAndCounts) {
  Write("d/b.txt", "12345");
  Write("d/a.bin", "123");
  Write("d/sub1/inner.txt", "ignored: below the top level");
  fs::create_directories(dir_ / "d" / "sub2");
  const std::string d = Path("d");

  EXPECT_EQ(TSysUtils::GetSizeOfFile(Path("d/b.txt")), 5);
  EXPECT_EQ(TSysUtils::GetSizeOfFile(Path("d/none")), -1);
  EXPECT_EQ(TSysUtils::GetSizeOfDir(d, false), 8);
  EXPECT_EQ(TSysUtils::GetSizeOfDir(d, true), 8);
  EXPECT_EQ(TSysUtils::GetSubdirectoriesCount(d), 2);
  EXPECT_EQ(TSysUtils::GetSubdirectoriesCount(Path("none")), 0);

  std::vector<std::string> list;
  TSysUtils::GetDirectoryFiles(d, true, list, "*.*");
  const std::string sep(1, platform::CurrentOs().PathSeparator());
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], d + sep + "sub1");  // folders first
  EXPECT_EQ(list[1], d + sep + "sub2");
  EXPECT_EQ((std::set<std::string>{list[2], list[3]}),
            (std::set<std::string>{d + sep + "a.bin", d + sep + "b.txt"}));
  TSysUtils::GetDirectoryFiles(d, false, list, "*.txt");
  EXPECT_EQ(list, std::vector<std::string>{d + sep + "b.txt"});
}

TEST_F(SysUtilsNativeTest, SizeOfAFileBeyondFourGigabytes) {
  const std::string big = Write("sparse.bin", "");
  std::error_code ec;
  fs::resize_file(big, (std::uintmax_t{5} << 30) + 7, ec);
  if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
  EXPECT_EQ(TSysUtils::GetSizeOfFile(big), (std::int64_t{5} << 30) + 7);
  EXPECT_EQ(TSysUtils::FormatByteSize(TSysUtils::GetSizeOfFile(big)), "5 GB");
}

TEST_F(SysUtilsNativeTest, TimesOfMissingFilesAreErrors) {
  const std::string file = Write("t.txt", "x");
  EXPECT_TRUE(TSysUtils::FilesHaveSameDateTime(file, file));
  EXPECT_THROW(TSysUtils::FilesHaveSameDateTime(file, Path("missing")), std::runtime_error);
  const std::string other = Write("u.txt", "y");
  fs::last_write_time(other, fs::last_write_time(file) + std::chrono::milliseconds(5));
  EXPECT_FALSE(TSysUtils::FilesHaveSameDateTime(file, other));
}

TEST_F(SysUtilsNativeTest, ProcessesReportExitCodesAndRun) {
  const std::string marker = Path("marker.txt");
  if (Windows()) {
    EXPECT_EQ(TSysUtils::ExecAndWait("cmd.exe /C exit 7"), 7u);
    TSysUtils::ExecCmd("cmd.exe /C echo ran> \"" + marker + "\"", true);
  } else {
    EXPECT_EQ(TSysUtils::ExecAndWait("/bin/sh -c 'exit 7'"), 7u);
    EXPECT_EQ(TSysUtils::ExecAndWait("sh -c 'kill -TERM $$'"), 128u + 15);
    TSysUtils::ExecCmd("sh -c 'echo ran > \"" + marker + "\"'", true);
  }
  EXPECT_EQ(TSysUtils::ExecAndWait("no-such-program-tessel"), 0u);
  EXPECT_EQ(TSysUtils::ExecAndWait(""), 0u);
  EXPECT_TRUE(fs::exists(marker));
  TSysUtils::ExecCmd("no-such-program-tessel", false);  // reports nothing, throws nothing
}

TEST_F(SysUtilsNativeTest, NamesFoldersAndPaths) {
  EXPECT_FALSE(TSysUtils::GetComputerNetName().empty());
  const std::string user = TSysUtils::GetUserFromWindows();
  EXPECT_FALSE(user.empty());
  EXPECT_NE(user, "Unknown");
  const char sep = platform::CurrentOs().PathSeparator();
  for (const std::string& folder :
       {TSysUtils::GetUserAppDataDirPath(), TSysUtils::GetProgramFilesDirPath(),
        TSysUtils::GetSystemAppsDirPath()}) {
    ASSERT_GT(folder.size(), 1u);
    EXPECT_EQ(folder.back(), sep);
  }
  const std::string here = dir_.string();
  EXPECT_EQ(TSysUtils::GetParentDirPath(here + sep + "child"), here + sep);
  EXPECT_TRUE(TSysUtils::IsValidFilePath(here + sep + "new-name.txt"));
  if (Windows()) {
    EXPECT_FALSE(TSysUtils::IsValidFilePath(here + "\\bad|name.txt"));
    EXPECT_FALSE(TSysUtils::IsValidFilePath(here + "\\a*b\\c.txt"));
  } else {
    EXPECT_FALSE(TSysUtils::IsValidFilePath(""));
    EXPECT_FALSE(TSysUtils::IsValidFilePath(here + "/" + std::string(256, 'n')));
    EXPECT_FALSE(TSysUtils::IsValidFilePath(std::string("a\0b", 3)));
  }
}

TEST_F(SysUtilsNativeTest, IconsOfImagesAndEntries) {
  // Wine shows the build machine's root as drive Z:.
  const std::string ico =
      (Windows() ? "Z:" : "") + std::string(TESSEL_SOURCE_DIR "/resources/tessel.ico");
  platform::Bitmap bitmap;
  ASSERT_TRUE(TSysUtils::ExtractExeIcon(ico, bitmap));
  EXPECT_GT(bitmap.width, 0);
  EXPECT_GT(bitmap.height, 0);
  ASSERT_EQ(bitmap.pixels.size(), static_cast<std::size_t>(bitmap.width) * bitmap.height);
  EXPECT_TRUE(std::any_of(bitmap.pixels.begin(), bitmap.pixels.end(),
                          [](std::uint32_t p) { return (p & 0xFFFFFF) != 0; }));

  platform::Bitmap untouched;
  EXPECT_FALSE(TSysUtils::ExtractExeIcon(Path("missing.exe"), untouched));
  EXPECT_FALSE(TSysUtils::ExtractExeIcon(Write("plain.txt", "no icon"), untouched));
  EXPECT_EQ(untouched.width, 0);
  if (!Windows()) {
    EXPECT_FALSE(TSysUtils::ExtractExeIcon("/proc/self/exe", untouched));  // ELF: none
    const std::string entry =
        Write("app.desktop", "[Desktop Entry]\nType=Application\nIcon=" + ico + "\nExec=app\n");
    platform::Bitmap from_entry;
    EXPECT_TRUE(TSysUtils::ExtractExeIcon(entry, from_entry));
    EXPECT_EQ(from_entry.width, bitmap.width);
  }
}

TEST_F(SysUtilsNativeTest, TextWidthsGrowWithTheText) {
  platform::FontSpec font;
  font.name = Windows() ? "Tahoma" : "DejaVu Sans";
  font.pixel_size = 16;
  EXPECT_EQ(TSysUtils::TrueFontWidth(font, ""), 0);
  const int narrow = TSysUtils::TrueFontWidth(font, "iiii");
  const int wide = TSysUtils::TrueFontWidth(font, "WWWW");
  EXPECT_GT(narrow, 0);
  EXPECT_GT(wide, narrow);
  EXPECT_NEAR(TSysUtils::TrueFontWidth(font, "WWWWWWWW"), 2 * wide, 2);
  font.pixel_size = 32;
  EXPECT_GT(TSysUtils::TrueFontWidth(font, "WWWW"), wide);
}

}  // namespace
}  // namespace tessel::shared
