#include "tessel_cli.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "archive_fixtures.h"
#include "packer.h"
#include "platform/fake/fake_os.h"
#include "shared/app_rules.h"
#include "shared/program_constants.h"
#include "shared/settings.h"

namespace tessel::shared {
namespace {

namespace fs = std::filesystem;

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun Tessel(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunTessel(args, out, err, false);
  return {code, out.str(), err.str()};
}

size_t Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = test::ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& f : fs::recursive_directory_iterator(Utf8ToPath(dir))) {
    if (f.is_regular_file()) {
      names.push_back(PathToUtf8(f.path().lexically_relative(Utf8ToPath(dir)).generic_u8string()));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class TesselCliTest : public ::testing::Test {
 public:
  // A Linux runtime image with the runtime's mark and an engine module where
  // the packer looks for one.
  std::string LinuxRuntime() {
    std::vector<uint8_t> image = test::MakeElf({{0, 0x400}}, {});
    const std::string mark = RuntimeImageMark();
    std::copy(mark.begin(), mark.end(), image.end() - 0x100);
    std::string runtime = dir_.File("bin/tessel-runtime");
    test::WriteBytes(runtime, image);
    test::WriteBytes(dir_.File("lib/libtessel-engine-webkit.so"), std::string("module"));
    return runtime;
  }

  test::TempDir dir_;
};

// What `tessel new` makes packs as it is, with no warning, and leaves out
// what is only for editors and the packer.
TEST_F(TesselCliTest, NewAppFolderPacksWithoutWarnings) {
  const std::string app = dir_.File("apps/My Notes");
  const CliRun made = Tessel({"new", app});
  ASSERT_EQ(made.code, 0) << made.err;
  EXPECT_EQ(made.err, "");
  EXPECT_NE(made.out.find("tessel dev \"" + app + "\""), std::string::npos) << made.out;
  EXPECT_NE(made.out.find("tessel pack \"" + app + "\""), std::string::npos) << made.out;
  EXPECT_EQ(FilesBelow(app),
            (std::vector<std::string>{".tesselignore", "app.ico", "vtx.ini", "webapp/app.js",
                                      "webapp/icon.png", "webapp/index.html", "webapp/style.css",
                                      "webapp/vtx.d.ts"}));

  TSettings settings;
  settings.LoadFromBytes(ReadText(app + "/vtx.ini"));
  EXPECT_EQ(settings.ReadString("App", "ID", ""), "My Notes");
  EXPECT_EQ(settings.ReadString("App", "Name", ""), "My Notes");
  EXPECT_EQ(settings.ReadString("App", "DirName", ""), "webapp");
  EXPECT_EQ(settings.ReadString("Package", "Icon", ""), "app.ico");
  EXPECT_EQ(ReadText(app + "/webapp/vtx.d.ts"), ReadText(TESSEL_SOURCE_DIR "/resources/vtx.d.ts"));
  EXPECT_EQ(ReadText(app + "/app.ico"), ReadText(TESSEL_SOURCE_DIR "/resources/tessel.ico"));
  EXPECT_TRUE(ReadText(app + "/webapp/icon.png").starts_with("\x89PNG\r\n\x1A\n"));
  const std::string script = ReadText(app + "/webapp/app.js");
  EXPECT_NE(script.find("/// <reference path=\"vtx.d.ts\" />"), std::string::npos);
  EXPECT_NE(script.find("vtx."), std::string::npos);
  EXPECT_NE(ReadText(app + "/webapp/index.html").find("<title>My Notes</title>"),
            std::string::npos);

  const std::string output = dir_.File("dist/notes");
  const CliRun dry = Tessel({"pack", app, output, "--runtime", LinuxRuntime(), "--dry-run"});
  ASSERT_EQ(dry.code, 0) << dry.err;
  EXPECT_EQ(dry.err, "");
  EXPECT_NE(dry.out.find("webapp/index.html 7"), std::string::npos) << dry.out;
  for (const char* left :
       {"left out: .tesselignore", "left out: app.ico", "left out: webapp/vtx.d.ts"}) {
    EXPECT_NE(dry.out.find(left), std::string::npos) << dry.out;
  }
  EXPECT_NE(dry.out.find("dry run: 6 files"), std::string::npos) << dry.out;
  EXPECT_FALSE(fs::exists(Utf8ToPath(dir_.File("dist"))));
}

TEST_F(TesselCliTest, NewMakesAUsableIdAndNeverWritesIntoAFullFolder) {
  // A name the runtime could not use as ID, and non-ASCII text, which
  // needs the byte-order mark to be read as UTF-8 on Windows.
  const std::string app = dir_.File("Caf\xC3\xA9: notes.");
  ASSERT_EQ(Tessel({"new", app}).code, 0);
  const std::string ini = ReadText(app + "/vtx.ini");
  EXPECT_TRUE(ini.starts_with("\xEF\xBB\xBF")) << ini;
  TSettings settings;
  settings.LoadFromBytes(ini);
  EXPECT_EQ(settings.ReadString("App", "ID", ""), "Caf\xC3\xA9- notes");
  EXPECT_EQ(AppIdProblem(settings.ReadString("App", "ID", "")), std::nullopt);
  EXPECT_EQ(settings.ReadString("App", "Name", ""), "Caf\xC3\xA9: notes.");

  fs::create_directories(Utf8ToPath(dir_.File("empty")));
  EXPECT_EQ(Tessel({"new", dir_.File("empty")}).code, 0);

  test::WriteBytes(dir_.File("full/notes.txt"), std::string("mine"));
  test::WriteBytes(dir_.File("a-file"), std::string("mine"));
  for (const auto& [dir, message] :
       {std::pair{dir_.File("full"), "is not empty"},
        std::pair{dir_.File("a-file"), "exists and is not a folder"}}) {
    const CliRun refused = Tessel({"new", dir});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    EXPECT_EQ(Lines(refused.err), 1u) << refused.err;
  }
  EXPECT_EQ(FilesBelow(dir_.File("full")), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(ReadText(dir_.File("a-file")), "mine");
}

TEST_F(TesselCliTest, DevRefusesWhatIsNoAppFolderInOneLine) {
  const std::string app = dir_.File("app");
  const auto write = [&](const std::string& ini) {
    test::WriteBytes(app + "/vtx.ini", ini);
    fs::create_directories(Utf8ToPath(app + "/web"));
  };
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { fs::remove_all(Utf8ToPath(app)); }, "app folder '" + app + "' not found"},
      {[&] { fs::create_directories(Utf8ToPath(app)); }, "missing vtx.ini"},
      {[&] { write("[App]\nName=b\nDirName=web\n"); }, "vtx.ini has no ID in section [App]"},
      {[&] { write("[App]\nID=a\nDirName=web\n"); }, "vtx.ini has no Name"},
      {[&] { write("[App]\nID=a\nName=b\n"); }, "vtx.ini has no DirName"},
      {[&] { write("[App]\nID=a:b\nName=b\nDirName=web\n"); }, "':' is not allowed"},
      {[&] { write("[App]\nID=a\nName=b\nDirName=site\n"); },
       "the DirName folder 'site' is missing"},
      {[&] { write("[App]\nID=a\nName=b\nDirName=web/\n"); }, "write 'web'"},
  };
  for (const auto& [arrange, message] : cases) {
    SCOPED_TRACE(message);
    fs::remove_all(Utf8ToPath(app));
    arrange();
    const CliRun run = Tessel({"dev", app, "--runtime", dir_.File("no-runtime")});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.starts_with("tessel: error: ")) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
  }
  write("[App]\nID=a\nName=b\nDirName=web\n");
  const CliRun no_runtime = Tessel({"dev", app, "--runtime", dir_.File("no-runtime")});
  EXPECT_EQ(no_runtime.code, 1);
  EXPECT_NE(no_runtime.err.find("not found"), std::string::npos) << no_runtime.err;
}

#ifndef _WIN32
// The runtime beside tessel gets the folder's absolute path and its exit
// code comes back; a stand-in script plays the runtime.
TEST_F(TesselCliTest, DevStartsTheRuntimeBesideTesselAndPassesItsExitCode) {
  const std::string app = dir_.File("app");
  ASSERT_EQ(Tessel({"new", app}).code, 0);
  auto os = platform::MakeFakeOs();
  os->executable_path = dir_.File("bin/tessel");
  platform::ScopedOs scoped(*os);
  const std::string runtime = dir_.File("bin/tessel-runtime");
  test::WriteBytes(runtime,
                   "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + dir_.File("args") + "\"\nexit 7\n");
  fs::permissions(Utf8ToPath(runtime), fs::perms::owner_all);

  const fs::path cwd = fs::current_path();
  fs::current_path(dir_.path());
  const CliRun run = Tessel({"dev", "app/"});
  fs::current_path(cwd);
  EXPECT_EQ(run.code, 7) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadText(dir_.File("args")), "--app-folder\n" + app + "\n");

