#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "runtime/exe_zip_loader.h"
#include "runtime/localized_messages.h"
#include "runtime/visual_styles.h"
#include "shared/program_constants.h"
#include "shared/relaunch_proof.h"
#include "shared/zip_writer.h"

namespace tessel::runtime {
namespace {

namespace fs = std::filesystem;

// The smallest image the attach-offset rule accepts: one PE32+ section whose
// raw data ends at 0x400.
std::string TinyPeImage() {
  std::string image(0x400, '\0');
  auto put16 = [&](size_t at, uint16_t v) {
    image[at] = static_cast<char>(v & 0xFF);
    image[at + 1] = static_cast<char>(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, static_cast<uint16_t>(v & 0xFFFF));
    put16(at + 2, static_cast<uint16_t>(v >> 16));
  };
  image[0] = 'M';
  image[1] = 'Z';
  put32(0x3C, 0x40);
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  put16(0x44 + 2, 1);        // NumberOfSections
  put16(0x44 + 16, 0xF0);    // SizeOfOptionalHeader
  put16(0x58, 0x20B);        // PE32+ magic
  put32(0x148 + 16, 0x200);  // SizeOfRawData
  put32(0x148 + 20, 0x200);  // PointerToRawData
  return image;
}

std::string Archive(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::ostringstream out;
  shared::TZipWriter writer(out, std::string(shared::kAppArchivePassword));
  for (const auto& [name, data] : entries) writer.AddEntry(name, data, {});
  writer.Finish();
  return out.str();
}

std::string Ini(const std::string& extra) {
  return "[App]\r\nID=com.example.app\r\nName=Example\r\nDirName=webapp\r\n" + extra;
}

class StartupTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tessel-startup-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    os_.executable_path = (dir_ / "app").string();
    os_.local_app_data_path = "/home/u/.local/share";
    SetLanguageCodeProvider([] { return std::string("en"); });
    StartupStages().PrepareWebViewRuntime = [this] { log_.push_back("prepare"); };
    StartupStages().RequirePassword = [this](const std::string& password, const std::string& name) {
      log_.push_back("password " + password + " " + name);
      return password_ok_;
    };
    StartupStages().RunMainWindow = [this](const std::vector<std::string>& args) {
      log_.push_back("main " + LoadedApp().Name + " args=" + std::to_string(args.size()));
    };
  }
  void TearDown() override {
    SetLanguageCodeProvider({});
    // The process keeps its archive mapped; Windows cannot delete a mapped file.
    LoadedArchive() = {};
    fs::remove_all(dir_);
  }

  void WriteExe(const std::string& attached) {
    // Unmapped first: Windows cannot rewrite a mapped file.
    LoadedArchive() = {};
    std::ofstream(os_.executable_path, std::ios::binary) << TinyPeImage() << attached;
  }
  void WriteApp(const std::string& ini) { WriteExe(Archive({{"vtx.ini", ini}})); }

  bool Ran(const std::string& what) const {
    return std::find(log_.begin(), log_.end(), what) != log_.end();
  }

  fs::path dir_;
  platform::FakeOs os_;
  platform::FakeUi ui_;
  platform::ScopedOs scoped_os_{os_};
  platform::ScopedUi scoped_ui_{ui_};
  std::vector<std::string> log_;
  bool password_ok_ = true;
};

TEST_F(StartupTest, AppStartsThroughEveryStageInOrder) {
  WriteApp(Ini("Password=s3cret\r\n"));
  EXPECT_EQ(RunTesselRuntime({}), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"prepare", "password s3cret Example",
                                            "main Example args=0"}));
  EXPECT_EQ(os_.created_directories,
            (std::vector<std::string>{"/home/u/.local/share/com.example.app/",
                                      "/home/u/.local/share/com.example.app/WebView/"}));
  EXPECT_TRUE(ui_.dialogs.empty());
  EXPECT_EQ(os_.held_instance_locks.count("com.example.app"), 1U);
}

