#include "linux_package.h"

#include <gtest/gtest.h>

#include <sstream>

#include "archive_fixtures.h"
#include "packer.h"
#include "shared/exe_utils.h"
#include "shared/program_constants.h"

namespace tessel::shared {
namespace {

namespace fs = std::filesystem;

// Exec lines are read by the desktop's own parser: a path with blanks,
// quotes or percent signs must come back as the same single argument.
TEST(LinuxPackageTest, ExecArgumentsAreQuotedAndEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"/opt/app/run", "/opt/app/run"},
      {"/home/me/My Apps/run", "\"/home/me/My Apps/run\""},
      {"/tmp/a\"b$c`d\\e", "\"/tmp/a\\\"b\\$c\\`d\\\\e\""},
      {"/tmp/100%", "/tmp/100%%"},
      {"/tmp/50% off", "\"/tmp/50%% off\""},
  };
  for (const auto& [path, argument] : cases) EXPECT_EQ(DesktopExecArgument(path), argument) << path;

  // In the entry the string escapes come on top: one backslash is four.
  TDesktopEntry entry{"Notes\nApp", "/tmp/a\\b c", "", "com.example.notes", "", ""};
  const std::string text = DesktopEntryText(entry);
  EXPECT_NE(text.find("\nName=Notes\\nApp\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=\"/tmp/a\\\\\\\\b c\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nIcon=application-x-executable\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nStartupWMClass=com.example.notes\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nCategories=Utility;\n"), std::string::npos) << text;
  entry.categories = "Office;Education";
  EXPECT_NE(DesktopEntryText(entry).find("\nCategories=Office;Education;\n"), std::string::npos);
}

TEST(LinuxPackageTest, PackageNamesAndVersionsFollowDebianRules) {
  const std::pair<std::string, std::string> names[] = {
      {"com.example.Notes", "com.example.notes"},
      {"My App_2", "my-app-2"},
      {"-.+Tool", "tool"},
      {"Zürich", "z--rich"},
  };
  for (const auto& [id, name] : names) EXPECT_EQ(DebianPackageName(id), name) << id;
  for (const char* id : {"x", "---", "é"}) {
    EXPECT_THROW(DebianPackageName(id), EPackError) << id;
  }
  for (const char* good : {"1.0", "2.1.0.4", "1.0~beta1", "3+git2"}) {
    EXPECT_NO_THROW(CheckDebianVersion(good, "ProductVersion")) << good;
  }
  for (const char* bad : {"", "v1.2", "1.0 beta", "1_0"}) {
    try {
      CheckDebianVersion(bad, "ProductVersion");
      ADD_FAILURE() << bad;
    } catch (const EPackError& e) {
      EXPECT_EQ(std::string(e.what()).find("ProductVersion '" + std::string(bad) +
                                           "' is not a Debian version"),
                0U)
          << e.what();
    }
  }
}

// Desktop entries and Debian packages are for Linux apps: a Windows runtime
// is refused with the reason, and nothing is written.
TEST(LinuxPackageTest, WindowsRuntimesAreRefused) {
  test::TempDir dir;
  const std::string app = dir.File("app");
  test::WriteBytes(app + "/vtx.ini",
                   std::string("[App]\nID=com.example.app\nName=A\nDirName=web\n"));
  test::WriteBytes(app + "/web/index.html", std::string("<!DOCTYPE html>"));
  std::vector<uint8_t> runtime = test::MakePe({{0x400, 0x200}, {0x600, 0x300}});
  const std::string mark = RuntimeImageMark();
  std::copy(mark.begin(), mark.end(), runtime.end() - 0x100);
  test::WriteBytes(dir.File("runtime.exe"), runtime);
  for (const char* option : {"--desktop", "--deb"}) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunPacker(
        {app, dir.File("out/app"), "--runtime", dir.File("runtime.exe"), option}, out, err, false);
    EXPECT_EQ(code, 1) << option;
    EXPECT_NE(err.str().find("--desktop and --deb apply to Linux runtimes; "), std::string::npos)
        << err.str();
    EXPECT_FALSE(fs::exists(Utf8ToPath(dir.File("out/app")))) << option;
    EXPECT_FALSE(fs::exists(Utf8ToPath(dir.File("out/app.desktop")))) << option;
  }
}

// An entry that cannot be written leaves what stood there as it was, and
// the app, packed in full, stays.
TEST(LinuxPackageTest, AnEntryThatCannotBeWrittenLeavesTheOldOneAndTheApp) {
  test::TempDir dir;
  const std::string app = dir.File("app");
  test::WriteBytes(app + "/vtx.ini",
                   std::string("[App]\nID=com.example.app\nName=A\nDirName=web\n"));
  test::WriteBytes(app + "/web/index.html", std::string("<!DOCTYPE html>"));
  std::vector<uint8_t> runtime = test::MakeElf({{0, 0x400}}, {});
  const std::string mark = RuntimeImageMark();
  std::copy(mark.begin(), mark.end(), runtime.end() - 0x100);
  test::WriteBytes(dir.File("runtime"), runtime);
  // A folder where the entry goes: no file can be renamed over it.
  test::WriteBytes(dir.File("out/app.desktop/kept"), std::string("old"));
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunPacker({app, dir.File("out/app"), "--runtime", dir.File("runtime"),
                              "--no-engine-module", "--desktop"},
                             out, err, false);
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.str().find("is packed, but its desktop entry is not: "), std::string::npos)
      << err.str();
  EXPECT_TRUE(fs::exists(Utf8ToPath(dir.File("out/app"))));
  EXPECT_EQ(test::ReadBytes(dir.File("out/app.desktop/kept")),
            (std::vector<uint8_t>{'o', 'l', 'd'}));
  std::vector<std::string> names;
  for (const auto& f : fs::directory_iterator(Utf8ToPath(dir.File("out")))) {
    names.push_back(PathToUtf8(f.path().filename()));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"app", "app.desktop"}));
}

}  // namespace
}  // namespace tessel::shared
