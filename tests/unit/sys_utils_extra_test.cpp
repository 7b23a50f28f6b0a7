// The further system helpers' own logic over the fake seams: folders, path
// rules, listings and sums, time comparison, byte counts, process and shell
// hand-overs, and the byte-order-mark remover on real files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "shared/sys_utils.h"

namespace tessel::shared {
namespace {

using platform::FakeOs;
using platform::FakeUi;
using platform::OsFamily;
using platform::ScopedOs;
using platform::ScopedUi;
using platform::SystemFolder;

class SysUtilsExtraTest : public ::testing::Test {
 protected:
  void UseWindows() {
    os_.family = OsFamily::Windows;
    os_.path_separator = '\\';
    os_.current_dir = "C:\\cwd";
  }

  FakeOs os_;
  FakeUi ui_;
  ScopedOs scoped_os_{os_};
  ScopedUi scoped_ui_{ui_};
};

TEST_F(SysUtilsExtraTest, FurtherFoldersEndWithTheSeparator) {
  UseWindows();
  os_.system_folders[SystemFolder::RoamingAppData] = "C:\\Users\\u\\AppData\\Roaming";
  os_.system_folders[SystemFolder::ProgramFiles] = "C:\\Program Files\\";
  os_.system_folders[SystemFolder::SystemApps] = "C:\\Windows\\SystemApps";
  EXPECT_EQ(TSysUtils::GetUserAppDataDirPath(), "C:\\Users\\u\\AppData\\Roaming\\");
  EXPECT_EQ(TSysUtils::GetProgramFilesDirPath(), "C:\\Program Files\\");
  EXPECT_EQ(TSysUtils::GetSystemAppsDirPath(), "C:\\Windows\\SystemApps\\");
  os_.system_folders.clear();
  EXPECT_EQ(TSysUtils::GetUserAppDataDirPath(), "\\");  // a failed lookup
}

TEST_F(SysUtilsExtraTest, ParentFolderIsResolvedAgainstTheCurrentFolder) {
  struct Case {
    bool windows;
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {true, "C:\\a\\b", "C:\\a\\"},
      {true, "C:\\a\\b\\", "C:\\a\\"},
      {true, "C:\\a", "C:\\"},
      {true, "C:\\", "C:\\"},
      {true, "sub\\dir", "C:\\cwd\\sub\\"},
      {false, "/a/b", "/a/"},
      {false, "/", "/"},
      {false, "rel", "/cwd/"},
      {false, "a/../b/c", "/cwd/b/"},
  };
  for (const Case& c : cases) {
    if (c.windows) {
      UseWindows();
    } else {
      os_.family = OsFamily::Posix;
      os_.path_separator = '/';
      os_.current_dir = "/cwd";
    }
    EXPECT_EQ(TSysUtils::GetParentDirPath(c.path), c.expected) << c.path;
  }
}

TEST_F(SysUtilsExtraTest, ExpandFileNameRelBaseDirJoinsRelativeNamesAndCanonicalizes) {
  struct Case {
    bool windows;
    std::string file;
    std::string base;
    std::string expected;
  };
  const Case cases[] = {
      {true, "file.txt", "C:\\base", "C:\\base\\file.txt"},
      {true, "file.txt", "C:\\base\\", "C:\\base\\file.txt"},
      {true, "..\\up.txt", "C:\\base\\dir", "C:\\base\\up.txt"},
      {true, ".\\a\\.\\b\\..\\c", "C:\\base", "C:\\base\\a\\c"},
      {true, "D:\\abs\\..\\x", "C:\\base", "D:\\x"},
      {true, "\\rooted\\x", "C:\\base", "\\rooted\\x"},
      {true, "..\\..\\..\\x", "C:\\b", "C:\\x"},  // never above the drive
      {true, "dir\\", "C:\\base", "C:\\base\\dir\\"},
      {false, "f", "/base", "/base/f"},
      {false, "../f", "/base/dir/", "/base/f"},
      {false, "/abs/./f", "/base", "/abs/f"},
      {false, "a\\b", "/base", "/base/a\\b"},  // a backslash is part of a Linux name
  };
  for (const Case& c : cases) {
    if (c.windows) {
      UseWindows();
    } else {
      os_.family = OsFamily::Posix;
      os_.path_separator = '/';
    }
    EXPECT_EQ(TSysUtils::ExpandFileNameRelBaseDir(c.file, c.base), c.expected) << c.file;
  }
}

TEST_F(SysUtilsExtraTest, ListingsGiveFullPathsFoldersFirstAndSumFileSizes) {
  os_.directories["/d"] = {{"b.txt", false}, {"sub", true}, {"a.log", false}, {"x", true}};
  os_.entry_sizes = {{"/d/b.txt", 10}, {"/d/a.log", 5}, {"/d/sub", 0}, {"/d/x", 0}};
  std::vector<std::string> list{"stale"};
  TSysUtils::GetDirectoryFiles("/d", true, list, "*.*");
  EXPECT_EQ(list, (std::vector<std::string>{"/d/sub", "/d/x", "/d/b.txt", "/d/a.log"}));
  TSysUtils::GetDirectoryFiles("/d", false, list, "*.txt");
  EXPECT_EQ(list, (std::vector<std::string>{"/d/b.txt"}));
  os_.directories["/e/"] = {{"f", false}};
  TSysUtils::GetDirectoryFiles("/e/", true, list, "*");
  EXPECT_EQ(list, (std::vector<std::string>{"/e/f"}));  // no doubled separator
  TSysUtils::GetDirectoryFiles("/missing", true, list, "*.*");
  EXPECT_TRUE(list.empty());

  EXPECT_EQ(TSysUtils::GetSizeOfDir("/d", false), 15);
  EXPECT_EQ(TSysUtils::GetSizeOfDir("/d", true), 15);
  EXPECT_EQ(TSysUtils::GetSizeOfDir("/missing", true), 0);
  // An entry gone between listing and sizing adds nothing, never -1.
  os_.entry_sizes.erase("/d/a.log");
  EXPECT_EQ(TSysUtils::GetSizeOfDir("/d", false), 10);

  EXPECT_EQ(TSysUtils::GetSubdirectoriesCount("/d"), 2);
  EXPECT_EQ(TSysUtils::GetSubdirectoriesCount("/missing"), 0);
}

TEST_F(SysUtilsExtraTest, SameDateTimeComparesMillisecondsAndFailsLoudly) {
  os_.write_times_ms = {{"a", 1000}, {"b", 1000}, {"c", 1001}};
  EXPECT_TRUE(TSysUtils::FilesHaveSameDateTime("a", "b"));
  EXPECT_FALSE(TSysUtils::FilesHaveSameDateTime("a", "c"));
  EXPECT_THROW(TSysUtils::FilesHaveSameDateTime("a", "missing"), std::runtime_error);
  EXPECT_THROW(TSysUtils::FilesHaveSameDateTime("missing", "a"), std::runtime_error);
}

TEST_F(SysUtilsExtraTest, FormatByteSizeKeepsBoundariesInTheSmallerUnit) {
  struct Case {
    std::int64_t bytes;
    std::string expected;
  };
  const Case cases[] = {
      {0, "0 bytes"},          {1, "1 bytes"},
      {-5, "-5 bytes"},        {-5000000, "-5000000 bytes"},
      {1024, "1024 bytes"},    {1025, "1 KB"},
      {1536, "1.5 KB"},        {1034, "1.01 KB"},  // 1.0097...
      {1029, "1 KB"},                              // 1.0048... rounds down
      {1030, "1.01 KB"},                           // 1.0058...
      {1048575, "1024 KB"},    {1048576, "1024 KB"},
      {1048577, "1 MB"},       {1073741824, "1024 MB"},
      {1073741825, "1 GB"},    {5368709120, "5 GB"},
      {5637144576, "5.25 GB"}, {std::numeric_limits<std::int64_t>::max(), "8589934592 GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(TSysUtils::FormatByteSize(c.bytes), c.expected) << c.bytes;
  os_.decimal_separator = ",";
  EXPECT_EQ(TSysUtils::FormatByteSize(1536), "1,5 KB");
  EXPECT_EQ(TSysUtils::FormatByteSize(2048), "2 KB");
}

TEST_F(SysUtilsExtraTest, NamesFallBackAsTheirContractsSay) {
  EXPECT_EQ(TSysUtils::GetUserFromWindows(), "Unknown");
  os_.user_name = "jane";
  EXPECT_EQ(TSysUtils::GetUserFromWindows(), "jane");
  EXPECT_EQ(TSysUtils::GetComputerNetName(), "");
  os_.computer_name = "box";
  EXPECT_EQ(TSysUtils::GetComputerNetName(), "box");
}

TEST_F(SysUtilsExtraTest, ProcessesCopiesAndLinksGoToTheSeamUnchanged) {
  os_.run_exit_code = 42;
  EXPECT_EQ(TSysUtils::ExecAndWait("tool --x \"a b\""), 42u);
  EXPECT_EQ(os_.runs, std::vector<std::string>{"tool --x \"a b\""});
  TSysUtils::ExecCmd("other", true);
  TSysUtils::ExecCmd("third", false);
  ASSERT_EQ(os_.started_processes.size(), 2u);
  EXPECT_TRUE(os_.started_processes[0].wait);
  EXPECT_FALSE(os_.started_processes[1].wait);

  EXPECT_TRUE(TSysUtils::CopyFile("a", "b"));
  EXPECT_TRUE(TSysUtils::CopyDirectory("c", "d"));
  os_.copy_result = false;
  EXPECT_FALSE(TSysUtils::CopyFile("a", "b"));
  ASSERT_EQ(os_.copied_files.size(), 2u);
  EXPECT_EQ(os_.copied_directories[0].to, "d");

  os_.link_targets["x.lnk"] = "C:\\target.exe";
  EXPECT_EQ(TSysUtils::GetLnkFilePath("x.lnk"), "C:\\target.exe");
  EXPECT_EQ(TSysUtils::GetLnkFilePath("none.lnk"), "");
}

TEST_F(SysUtilsExtraTest, ShellOpenAndRestartStartTheFileWithoutArguments) {
  os_.executable_path = "/opt/app/app";
  EXPECT_TRUE(TSysUtils::ShellOpen("/x/doc.pdf"));
  TSysUtils::RestartApplication();
  ASSERT_EQ(os_.shell_starts.size(), 2u);
  EXPECT_EQ(os_.shell_starts[0].file, "/x/doc.pdf");
  EXPECT_EQ(os_.shell_starts[0].args, "");
  EXPECT_EQ(os_.shell_starts[1].file, "/opt/app/app");
  EXPECT_EQ(ui_.quit_requests, 1);
}

TEST_F(SysUtilsExtraTest, EditWithMSPaintNeedsPaintInTheSystemFolderOnWindows) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("tessel-paint-" +
                    std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  os_.family = OsFamily::Windows;  // separator stays the native one, so the file is found
  os_.path_separator = static_cast<char>(std::filesystem::path::preferred_separator);
  os_.system_folders[SystemFolder::System] = dir.string();

  TSysUtils::EditWithMSPaint("C:\\pics\\a b.png");
  EXPECT_TRUE(os_.shell_starts.empty());  // no mspaint.exe: nothing

  std::ofstream(dir / "mspaint.exe") << "MZ";
  TSysUtils::EditWithMSPaint("C:\\pics\\a b.png");
  ASSERT_EQ(os_.shell_starts.size(), 1u);
  EXPECT_EQ(os_.shell_starts[0].file, (dir / "mspaint.exe").string());
  EXPECT_EQ(os_.shell_starts[0].args, "\"C:\\pics\\a b.png\"");

  // Elsewhere the desktop's own program for the file takes it.
  os_.family = OsFamily::Posix;
  TSysUtils::EditWithMSPaint("/pics/a.png");
  ASSERT_EQ(os_.shell_starts.size(), 2u);
  EXPECT_EQ(os_.shell_starts[1].file, "/pics/a.png");
  std::filesystem::remove_all(dir);
}

TEST_F(SysUtilsExtraTest, IconsTextWidthsAndKeysGoToTheUiSeam) {
  platform::Bitmap icon;
  icon.width = 2;
  icon.height = 1;
  icon.pixels = {0xFF000000, 0xFFFFFFFF};
  ui_.icons["app.exe"] = icon;
  platform::Bitmap got;
  EXPECT_TRUE(TSysUtils::ExtractExeIcon("app.exe", got));
  EXPECT_EQ(got.pixels, icon.pixels);
  platform::Bitmap untouched;
  EXPECT_FALSE(TSysUtils::ExtractExeIcon("none.exe", untouched));
  EXPECT_EQ(untouched.width, 0);

  platform::FontSpec font;
  font.pixel_size = 10;
  EXPECT_EQ(TSysUtils::TrueFontWidth(font, "abcd"), 20);
  TSysUtils::PressKey(0x41);
  EXPECT_EQ(ui_.pressed_keys, std::vector<int>{0x41});
}

TEST(KeysymOfVirtualKey, MapsWindowsKeysToX) {
  const std::pair<int, unsigned long> cases[] = {
      {0x41, 'a'},    {0x5A, 'z'},    {0x30, '0'},    {0x39, '9'},    {0x0D, 0xFF0D},
      {0x1B, 0xFF1B}, {0x20, ' '},    {0x25, 0xFF51}, {0x70, 0xFFBE}, {0x87, 0xFFD5},
      {0x60, 0xFFB0}, {0x14, 0xFFE5}, {0xA1, 0xFFE2}, {0xBA, ';'},    {0xAD, 0x1008FF12},
      {0x00, 0},      {0x07, 0},      {0xFF, 0},      {-1, 0},        {0x10000, 0},
  };
  for (const auto& [vk, keysym] : cases) EXPECT_EQ(platform::KeysymOfVirtualKey(vk), keysym) << vk;
}

// --- RemoveUTFBoomFromFile, on real files -------------------------------------------

class RemoveBomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessel-bom-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path dir_;
};

TEST_F(RemoveBomTest, RemovesExactlyTheThreeBytesOfAMark) {
  struct Case {
    std::string content;
    std::string expected;
  };
  const std::string big(3 << 20, 'x');  // spans several 1 MiB buffers
  const Case cases[] = {
      {"\xEF\xBB\xBFhello", "hello"},
      {"\xEF\xBB\xBF", ""},
      {"\xEF\xBB\xBF\xEF\xBB\xBFtwo", "\xEF\xBB\xBFtwo"},  // only the first mark
      {"abc", "abc"},
      {"\xEF\xBB\xBE rest", "\xEF\xBB\xBE rest"},
      {std::string("\xEF\xBB\xBF\0\x01", 5), std::string("\0\x01", 2)},
      {"\xEF\xBB\xBF" + big, big},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string name = "f";
    name += std::to_string(i++);
    const std::string path = Write(name, c.content);
    TSysUtils::RemoveUTFBoomFromFile(path);
    EXPECT_EQ(Read(path), c.expected) << c.content.substr(0, 16);
  }
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                          std::filesystem::directory_iterator()),
            i);
}

TEST_F(RemoveBomTest, ShortOrMissingFilesAreErrors) {
  for (const std::string content : {"", "\xEF", "\xEF\xBB"}) {
    const std::string path = Write("short", content);
    try {
      TSysUtils::RemoveUTFBoomFromFile(path);
      ADD_FAILURE() << content.size();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Stream read error");
    }
    EXPECT_EQ(Read(path), content);
  }
  EXPECT_THROW(TSysUtils::RemoveUTFBoomFromFile((dir_ / "missing").string()), std::runtime_error);
}

}  // namespace
}  // namespace tessel::shared