TEST_F(StartupTest, LoadedAppHoldsIdentityAndFoldersWhenTheWindowOpens) {
  WriteApp(Ini("IndexHtml=start.html\r\n"));
  os_.family = platform::OsFamily::Windows;
  os_.path_separator = '\\';
  os_.local_app_data_path = "C:\\Users\\u\\AppData\\Local";
  TLoadedApp seen;
  StartupStages().RunMainWindow = [&](const std::vector<std::string>&) {
    const TLoadedApp& app = LoadedApp();
    seen.ID = app.ID;
    seen.DirName = app.DirName;
    seen.IndexHtml = app.IndexHtml;
    seen.DataDirPath = app.DataDirPath;
    seen.WebViewDirPath = app.WebViewDirPath;
    EXPECT_EQ(app.ExeZip->FindFile("VTX.INI"), 0);
  };
  RunTesselRuntime({});
  EXPECT_EQ(seen.ID, "com.example.app");
  EXPECT_EQ(seen.DirName, "webapp");
  EXPECT_EQ(seen.IndexHtml, "start.html");
  EXPECT_EQ(seen.DataDirPath, "C:\\Users\\u\\AppData\\Local\\com.example.app\\");
  EXPECT_EQ(seen.WebViewDirPath, "C:\\Users\\u\\AppData\\Local\\com.example.app\\Win64\\");
  EXPECT_TRUE(LoadedApp().ID.empty()) << "released at exit";
}

TEST_F(StartupTest, NoOrUnreadableArchiveShowsMessageFiveAndEnds) {
  for (const std::string& attached : {std::string(), std::string("not a zip archive at all")}) {
    SCOPED_TRACE(attached);
    ui_.dialogs.clear();
    log_.clear();
    WriteExe(attached);
    EXPECT_EQ(RunTesselRuntime({}), 0);
    ASSERT_EQ(ui_.dialogs.size(), 1U);
    EXPECT_EQ(ui_.dialogs[0].text,
              os_.family == platform::OsFamily::Windows
                  ? "This is not a valid Windows application."
                  : "This application is damaged: its app archive is missing or cannot be read.");
    EXPECT_EQ(ui_.dialogs[0].title, "Error");
    EXPECT_EQ(ui_.dialogs[0].type, platform::DialogType::Error);
    EXPECT_TRUE(log_.empty());
  }
}

TEST_F(StartupTest, IncompleteOrUnsafeIdentityEndsSilentlyWithoutFolders) {
  const std::string cases[] = {
      "[App]\nName=Example\nDirName=webapp\n",          // no ID
      "[App]\nID=x\nName=\nDirName=webapp\n",           // empty Name
      "[App]\nID=x\nName=Example\n",                    // no DirName
      "[Other]\nID=x\nName=Example\nDirName=webapp\n",  // wrong section
      "[App]\nID=../escape\nName=Example\nDirName=webapp\n",
      "[App]\nID=..\nName=Example\nDirName=webapp\n",
      "[App]\nID=a\\b\nName=Example\nDirName=webapp\n",
      "[App]\nID=con:\nName=Example\nDirName=webapp\n",
      "[App]\nID=trailing.\nName=Example\nDirName=webapp\n",
  };
  for (const std::string& ini : cases) {
    SCOPED_TRACE(ini);
    WriteApp(ini);
    EXPECT_EQ(RunTesselRuntime({}), 0);
    EXPECT_TRUE(log_.empty());
    EXPECT_TRUE(ui_.dialogs.empty());
    EXPECT_TRUE(os_.created_directories.empty());
  }
  WriteExe(Archive({{"other.txt", "no settings here"}}));
  EXPECT_EQ(RunTesselRuntime({}), 0);
  EXPECT_TRUE(log_.empty());
}

TEST_F(StartupTest, WrongPasswordEndsBeforeTheWindow) {
  WriteApp(Ini("Password=s3cret\r\n"));
  password_ok_ = false;
  EXPECT_EQ(RunTesselRuntime({}), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"prepare", "password s3cret Example"}));
  EXPECT_TRUE(os_.held_instance_locks.empty()) << "the lock comes after start-up";
}

