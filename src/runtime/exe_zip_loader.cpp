#include "runtime/exe_zip_loader.h"

#include <string>

#include "platform/file_io.h"
#include "platform/os.h"
#include "platform/ui.h"
#include "runtime/localized_messages.h"
#include "runtime/main_form.h"
#include "runtime/process_exit.h"
#include "runtime/require_password_form.h"
#include "runtime/visual_styles.h"
#include "runtime/webview_bootstrap.h"
#include "shared/app_rules.h"
#include "shared/program_constants.h"
#include "shared/relaunch_proof.h"
#include "shared/sys_utils.h"

namespace tessel::runtime {
namespace {

constexpr int kMsgNotAValidApplication = 5;

// The relaunch command line: exactly the app's ID and an address.
bool IsRelaunchCommandLine(const std::vector<std::string>& args, const std::string& id) {
  return args.size() == 2 && args[0] == id;
}

std::string WithTrailingSeparator(std::string path) {
  const char sep = platform::CurrentOs().PathSeparator();
  if (path.empty() || path.back() != sep) path += sep;
  return path;
}

// The engine's folder inside the app data folder. Windows keeps the name the
// product has always used; elsewhere a name that says what it holds.
std::string WebViewFolderName() {
  return platform::CurrentOs().Family() == platform::OsFamily::Windows ? "Win64" : "WebView";
}

[[noreturn]] void EndSilently() { throw EProcessExit{0}; }

// The arguments the app sees: without the app folder's, when one is run.
std::vector<std::string> AppArguments(const std::vector<std::string>& args) {
  if (LoadedApp().AppFolder.empty() || args.empty()) return args;
  return {args.begin() + std::min<std::ptrdiff_t>(2, std::ssize(args)), args.end()};
}

void DefaultRunMainWindow(const std::vector<std::string>& args) {
  std::unique_ptr<platform::TopLevelWindow> window = platform::CurrentUi().CreateMainWindow();
  // Without a display there is nothing to show: the application ends, and
  // says why, since nothing else will.
  if (!window) {
    const platform::Os& os = platform::CurrentOs();
    const std::string display = os.GetEnv("DISPLAY");
    const std::string wayland = os.GetEnv("WAYLAND_DISPLAY");
    if (os.Family() == platform::OsFamily::Windows) {
      platform::WriteStderr("tessel: the main window could not be created\n");
    } else if (display.empty() && wayland.empty()) {
      platform::WriteStderr(
          "tessel: no display to show the app on: neither DISPLAY nor "
          "WAYLAND_DISPLAY is set\n");
    } else {
      platform::WriteStderr("tessel: cannot open the display '" +
                            (display.empty() ? wayland : display) + "'\n");
    }
    return;
  }
  TMainForm form(LoadedApp(), std::move(window), args);
  InstallDiagnostics(form);
  form.Run();
}

}  // namespace

TLoadedApp& LoadedApp() {
  static TLoadedApp app;
  return app;
}

TLoadedArchive& LoadedArchive() {
  static TLoadedArchive archive;
  return archive;
}

TStartupStages& StartupStages() {
  static TStartupStages stages{
      .PrepareWebViewRuntime = PrepareWebViewRuntime,
      .RequirePassword = RequirePassword,
      .RunMainWindow = DefaultRunMainWindow,
  };
  return stages;
}

bool IsUsableAppId(const std::string& id) { return !shared::AppIdProblem(id); }

void LoadProjectINI() {
  LoadedApp().ProjectINI->LoadFromBytes(
      ReadAppFile(LoadedApp(), "vtx.ini").value_or(std::string()));
}

namespace {

// An app folder that cannot be run live: one line for the author, exit 1.
[[noreturn]] void RefuseAppFolder(const std::string& reason) {
  platform::WriteStderr("tessel: " + reason + '\n');
  throw EProcessExit{1};
}

void OpenAttachedArchive() {
  TLoadedApp& app = LoadedApp();
  app.ExeZip->SetPassword(std::string(shared::kAppArchivePassword));
  TLoadedArchive& archive = LoadedArchive();
  try {
    std::span<const uint8_t> bytes;
    try {
      archive.Mapped = app.ExeUtils->MapZipFromExe();
      bytes = archive.Mapped.Bytes();
      app.ExeZip->SetReleasePages(
          [&archive](std::span<const uint8_t> range) { archive.Mapped.Release(range); });
    } catch (const std::runtime_error&) {
      // A file system that cannot map files still lets us read them.
      app.ExeUtils->GetZipFromExe(archive.Copied);
      bytes = archive.Copied;
    }
    app.ExeZip->SetStream(bytes);
  } catch (const std::exception& e) {
    // Data behind the image that is not a readable archive is not an app:
    // the user gets the same message as for no data at all.
    platform::WriteStderr(std::string("tessel: ") + e.what() + '\n');
    ShowFatalMessage(kMsgNotAValidApplication);
  }
}

void OpenAppFolder(const std::string& folder) {
  platform::Os& os = platform::CurrentOs();
  if (folder.empty())
    RefuseAppFolder("no app folder given after " + std::string(kAppFolderArgument));
  const std::string path = os.FullPath(folder);
  if (platform::KindOfPath(path) != platform::PathKind::kDirectory) {
    RefuseAppFolder("'" + folder + "' is not a folder");
  }
  TLoadedApp& app = LoadedApp();
  app.AppFolder = WithTrailingSeparator(path);
  if (platform::KindOfPath(app.AppFolder + "vtx.ini") != platform::PathKind::kFile) {
    RefuseAppFolder("'" + folder + "' is not an app folder: it has no vtx.ini");
  }
}

// What a folder run live must have before its window opens; a packaged app
// without them ends silently, as it always has.
void CheckAppFolderSettings() {
  const TLoadedApp& app = LoadedApp();
  for (const auto& [key, value] : {std::pair{"ID", &app.ID}, std::pair{"Name", &app.Name},
                                   std::pair{"DirName", &app.DirName}}) {
    if (value->empty()) RefuseAppFolder("vtx.ini has no " + std::string(key) + " in [App]");
  }
  if (const std::optional<std::string> problem = shared::AppIdProblem(app.ID)) {
    RefuseAppFolder("vtx.ini: " + *problem);
  }
  if (const std::optional<std::string> problem = shared::AppDirNameProblem(app.DirName)) {
    RefuseAppFolder("vtx.ini: " + *problem);
  }
  if (platform::KindOfPath(app.AppFolder + app.DirName) != platform::PathKind::kDirectory) {
    RefuseAppFolder("the app folder has no folder '" + app.DirName + "' (DirName in vtx.ini)");
  }
}

}  // namespace

void RunStartup(const std::vector<std::string>& args) {
  // Taken before anything else runs, so no process started from here on
  // inherits it.
  const std::string relaunch_token = shared::TakeRelaunchToken();
  TLoadedApp& app = LoadedApp();
  app.Relaunched = false;
  app.AppFolder.clear();
  app.ExeUtils = std::make_unique<shared::TExeUtils>();
  app.ExeZip = std::make_unique<shared::TExeZip>();
  app.ProjectINI = std::make_unique<shared::TSettings>();

  bool has_archive = false;
  try {
    has_archive = app.ExeUtils->ExeHasAttachedStub();
  } catch (const std::exception&) {
    // Headers we cannot measure: there is no archive we could find.
  }
  // Only a runtime without an app of its own runs a folder: a packaged
  // app's archive is what it runs, whatever its command line says.
  const bool live = !has_archive && !args.empty() && args[0] == kAppFolderArgument;
  if (live) {
    app.ExeZip.reset();
    OpenAppFolder(args.size() > 1 ? args[1] : std::string());
  } else if (has_archive) {
    OpenAttachedArchive();
  } else {
    ShowFatalMessage(kMsgNotAValidApplication);
  }

  LoadProjectINI();

  const shared::TSettings& ini = *app.ProjectINI;
  app.ID = ini.ReadString("App", "ID", "");
  app.Name = ini.ReadString("App", "Name", "");
  app.DirName = ini.ReadString("App", "DirName", "");
  app.IndexHtml = ini.ReadString("App", "IndexHtml", "index.html");
  if (live) CheckAppFolderSettings();
  if (app.ID.empty() || app.Name.empty() || app.DirName.empty()) EndSilently();
  if (!IsUsableAppId(app.ID)) {
    // The ID names a folder and a lock: one that could reach outside the
    // app data folder or that a file system refuses ends start-up here.
    platform::WriteStderr("tessel: the app's ID cannot name a folder: \"" + app.ID + "\"\n");
    EndSilently();
  }

  ApplyTheme(ini.ReadString("App", "Theme", std::string(kPlatformStyleName)));

  platform::Os& os = platform::CurrentOs();
  app.DataDirPath = shared::AppDataDirPath(app.ID);
  os.CreateDirectories(app.DataDirPath);
  app.WebViewDirPath = WithTrailingSeparator(app.DataDirPath + WebViewFolderName());
  os.CreateDirectories(app.WebViewDirPath);

  // Anybody can type the relaunch command line; only the token the starting
  // instance left in the data folder makes it one. A token is consumed
  // whatever the command line, so it never proves twice.
  const bool proven =
      !relaunch_token.empty() && shared::ConsumeRelaunchToken(app.DataDirPath, relaunch_token);
  app.Relaunched = proven && IsRelaunchCommandLine(AppArguments(args), app.ID);

  StartupStages().PrepareWebViewRuntime();

  // An author running the folder is not asked for the app's password.
  if (app.Relaunched || live) return;

  const std::string password = ini.ReadString("App", "Password", "");
  if (!password.empty() && !StartupStages().RequirePassword(password, app.Name)) EndSilently();
}

int RunTesselRuntime(const std::vector<std::string>& args) {
  // Start-up's system message box for an image without data.
  const shared::TFatalErrorHandler previous =
      shared::SetFatalErrorHandler([](const std::string& text, const std::string& caption) {
        platform::CurrentUi().ErrorBox(text, caption);
        throw EProcessExit{0};
      });
  int exit_code = 0;
  try {
    RunStartup(args);
    const TLoadedApp& app = LoadedApp();
    // An author may run the folder beside the packaged app, or twice.
    if (app.AppFolder.empty() && !app.ProjectINI->ReadBool("App", "AllowInstances", false)) {
      const platform::InstanceLock lock = platform::CurrentOs().AcquireInstanceLock(app.ID);
      if (lock == platform::InstanceLock::AlreadyHeld && !app.Relaunched) throw EProcessExit{0};
    }
    StartupStages().RunMainWindow(AppArguments(args));
  } catch (const EProcessExit& e) {
    exit_code = e.exit_code;
  } catch (const std::exception& e) {
    // Nothing else would say why the app did not start (or stopped).
    platform::WriteStderr(std::string("tessel: the app stopped: ") + e.what() + '\n');
    exit_code = 1;
  }
  ReleaseLoadedApp();
  shared::SetFatalErrorHandler(previous);
  return exit_code;
}

void ReleaseLoadedApp() {
  TLoadedApp& app = LoadedApp();
  app.ExeZip.reset();
  app.ExeUtils.reset();
  app.ProjectINI.reset();
  app.ID.clear();
  app.Name.clear();
  app.DirName.clear();
  app.IndexHtml.clear();
  app.WebViewDirPath.clear();
  app.DataDirPath.clear();
  app.Relaunched = false;
  app.AppFolder.clear();
}

}  // namespace tessel::runtime