  // Not a program the system can start.
  test::WriteBytes(runtime, std::string("not a program"));
  const CliRun broken = Tessel({"dev", app});
  EXPECT_EQ(broken.code, 1);
  EXPECT_NE(broken.err.find("cannot start"), std::string::npos) << broken.err;
}
#else
TEST(TesselCli, RunProgramPassesTheExitCode) {
  const char* root = std::getenv("SystemRoot");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(RunProgram(std::string(root) + "\\system32\\cmd.exe", {"/c", "exit 7"}), 7);
  EXPECT_THROW(RunProgram(std::string(root) + "\\no-such-program.exe", {}), EPackError);
}
#endif

TEST(TesselCli, UsageHelpAndVersion) {
  const std::vector<std::vector<std::string>> usage_errors = {
      {},
      {"frobnicate"},
      {"new"},
      {"new", "a", "b"},
      {"dev"},
      {"dev", "a", "--x"},
      {"dev", "a", "--runtime"},
      {"pack"},
      {"pack", "a"},
      {"list"},
      {"help", "frobnicate"},
  };
  for (const auto& args : usage_errors) {
    SCOPED_TRACE(testing::PrintToString(args));
    const CliRun run = Tessel(args);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find("usage: tessel"), std::string::npos) << run.err;
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{"help"},
                                               {"--help"},
                                               {"help", "pack"},
                                               {"new", "--help"},
                                               {"dev", "--help"},
                                               {"list", "--help"},
                                               {"pack", "--help"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    const CliRun run = Tessel(args);
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.out.starts_with("usage: tessel")) << run.out;
  }
  EXPECT_NE(Tessel({"pack", "--help"}).out.find("--dry-run"), std::string::npos);
  EXPECT_EQ(Tessel({"--version"}).out, "tessel " + std::string(ToolsVersion()) + "\n");
  const CliRun list = Tessel({"list", "/nonexistent/app"});
  EXPECT_EQ(list.code, 1);
  EXPECT_EQ(list.err, "tessel: error: '/nonexistent/app' not found\n");
}

}  // namespace
}  // namespace tessel::shared
