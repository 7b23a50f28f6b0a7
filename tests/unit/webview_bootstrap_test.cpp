// The web view runtime bootstrap over the fake OS, UI and start-up UI, with
// real files in a temporary per-user data folder: every outcome, the files
// and folders left behind, and the exit codes.
#include "runtime/webview_bootstrap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "platform/fake/fake_ui_startup.h"
#include "runtime/exe_zip_loader.h"
#include "runtime/process_exit.h"
#include "shared/edge_ex.h"
#include "shared/program_constants.h"
#include "shared/sys_utils.h"
#include "shared/zip_writer.h"

namespace tessel::runtime {
namespace {

namespace fs = std::filesystem;
using platform::DialogButton;
using platform::DialogType;
using platform::ScriptedAction;

constexpr char kId[] = "com.example.app";
// The catalogue's texts as the system under test words them.
bool OnWindows() { return platform::CurrentOs().Family() == platform::OsFamily::Windows; }
std::string Msg6() {
  return OnWindows() ? "The Microsoft WebView2 runtime is required to run this application. This "
                       "application cannot continue and will be closed now."
                     : "WebKitGTK 4.1 is required to run this application (on Debian and Ubuntu, "
                       "the package libwebkit2gtk-4.1-0). This application cannot continue and "
                       "will be closed now.";
}
std::string Msg7() {
  return OnWindows() ? "The Microsoft WebView2 runtime is required to run this application. Do "
                       "you want to install it now?"
                     : "WebKitGTK 4.1 is required to run this application (on Debian and Ubuntu, "
                       "the package libwebkit2gtk-4.1-0). Do you want to install it now?";
}
constexpr char kMsg8[] = "This application cannot continue and will be closed now.";
std::string Msg9() {
  return OnWindows() ? "You cancel the installation of Microsoft WebView2 runtime, This "
                       "application cannot continue and will be closed now."
                     : "WebKitGTK 4.1 was not installed (on Debian and Ubuntu, the package "
                       "libwebkit2gtk-4.1-0). This application cannot continue and will be "
                       "closed now.";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Deletes for real what the code asks to delete, so the test sees the folders
// that remain.
class DeletingOs : public platform::FakeOs {
 public:
  bool RemoveDirectoryTree(const std::string& path) override {
    FakeOs::RemoveDirectoryTree(path);
    std::error_code ec;
    return fs::remove_all(path, ec) > 0 && !ec;
  }
};

// Records, for each message dialog, whether the splash was on screen.
class ObservingUi : public platform::FakeUi {
 public:
  explicit ObservingUi(const platform::FakeStartupUi& startup) : startup_(startup) {}
  int MessageDialog(const std::string& text, DialogType type,
                    const std::vector<DialogButton>& buttons,
                    const std::vector<std::string>& captions, const std::string& title) override {
    splash_under_dialog.push_back(startup_.AnySplashVisible());
    return FakeUi::MessageDialog(text, type, buttons, captions, title);
  }
  std::vector<bool> splash_under_dialog;

 private:
  const platform::FakeStartupUi& startup_;
};

class StubLoader : public platform::EngineLoader {
 public:
  explicit StubLoader(std::string version) : version_(std::move(version)) {}
  platform::HRESULT CreateCoreWebView2Environment(
      platform::CreateEnvironmentCompletedHandler /*completed*/) override {
    return platform::kENotImpl;
  }
  platform::HRESULT GetCoreWebView2BrowserVersionString(std::string* version) override {
    *version = version_;
    return version_.empty() ? platform::kEFileNotFound : platform::kSOk;
  }

 private:
  std::string version_;
};

class BootstrapTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tessel-bootstrap-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    data_ = root_ / "data";
    fs::create_directories(data_);
    fs::create_directories(root_ / "bin");
    // The platform's own conventions, so that the paths are real ones here.
    const std::unique_ptr<platform::Os> native = platform::MakeNativeOs();
    os_.family = native->Family();
    os_.path_separator = native->PathSeparator();
    files_ = EngineFilesFor(os_.family);
    loader_name_ = files_.LoaderFileName;
    installer_name_ = files_.InstallerFileName;
    os_.local_app_data_path = data_.string();
    os_.executable_path = (root_ / "bin" / "app").string();
    // A file whose text begins with "engine" is an engine library; it reports
    // a version once the engine is installed. Anything else does not load.
    shared::SetEdgeCheckLibraryOpener(
        [this](const std::string& path, std::shared_ptr<platform::EngineLoader>* loader) {
          checks_.push_back({path, os_.GetEnv("WEBVIEW2_USER_DATA_FOLDER")});
          if (ReadFile(path).rfind("engine", 0) != 0) return platform::kEFail;
          *loader = std::make_shared<StubLoader>(engine_installed_ ? "2.42.1" : "");
          return platform::kSOk;
        });
  }

