// TSysUtils' own logic over the fake OS seam: separators, command lines, the
// output loop and the caption filter, for both platform families.
#include "shared/sys_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/fake/fake_os.h"

namespace tessel::shared {
namespace {

using platform::FakeOs;
using platform::OsFamily;
using platform::ScopedOs;

class SysUtilsTest : public ::testing::Test {
 protected:
  void UseWindows() {
    os_.family = OsFamily::Windows;
    os_.path_separator = '\\';
  }

  FakeOs os_;
  ScopedOs scoped_{os_};
};

TEST_F(SysUtilsTest, FolderGettersEndWithTheSeparatorAndFallBackToALoneOne) {
  struct Getter {
    const char* name;
    std::string FakeOs::*field;
    std::function<std::string()> get;
  };
  const Getter getters[] = {
      {"LocalAppData", &FakeOs::local_app_data_path, &TSysUtils::GetLocalAppDataDirPath},
      {"Desktop", &FakeOs::desktop_path, &TSysUtils::GetUserDesktopDirPath},
      {"Documents", &FakeOs::documents_path, &TSysUtils::GetUserDocumentsDirPath},
      {"Temp", &FakeOs::temp_path, &TSysUtils::GetTempDirPath},
  };
  struct Case {
    char separator;
    std::string raw;
    std::string expected;
  };
  const Case cases[] = {
      {'\\', "", "\\"},
      {'\\', "C:\\Users\\u\\AppData\\Local", "C:\\Users\\u\\AppData\\Local\\"},
      {'\\', "C:\\", "C:\\"},
      // Only the platform's own separator counts as the trailing one.
      {'\\', "C:\\odd/", "C:\\odd/\\"},
      {'/', "", "/"},
      {'/', "/home/u/.local/share", "/home/u/.local/share/"},
      {'/', "/tmp/", "/tmp/"},
      {'/', "/home/\xC3\xBC", "/home/\xC3\xBC/"},
  };
  for (const Getter& g : getters) {
    for (const Case& c : cases) {
      os_.path_separator = c.separator;
      os_.*g.field = c.raw;
      EXPECT_EQ(g.get(), c.expected) << g.name << " of '" << c.raw << "'";
      (os_.*g.field).clear();
    }
  }
}

TEST_F(SysUtilsTest, DeleteDirectoryHandsThePathOverAndReportsTheResult) {
  EXPECT_TRUE(TSysUtils::DeleteDirectory("C:\\data\\app\\"));
  os_.remove_directory_result = false;
  EXPECT_FALSE(TSysUtils::DeleteDirectory("/missing"));
  EXPECT_EQ(os_.removed_directories, (std::vector<std::string>{"C:\\data\\app\\", "/missing"}));
}

TEST_F(SysUtilsTest, DeleteDirectoryNeverHandsOnAnEmptyPath) {
  EXPECT_FALSE(TSysUtils::DeleteDirectory(""));
  EXPECT_TRUE(os_.removed_directories.empty());
}

TEST_F(SysUtilsTest, ShellExecPassesFileAndArgumentsUnchanged) {
  EXPECT_TRUE(TSysUtils::ShellExec("C:\\a b\\app.exe", "\"ID\" \"file:///x y.html\""));
  os_.shell_start_result = false;
  EXPECT_FALSE(TSysUtils::ShellExec("nothing", ""));
  ASSERT_EQ(os_.shell_starts.size(), 2u);
  EXPECT_EQ(os_.shell_starts[0].file, "C:\\a b\\app.exe");
  EXPECT_EQ(os_.shell_starts[0].args, "\"ID\" \"file:///x y.html\"");
  EXPECT_EQ(os_.shell_starts[1].args, "");
}

TEST_F(SysUtilsTest, ShellExploreOnWindowsSelectsTheQuotedPathInTheExplorer) {
  UseWindows();
  EXPECT_TRUE(TSysUtils::ShellExplore("C:\\My Files\\a b.txt"));
  ASSERT_EQ(os_.shell_starts.size(), 1u);
  EXPECT_EQ(os_.shell_starts[0].file, "explorer.exe");
  EXPECT_EQ(os_.shell_starts[0].args, "/select, \"C:\\My Files\\a b.txt\"");
  EXPECT_TRUE(os_.shown_in_folder.empty());

  os_.shell_start_result = false;
  EXPECT_FALSE(TSysUtils::ShellExplore("C:\\x"));
}

TEST_F(SysUtilsTest, ShellExploreElsewhereAsksTheFileManager) {
  EXPECT_TRUE(TSysUtils::ShellExplore("/home/u/a b.txt"));
  EXPECT_EQ(os_.shown_in_folder, (std::vector<std::string>{"/home/u/a b.txt"}));
  EXPECT_TRUE(os_.shell_starts.empty());
  os_.show_in_folder_result = false;
  EXPECT_FALSE(TSysUtils::ShellExplore("/x"));
}

TEST_F(SysUtilsTest, GetDosOutputRunsTheCommandThroughThePlatformInterpreter) {
  struct Case {
    OsFamily family;
    std::vector<std::string> argv;
  };
  const Case cases[] = {
      {OsFamily::Windows, {"cmd.exe", "/C", "dir \"C:\\a b\" & echo %PATH%"}},
      {OsFamily::Posix, {"/bin/sh", "-c", "dir \"C:\\a b\" & echo %PATH%"}},
  };
  for (const Case& c : cases) {
    os_.family = c.family;
    os_.console_starts.clear();
    TSysUtils::GetDosOutput("dir \"C:\\a b\" & echo %PATH%", "C:\\work", true);
    TSysUtils::GetDosOutput("x", "", false);
    ASSERT_EQ(os_.console_starts.size(), 2u);
    EXPECT_EQ(os_.console_starts[0].argv, c.argv);
    EXPECT_EQ(os_.console_starts[0].working_dir, "C:\\work");
    EXPECT_TRUE(os_.console_starts[0].show_window);
    EXPECT_EQ(os_.console_starts[1].working_dir, "");
    EXPECT_FALSE(os_.console_starts[1].show_window);
  }
}

TEST_F(SysUtilsTest, GetDosOutputIsEmptyWhenTheCommandCannotStart) {
  os_.console_start_fails = true;
  os_.console_output = {"never read"};
  EXPECT_EQ(TSysUtils::GetDosOutput("echo", "", false), "");
}

TEST_F(SysUtilsTest, GetDosOutputReadsEveryChunkConvertsEachAndWaitsOnce) {
  UseWindows();
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::string expected;
  };
  const std::string long_text(600, 'x');
  const Case cases[] = {
      {"nothing", {}, ""},
      {"lines", {"hello\r\n", "world\r\n"}, "hello\r\nworld\r\n"},
      {"longer than a read", {long_text}, long_text},
      // The fake's code page is Latin-1: 0xE9 is e-acute.
      {"code page", {"caf\xE9"}, "caf\xC3\xA9"},
      // A NUL ends its chunk; the next chunk counts again.
      {"NUL", {std::string("abc\0def", 7), "ghi"}, "abcghi"},
  };
  for (const Case& c : cases) {
    os_.console_output = c.chunks;
    os_.console_waits = 0;
    EXPECT_EQ(TSysUtils::GetDosOutput("cmd", "", false), c.expected) << c.name;
    EXPECT_EQ(os_.console_waits, 1) << c.name;
  }
}

TEST_F(SysUtilsTest, GetDosOutputCutsAtANulOnlyUntilTheEndOf255Bytes) {
  UseWindows();
  // One 600-byte write arrives as reads of 255, 255 and 90 bytes: the NUL
  // at 10 loses bytes 11..254, nothing after them.
  std::string out(600, 'b');
  out[10] = '\0';
  os_.console_output = {out};
  const std::string result = TSysUtils::GetDosOutput("cmd", "", false);
  EXPECT_EQ(result, std::string(10, 'b') + std::string(600 - 255, 'b'));
}

TEST_F(SysUtilsTest, GetDosOutputKeepsACharacterThatAChunkBoundarySplits) {
  // Where the seam reports unfinished characters (a UTF-8 locale), their
  // bytes wait for the next chunk instead of becoming U+FFFD twice.
  os_.ansi_is_utf8 = true;
  const std::string euro = "\xE2\x82\xAC";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::string expected;
  };
  const Case cases[] = {
      {"split by the 255-byte read",
       {std::string(254, 'a') + euro + "z"},
       std::string(254, 'a') + euro + "z"},
      {"split between writes", {"x\xE2", "\x82", "\xACy"}, "x" + euro + "y"},
      // An unfinished character at the very end is not lost but replaced.
      {"cut off at the end", {"x\xE2\x82"}, "x\xEF\xBF\xBD\xEF\xBF\xBD"},
      // After a NUL cut the next chunk does not continue the held bytes.
      {"NUL after a lead byte",
       {std::string("a\xE2\0zz", 5), "\x82\xAC"},
       "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    os_.console_output = c.chunks;
    EXPECT_EQ(TSysUtils::GetDosOutput("cmd", "", false), c.expected) << c.name;
  }
}

TEST_F(SysUtilsTest, GetWindowsCaptionsKeepsEveryCaptionThatIsNotBlankAndReplacesTheList) {
  os_.window_captions = {
      " a",          // kept with its blank
      "   ",         // only blanks
      "",            // no caption
      "\t\r\n\x1F",  // control characters count as blanks
      "Main",
      "Main",             // duplicates stay
      "\xC2\xA0",         // U+00A0 is above U+0020: kept
      "\x7F",             // so is DEL
      "  Tool window  ",  // kept untrimmed
  };
  std::vector<std::string> list = {"stale", "entries"};
  TSysUtils::GetWindowsCaptions(list);
  EXPECT_EQ(list, (std::vector<std::string>{" a", "Main", "Main", "\xC2\xA0", "\x7F",
                                            "  Tool window  "}));

  os_.window_captions.clear();
  TSysUtils::GetWindowsCaptions(list);
  EXPECT_TRUE(list.empty());
}

TEST(SysUtilsEdgeCheckTest, AMissingEmptyOrUnloadableLoaderMeansNoEngine) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("tessel-edge-check-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path empty = dir / "empty.dll";
  const std::filesystem::path full = dir / "loader.dll";
  std::ofstream(empty).close();
  std::ofstream(full) << "MZ";
  EXPECT_FALSE(TSysUtils::CheckEdgeIsInstalled((dir / "missing.dll").string()));
  EXPECT_FALSE(TSysUtils::CheckEdgeIsInstalled(empty.string()));
  EXPECT_FALSE(TSysUtils::CheckEdgeIsInstalled(dir.string()));
  EXPECT_FALSE(TSysUtils::CheckEdgeIsInstalled(full.string()));  // not a library
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessel::shared