// A relaunch is the relaunch command line with the token its starter left in
// the data folder; the command line alone is a start by hand: asked for the
// password, held back by the lock, shown the start page.
TEST_F(StartupTest, OnlyARelaunchWithItsTokenSkipsThePromptAndPassesTheLock) {
  enum class Token { kNone, kIssued, kWrong, kUsed };
  const struct {
    const char* name;
    std::vector<std::string> args;
    Token token;
    bool relaunched;
  } cases[] = {
      {"relaunch with its token", {"com.example.app", "file:///b.html"}, Token::kIssued, true},
      {"relaunch command line by hand", {"com.example.app", "file:///b.html"}, Token::kNone, false},
      {"a token of no issue", {"com.example.app", "file:///b.html"}, Token::kWrong, false},
      {"a token used before", {"com.example.app", "file:///b.html"}, Token::kUsed, false},
      {"ID in other case", {"COM.EXAMPLE.APP", "file:///b.html"}, Token::kIssued, false},
      {"ID alone", {"com.example.app"}, Token::kIssued, false},
      {"three arguments", {"com.example.app", "file:///b.html", "x"}, Token::kIssued, false},
      {"no arguments", {}, Token::kIssued, false},
  };
  const fs::path data = dir_ / "data";
  fs::create_directories(data / "com.example.app");
  os_.local_app_data_path = data.string();
  const std::string data_dir = (data / "com.example.app").string() + '/';
  const std::string variable(shared::kRelaunchTokenVariable);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteApp(Ini("Password=s3cret\r\n"));
    os_.held_instance_locks = {"com.example.app"};
    os_.environment.clear();
    log_.clear();
    std::optional<std::string> token;
    if (c.token != Token::kNone) token = shared::IssueRelaunchToken(data_dir);
    if (c.token == Token::kWrong) token->back() = token->back() == '0' ? '1' : '0';
    if (c.token == Token::kUsed) shared::ConsumeRelaunchToken(data_dir, *token);
    if (token) os_.environment[variable] = *token;
    bool relaunched = false;
    StartupStages().RunMainWindow = [&](const std::vector<std::string>& args) {
      relaunched = LoadedApp().Relaunched;
      log_.push_back("main " + LoadedApp().Name + " args=" + std::to_string(args.size()));
    };
    EXPECT_EQ(RunTesselRuntime(c.args), 0);
    const std::vector<std::string> expected =
        c.relaunched ? std::vector<std::string>{"prepare", "main Example args=2"}
                     : std::vector<std::string>{"prepare", "password s3cret Example"};
    EXPECT_EQ(log_, expected) << "a start by hand is asked, then the lock ends it";
    EXPECT_EQ(relaunched, c.relaunched);
    EXPECT_FALSE(os_.environment.contains(variable)) << "taken before anything starts";
    EXPECT_TRUE(fs::is_empty(data / "com.example.app")) << "every token is consumed";
  }
}

struct InstanceCase {
  const char* name;
  std::string extra_ini;
  std::vector<std::string> args;
  bool main_window;
};

TEST_F(StartupTest, SingleInstanceRuleAppliesAfterStartup) {
  const InstanceCase cases[] = {
      {"second plain start ends", "", {}, false},
      {"relaunch command line without its token ends",
       "",
       {"com.example.app", "file:///b.html"},
       false},
      {"AllowInstances lets it run", "AllowInstances=1\r\n", {}, true},
  };
  for (const InstanceCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteApp(Ini(c.extra_ini));
    os_.held_instance_locks = {"com.example.app"};
    log_.clear();
    EXPECT_EQ(RunTesselRuntime(c.args), 0);
    EXPECT_TRUE(Ran("prepare")) << "start-up runs whole before the rule";
    EXPECT_EQ(std::any_of(log_.begin(), log_.end(),
                          [](const std::string& s) { return s.rfind("main", 0) == 0; }),
              c.main_window);
  }
}

// An app folder run live: written under the test's folder as `folder`.
struct AppFolderCase {
  const char* name;
  const char* ini;  // null: no vtx.ini
  bool web_folder;
  int exit_code;
  const char* said;  // the one line on stderr, or what it contains
};