  void TearDown() override {
    shared::SetEdgeCheckLibraryOpener({});
    shared::SetLoaderLibraryPath("");
    ReleaseLoadedApp();
    fs::remove_all(root_);
  }

  // Start-up's state for an app carrying `entries` besides its settings.
  void LoadApp(const std::string& ini_extra,
               const std::vector<std::pair<std::string, std::string>>& entries) {
    std::ostringstream out;
    shared::TZipWriter writer(out, std::string(shared::kAppArchivePassword));
    const std::string ini =
        std::string("[App]\r\nID=") + kId + "\r\nName=Example\r\nDirName=webapp\r\n" + ini_extra;
    writer.AddEntry("vtx.ini", ini, {});
    for (const auto& [name, data] : entries) writer.AddEntry(name, data, {});
    writer.Finish();
    const std::string bytes = out.str();
    TLoadedApp& app = LoadedApp();
    app.ExeZip.reset();  // it reads the old bytes until then
    archive_.assign(bytes.begin(), bytes.end());
    app.ExeZip = std::make_unique<shared::TExeZip>();
    app.ExeZip->SetPassword(std::string(shared::kAppArchivePassword));
    app.ExeZip->SetStream(archive_);
    app.ProjectINI = std::make_unique<shared::TSettings>();
    app.ProjectINI->LoadFromText(ini);
    app.ID = kId;
    app.Name = "Example";
    app.DirName = "webapp";
    app.DataDirPath = (app_dir() / "").string();
    app.WebViewDirPath = (app_dir() / "WebView" / "").string();
    fs::create_directories(app.WebViewDirPath);
  }

  // The exit code the bootstrap ended the process with, or -1 when it
  // returned.
  int Run() {
    try {
      PrepareWebViewRuntime();
    } catch (const EProcessExit& e) {
      return e.exit_code;
    }
    return -1;
  }

  fs::path app_dir() const { return data_ / kId; }
  fs::path loader_file() const { return app_dir() / "WebView" / loader_name_; }
  fs::path installer_file() const { return app_dir() / installer_name_; }

  struct Check {
    std::string path;
    std::string user_data_folder;  // as the environment held it then
  };

  fs::path root_;
  fs::path data_;
  TEngineFiles files_;
  std::string loader_name_;
  std::string installer_name_;
  std::vector<uint8_t> archive_;
  DeletingOs os_;
  platform::FakeStartupUi startup_;
  ObservingUi ui_{startup_};
  platform::ScopedOs scoped_os_{os_};
  platform::ScopedUi scoped_ui_{ui_};
  platform::ScopedStartupUi scoped_startup_{startup_};
  bool engine_installed_ = false;
  std::vector<Check> checks_;
};

TEST_F(BootstrapTest, EnginePresentPlacesTheLoaderSetsTheEnvironmentAndReturns) {
  LoadApp("", {{loader_name_, "engine module"}});
  os_.environment["WEBVIEW2_BROWSER_EXECUTABLE_FOLDER"] = "/opt/other";
  os_.environment["WEBVIEW2_RELEASE_CHANNEL_PREFERENCE"] = "1";
  engine_installed_ = true;

  EXPECT_EQ(Run(), -1);

  EXPECT_EQ(ReadFile(loader_file()), "engine module");
  EXPECT_EQ(shared::LoaderLibraryPath(), loader_file().string());
  const std::string web_view_dir = LoadedApp().WebViewDirPath;
  EXPECT_EQ(os_.GetEnv("WEBVIEW2_USER_DATA_FOLDER"), web_view_dir);
  EXPECT_EQ(os_.GetEnv("WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS"), "--disable-logging");
  EXPECT_EQ(os_.environment.count("WEBVIEW2_BROWSER_EXECUTABLE_FOLDER"), 0U);
  EXPECT_EQ(os_.environment.count("WEBVIEW2_RELEASE_CHANNEL_PREFERENCE"), 0U);
  // One check, of the placed loader, with the environment already set.
  ASSERT_EQ(checks_.size(), 1U);
  EXPECT_EQ(checks_[0].path, loader_file().string());
  EXPECT_EQ(checks_[0].user_data_folder, web_view_dir);
  EXPECT_TRUE(ui_.dialogs.empty());
  EXPECT_TRUE(startup_.splashes.empty());
  EXPECT_TRUE(fs::exists(app_dir()));
}

TEST_F(BootstrapTest, ALoaderAlreadyPresentIsUsedUnlessItIsEmpty) {
  struct Case {
    const char* present;
    const char* expected;
  };
  for (const Case& c : {Case{"engine v1", "engine v1"}, Case{"", "engine v2"}}) {
    SCOPED_TRACE(c.present);
    LoadApp("", {{loader_name_, "engine v2"}});
    WriteFile(loader_file(), c.present);
    engine_installed_ = true;
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(ReadFile(loader_file()), c.expected);
    EXPECT_FALSE(fs::exists(loader_file().string() + ".part"));
    fs::remove_all(app_dir());
  }
}

TEST_F(BootstrapTest, WithoutALoaderEntryTheModuleInstalledBesideTheRuntimeIsUsedInPlace) {
  if (os_.family != platform::OsFamily::Posix) GTEST_SKIP() << "Linux only";
  LoadApp("", {});
  const fs::path installed = root_ / "bin" / loader_name_;
  WriteFile(installed, "engine beside the runtime");
  engine_installed_ = true;

  EXPECT_EQ(Run(), -1);

  EXPECT_EQ(shared::LoaderLibraryPath(), installed.string());
  EXPECT_FALSE(fs::exists(loader_file()));
}

TEST_F(BootstrapTest, OnWindowsAnAbsentLoaderEntryLeavesNoEmptyFileBehind) {
  os_.family = platform::OsFamily::Windows;  // its names and rules, this system's paths
  LoadApp("EdgeInstaller=0\r\n", {});
  engine_installed_ = true;

  EXPECT_EQ(Run(), 0);

  const fs::path windows_loader = app_dir() / "WebView" / "WebView2LoaderWin64.dll";
  EXPECT_EQ(shared::LoaderLibraryPath(), windows_loader.string());
  EXPECT_FALSE(fs::exists(windows_loader));
  ASSERT_EQ(ui_.dialogs.size(), 1U);
  EXPECT_EQ(ui_.dialogs[0].text, Msg6());
}

TEST_F(BootstrapTest, EngineMissingAndInstallationOffShowsMessage6AndKeepsTheFolder) {
  LoadApp("EdgeInstaller=0\r\n",
          {{loader_name_, "not a library"}, {installer_name_, "#!/bin/sh\n"}});

  EXPECT_EQ(Run(), 0);

  ASSERT_EQ(ui_.dialogs.size(), 1U);
  const platform::ShownDialog& d = ui_.dialogs[0];
  EXPECT_EQ(d.text, Msg6());
  EXPECT_EQ(d.type, DialogType::Error);
  EXPECT_EQ(d.title, "Error");
  EXPECT_EQ(d.buttons, std::vector<DialogButton>{DialogButton::Yes});
  EXPECT_EQ(d.captions, std::vector<std::string>{"Accept"});
  EXPECT_EQ(ReadFile(loader_file()), "not a library");
  EXPECT_FALSE(fs::exists(installer_file()));
  EXPECT_TRUE(startup_.splashes.empty());
  EXPECT_TRUE(startup_.run_as_admin_calls.empty());
  EXPECT_TRUE(os_.removed_directories.empty());
}

TEST_F(BootstrapTest, DecliningDeletesOnlyTheAppDataFolderAndShowsMessage8) {
  for (const ScriptedAction& action :
       {ScriptedAction::Escape(), ScriptedAction::Click(1), ScriptedAction::CloseBox()}) {
    SCOPED_TRACE(static_cast<int>(action.action));
    LoadApp("", {{loader_name_, "engine module"}, {installer_name_, "#!/bin/sh\n"}});
    fs::create_directories(data_ / "com.example.other");
    WriteFile(app_dir() / "WebView" / "cookies", "user data");
    ui_.dialogs.clear();
    ui_.actions = {action};

    EXPECT_EQ(Run(), 0);

    ASSERT_EQ(ui_.dialogs.size(), 2U);
    const platform::ShownDialog& question = ui_.dialogs[0];
    EXPECT_EQ(question.text, Msg7());
    EXPECT_EQ(question.type, DialogType::Confirmation);
    EXPECT_EQ(question.title, "Confirm");
    EXPECT_EQ(question.buttons,
              (std::vector<DialogButton>{DialogButton::Yes, DialogButton::Cancel}));
    EXPECT_EQ(question.captions, (std::vector<std::string>{"Accept", "Cancel"}));
    EXPECT_EQ(ui_.dialogs[1].text, kMsg8);
    EXPECT_EQ(ui_.dialogs[1].title, "Error");
    EXPECT_FALSE(fs::exists(app_dir()));
    EXPECT_TRUE(fs::exists(data_ / "com.example.other"));
    EXPECT_TRUE(startup_.run_as_admin_calls.empty());
    EXPECT_TRUE(startup_.splashes.empty());
  }
}

TEST_F(BootstrapTest, ASuccessfulInstallationRestartsTheAppWithoutArguments) {
  for (const ScriptedAction& action : {ScriptedAction::Enter(), ScriptedAction::Click(0)}) {
    SCOPED_TRACE(static_cast<int>(action.action));
    LoadApp("", {{loader_name_, "engine module"}, {installer_name_, "#!/bin/sh\nexit 0\n"}});
    engine_installed_ = false;
    ui_.dialogs.clear();
    ui_.actions = {action};
    startup_.run_as_admin_calls.clear();
    os_.shell_starts.clear();
    fs::perms installer_perms = fs::perms::none;
    startup_.run_as_admin = [&](const std::string& file, const std::string&) {
      EXPECT_EQ(ReadFile(file), "#!/bin/sh\nexit 0\n");
      installer_perms = fs::status(file).permissions();
      engine_installed_ = true;
      return 0U;
    };

    EXPECT_EQ(Run(), 0);

    ASSERT_EQ(startup_.run_as_admin_calls.size(), 1U);
    EXPECT_EQ(startup_.run_as_admin_calls[0].file, installer_file().string());
    EXPECT_EQ(startup_.run_as_admin_calls[0].params, files_.InstallerParams);
    EXPECT_TRUE(startup_.run_as_admin_calls[0].splash_visible);
    if (os_.family == platform::OsFamily::Posix) {
      EXPECT_NE(installer_perms & fs::perms::owner_exec, fs::perms::none);
    }
    EXPECT_FALSE(fs::exists(installer_file()));
    EXPECT_TRUE(fs::exists(loader_file()));
    ASSERT_EQ(os_.shell_starts.size(), 1U);
    EXPECT_EQ(os_.shell_starts[0].file, os_.executable_path);
    EXPECT_EQ(os_.shell_starts[0].args, "");
    EXPECT_EQ(ui_.dialogs.size(), 1U);  // the question only
    EXPECT_TRUE(os_.removed_directories.empty());
  }
}

TEST_F(BootstrapTest, AFailedInstallationDeletesTheFolderAndShowsMessage9OverTheSplash) {
  struct Case {
    const char* name;
    bool carries_installer;
    std::uint32_t exit_code;
  };
  for (const Case& c : {Case{"installer ran, engine still missing", true, 1},
                        Case{"no installer in the archive", false, 0}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<std::string, std::string>> entries = {{loader_name_, "engine module"}};
    if (c.carries_installer) entries.emplace_back(installer_name_, "#!/bin/sh\nexit 1\n");
    LoadApp("", entries);
    ui_.dialogs.clear();
    ui_.splash_under_dialog.clear();
    ui_.actions = {ScriptedAction::Enter()};
    startup_.run_as_admin_calls.clear();
    bool installer_there = false;
    startup_.run_as_admin = [&](const std::string& file, const std::string&) {
      installer_there = fs::exists(file);
      return c.exit_code;
    };

    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(installer_there, c.carries_installer);
    ASSERT_EQ(ui_.dialogs.size(), 2U);
    EXPECT_EQ(ui_.dialogs[1].text, Msg9());
    EXPECT_EQ(ui_.splash_under_dialog, (std::vector<bool>{false, true}));
    EXPECT_FALSE(fs::exists(app_dir()));
    EXPECT_TRUE(fs::exists(data_));
    EXPECT_TRUE(os_.shell_starts.empty());
  }
}

TEST_F(BootstrapTest, TheSplashTakesItsLookFromTheSettings) {
  struct Case {
    const char* ini;
    platform::RgbColor color;
    platform::BusyIndicatorKind kind;
    platform::BusyIndicatorColor indicator;
  };
  startup_.system_colors[26] = {1, 2, 3};
  const Case cases[] = {
      {"",
       {1, 2, 3},
       platform::BusyIndicatorKind::MomentumDots,
       platform::BusyIndicatorColor::White},
      {"InstallFormColor=$00336699\r\nInstallIndicatorColor=0\r\nInstallIndicatorType=2\r\n",
       {0x99, 0x66, 0x33},
       platform::BusyIndicatorKind::SectorRing,
       platform::BusyIndicatorColor::Black},
      {"InstallFormColor=-16777201\r\nInstallIndicatorType=1\r\n",  // system colour 15
       {0xF0, 0xF0, 0xF0},
       platform::BusyIndicatorKind::RotatingSector,
       platform::BusyIndicatorColor::White},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    LoadApp(c.ini, {{loader_name_, "engine module"}, {installer_name_, "x"}});
    ui_.actions = {ScriptedAction::Enter()};
    startup_.splashes.clear();
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(startup_.splashes.size(), 1U);
    const platform::InstallerSplashLook& look = startup_.splashes[0].look;
    EXPECT_EQ(look.caption, "Example");
    EXPECT_EQ(look.color, c.color);
    EXPECT_EQ(look.indicator_kind, c.kind);
    EXPECT_EQ(look.indicator_color, c.indicator);
    EXPECT_TRUE(startup_.splashes[0].shown);
  }
}

TEST_F(BootstrapTest, OnlyTheAppsOwnFolderUnderThePerUserFolderCountsAsItsDataFolder) {
  fs::create_directories(data_ / kId);
  fs::create_directories(data_ / "elsewhere");
  std::error_code link_error;
  fs::create_directory_symlink(data_ / "elsewhere", data_ / "linked.app", link_error);
  const std::string sep(1, os_.path_separator);
  const std::string base = data_.string() + sep;
  struct Case {
    std::string dir;
    std::string id;
    bool own;
  };
  std::vector<Case> cases = {
      {base + kId + sep, kId, true},
      {base + kId, kId, false},  // no trailing separator: not what start-up made
      {base, kId, false},        // the per-user folder itself
      {data_.parent_path().string() + sep, kId, false},
      {base + "elsewhere" + sep, kId, false},  // another app's folder
      {base + ".." + sep, "..", false},
      {base + sep, "", false},
  };
  if (!link_error) cases.push_back({base + "linked.app" + sep, "linked.app", false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(IsOwnAppDataFolder(c.dir, c.id), c.own);
  }
  os_.local_app_data_path = "";  // the system could not tell: never delete
  EXPECT_FALSE(IsOwnAppDataFolder(sep + kId + sep, kId));
}

TEST_F(BootstrapTest, ADamagedDataFolderPathIsNeverDeleted) {
  LoadApp("", {{loader_name_, "engine module"}});
  // The parent of every app's folder.
  LoadedApp().DataDirPath = data_.string() + os_.path_separator;
  ui_.actions = {ScriptedAction::Escape()};

  EXPECT_EQ(Run(), 0);

  EXPECT_TRUE(os_.removed_directories.empty());
  EXPECT_TRUE(fs::exists(app_dir()));
  ASSERT_EQ(ui_.dialogs.size(), 2U);
  EXPECT_EQ(ui_.dialogs[1].text, kMsg8);
}

TEST(InstalledEngineModuleTest, CandidatesAreBesideTheExecutableThenLibThenTheBuild) {
  if (platform::MakeNativeOs()->Family() != platform::OsFamily::Posix) GTEST_SKIP() << "Linux only";
  EXPECT_EQ(
      InstalledEngineModuleCandidates("/opt/app/bin/app", "/src/build/lib/x.so"),
      (std::vector<std::string>{"/opt/app/bin/libtessel-engine-webkit.so",
                                "/opt/app/lib/libtessel-engine-webkit.so", "/src/build/lib/x.so"}));
  EXPECT_EQ(InstalledEngineModuleCandidates("", ""), std::vector<std::string>{});
}

// The engine check itself, through a stand-in for the library opener.
TEST(EdgeCheckTest, OnlyALoadableLibraryReportingAVersionMeansAnEngine) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("tessel-edge-check-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(dir);
  WriteFile(dir / "loader", "x");
  struct Case {
    const char* name;
    fs::path path;
    platform::HRESULT open_result;
    std::string version;
    bool throws;
    bool opened;
    bool installed;
  };
  const Case cases[] = {
      {"missing file", dir / "missing", platform::kSOk, "1.0", false, false, false},
      {"does not load", dir / "loader", platform::kEFail, "1.0", false, true, false},
      {"no version", dir / "loader", platform::kSOk, "", false, true, false},
      {"a NUL version", dir / "loader", platform::kSOk, std::string(1, '\0'), false, true, false},
      {"opener throws", dir / "loader", platform::kSOk, "1.0", true, true, false},
      {"a version", dir / "loader", platform::kSOk, "120.0.2210.91", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool opened = false;
    shared::SetEdgeCheckLibraryOpener(
        [&](const std::string& path, std::shared_ptr<platform::EngineLoader>* loader) {
          opened = true;
          EXPECT_EQ(path, c.path.string());
          if (c.throws) throw std::runtime_error("boom");
          if (platform::Succeeded(c.open_result)) *loader = std::make_shared<StubLoader>(c.version);
          return c.open_result;
        });
    EXPECT_EQ(shared::TSysUtils::CheckEdgeIsInstalled(c.path.string()), c.installed);
    EXPECT_EQ(opened, c.opened);
  }
  shared::SetEdgeCheckLibraryOpener({});
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tessel::runtime