TEST_F(StartupTest, AppFolderRunsLiveOrSaysWhyNot) {
  const AppFolderCase cases[] = {
      {"no vtx.ini", nullptr, true, 1, "is not an app folder: it has no vtx.ini"},
      {"no Name", "[App]\r\nID=a\r\nDirName=webapp\r\n", true, 1, "vtx.ini has no Name in [App]"},
      {"no DirName folder", "", false, 1, "has no folder 'webapp' (DirName in vtx.ini)"},
      {"unusable ID", "[App]\r\nID=a:b\r\nName=N\r\nDirName=webapp\r\n", true, 1,
       "cannot name a folder"},
      {"password, lock held: neither applies", "Password=s3cret\r\n", true, 0, ""},
  };
#ifdef _WIN32
  // The folder is a real one: its path follows the system's rules.
  os_.family = platform::OsFamily::Windows;
  os_.path_separator = '\\';
#endif
  for (const AppFolderCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteExe("");
    const fs::path folder = dir_ / "folder";
    fs::remove_all(folder);
    fs::create_directories(folder);
    if (c.web_folder) fs::create_directories(folder / "webapp");
    if (c.ini != nullptr) {
      const std::string ini = std::string(c.ini).starts_with("[App]") ? c.ini : Ini(c.ini);
      std::ofstream(folder / "vtx.ini", std::ios::binary) << ini;
    }
    os_.held_instance_locks = {"com.example.app"};
    log_.clear();
    std::string seen_folder;
    StartupStages().RunMainWindow = [&](const std::vector<std::string>& args) {
      seen_folder = LoadedApp().AppFolder;
      log_.push_back("main " + LoadedApp().Name + " args=" + std::to_string(args.size()));
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunTesselRuntime({"--app-folder", folder.string(), "com.example.app", "x"}),
              c.exit_code);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ui_.dialogs.empty());
    if (c.exit_code == 0) {
      EXPECT_EQ(log_, (std::vector<std::string>{"prepare", "main Example args=2"}));
      EXPECT_EQ(seen_folder, folder.string() + os_.path_separator);
      EXPECT_TRUE(said.empty()) << said;
    } else {
      EXPECT_TRUE(log_.empty());
      EXPECT_NE(said.find(c.said), std::string::npos) << said;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
  }
}

TEST_F(StartupTest, PackagedAppIgnoresTheAppFolderArgument) {
  WriteApp(Ini(""));
  const fs::path folder = dir_ / "other";
  fs::create_directories(folder / "webapp");
  std::ofstream(folder / "vtx.ini") << "[App]\r\nID=other\r\nName=Other\r\nDirName=webapp\r\n";
  EXPECT_EQ(RunTesselRuntime({"--app-folder", folder.string()}), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"prepare", "main Example args=2"}));
}

TEST_F(StartupTest, ThemeNamesAStyleKeepsThePlatformLookOrComplains) {
  struct ThemeCase {
    const char* theme_line;
    const char* applied;  // empty: none
    const char* complaint;
  };
  const ThemeCase cases[] = {
      {"", "", ""},
      {"Theme=Windows\r\n", "", ""},
      {"Theme=carbon\r\n", "Carbon", ""},
      {"Theme=WINDOWS10 slategray\r\n", "Windows10 SlateGray", ""},
      {"Theme=windows\r\n", "", "Style 'windows' not found"},
      {"Theme=Carbn\r\n", "", "Style 'Carbn' not found"},
  };
  for (const ThemeCase& c : cases) {
    SCOPED_TRACE(c.theme_line);
    ui_.styles.clear();
    ui_.error_boxes.clear();
    os_.held_instance_locks.clear();
    log_.clear();
    WriteApp(Ini(c.theme_line));
    RunTesselRuntime({});
    EXPECT_EQ(ui_.styles, std::string(c.applied).empty() ? std::vector<std::string>{}
                                                         : std::vector<std::string>{c.applied});
    if (std::string(c.complaint).empty()) {
      EXPECT_TRUE(ui_.error_boxes.empty());
    } else {
      ASSERT_EQ(ui_.error_boxes.size(), 1U);
      EXPECT_EQ(ui_.error_boxes[0].text, c.complaint);
    }
    EXPECT_TRUE(Ran("main Example args=0")) << "start-up goes on";
  }
  EXPECT_EQ(VisualStyleNames().size(), 39U);
}

}  // namespace
}  // namespace tessel::runtime
