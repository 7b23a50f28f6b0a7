#include "runtime/webview_bootstrap.h"

#include <optional>
#include <string>

#include "platform/file_io.h"
#include "platform/ui.h"
#include "runtime/edge_installer_form.h"
#include "runtime/exe_zip_loader.h"
#include "runtime/localized_messages.h"
#include "runtime/process_exit.h"
#include "shared/edge_ex.h"
#include "shared/sys_utils.h"

namespace tessel::runtime {
namespace {

constexpr int kMsgEngineRequired = 6;
constexpr int kMsgInstallQuestion = 7;
constexpr int kMsgInstallDeclined = 8;
constexpr int kMsgInstallFailed = 9;
constexpr int kMsgConfirmTitle = 2;
constexpr int kMsgAcceptCaption = 3;
constexpr int kMsgCancelCaption = 4;

// `name` inside the folder `dir` (the current one when empty).
std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.ends_with('/') ? dir + name : dir + '/' + name;
}

// A file that can stand for the loader or the installer: a regular file with
// content, links followed. An empty file is what an interrupted or failed
// copy leaves; it is replaced rather than used forever.
bool HasUsableFile(const std::string& path) {
  return platform::RegularFileSize(path).value_or(0) > 0;
}

// Writes the archive entry `entry` to `target` through a temporary file, so
// that a failed or cut-off copy never sits at `target` to be used as it is
// on the next start. False, with nothing at `target`, when the app does not
// carry the entry or it cannot be written.
bool ExtractEntry(const std::string& entry, const std::string& target, bool executable) {
  const std::optional<std::string> content = ReadAppFile(LoadedApp(), entry);
  if (!content) return false;
  const std::string part = target + ".part";
  {
    platform::FileHandle out = platform::OpenFile(part, "wb");
    if (!out) return false;
    const bool written = !content->empty() && platform::WriteToFile(out.get(), *content);
    if (std::fclose(out.release()) != 0 || !written) {
      platform::RemoveFile(part);
      return false;
    }
  }
  if (executable) platform::SetOwnerOnlyExecutable(part);
  if (!platform::RenameFile(part, target)) {
    platform::RemoveFile(part);
    return false;
  }
  return true;
}

// The loader library for this process: the one in the web view folder when
// present, else the app's own copy from the archive, else (Linux) the module
// installed with the runtime.
std::string PlaceLoaderLibrary(const TEngineFiles& files) {
  const TLoadedApp& app = LoadedApp();
  platform::Os& os = platform::CurrentOs();
  std::string in_web_view_folder = app.WebViewDirPath + files.LoaderFileName;
  // A folder run live: the author's copy as it is now, never an older one.
  if (!app.AppFolder.empty() && HasUsableFile(app.AppFolder + files.LoaderFileName)) {
    return app.AppFolder + files.LoaderFileName;
  }
  if (HasUsableFile(in_web_view_folder)) return in_web_view_folder;
  if (ExtractEntry(files.LoaderFileName, in_web_view_folder, false)) return in_web_view_folder;
  if (os.Family() == platform::OsFamily::Posix) {
    for (const std::string& candidate : InstalledEngineModuleCandidates(os.ExecutablePath(), {})) {
      if (HasUsableFile(candidate)) return candidate;
    }
  }
  // Nothing to load: the check below finds no engine.
  return in_web_view_folder;
}

void SetEngineEnvironment() {
  platform::Os& os = platform::CurrentOs();
  os.SetEnv("WEBVIEW2_USER_DATA_FOLDER", LoadedApp().WebViewDirPath);
  os.SetEnv("WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS", "--disable-logging");
  os.UnsetEnv("WEBVIEW2_BROWSER_EXECUTABLE_FOLDER");
  os.UnsetEnv("WEBVIEW2_RELEASE_CHANNEL_PREFERENCE");
}

// Both failure paths after the question remove the app data folder (the
// loader and the engine's user data with it), but only when it is exactly
// the app's own folder: a damaged path must never take a parent with it.
void DeleteAppDataFolder() {
  const TLoadedApp& app = LoadedApp();
  if (!IsOwnAppDataFolder(app.DataDirPath, app.ID)) {
    platform::WriteStderr("tessel: not deleting \"" + app.DataDirPath +
                          "\": it is not the app's own data folder\n");
    return;
  }
  shared::TSysUtils::DeleteDirectory(app.DataDirPath);
}

}  // namespace

TEngineFiles EngineFilesFor(platform::OsFamily family) {
  if (family == platform::OsFamily::Windows) {
    return {"WebView2LoaderWin64.dll", "WebView2Installer.exe", "/silent /install"};
  }
  return {"libtessel-engine-webkit.so", "tessel-engine-installer", "--silent --install"};
}

std::vector<std::string> InstalledEngineModuleCandidates(const std::string& executable_path,
                                                         const std::string& build_module) {
  const std::string name = EngineFilesFor(platform::OsFamily::Posix).LoaderFileName;
  std::vector<std::string> candidates;
  if (!executable_path.empty()) {
    const std::string dir = platform::ParentPath(executable_path);
    candidates.push_back(JoinPath(dir, name));
    candidates.push_back(JoinPath(JoinPath(platform::ParentPath(dir), "lib"), name));
  }
  if (!build_module.empty()) candidates.push_back(build_module);
  return candidates;
}

bool IsOwnAppDataFolder(const std::string& dir_path, const std::string& id) {
  platform::Os& os = platform::CurrentOs();
  if (!IsUsableAppId(id)) return false;
  const std::string base = shared::TSysUtils::GetLocalAppDataDirPath();
  // A lone separator: the system could not give the per-user folder.
  if (base.size() <= 1 || !os.IsAbsolutePath(base)) return false;
  if (dir_path != base + id + os.PathSeparator()) return false;
  return platform::IsRealDirectory(dir_path.substr(0, dir_path.size() - 1));
}

void PrepareWebViewRuntime() {
  const TLoadedApp& app = LoadedApp();
  const shared::TSettings& ini = *app.ProjectINI;
  platform::Os& os = platform::CurrentOs();
  const TEngineFiles files = EngineFilesFor(os.Family());

  // Steps 1 and 2: the loader library, and the component told where it is.
  const std::string loader_path = PlaceLoaderLibrary(files);
  shared::SetLoaderLibraryPath(loader_path);

  // Step 3: before the check, so the engine sees them when it starts.
  SetEngineEnvironment();

  if (shared::TSysUtils::CheckEdgeIsInstalled(loader_path)) return;

  if (!ini.ReadBool("App", "EdgeInstaller", true)) ShowFatalMessage(kMsgEngineRequired);

  const int answer = LocalizedMessageDlg(
      GetLocalizedMessage(kMsgInstallQuestion), platform::DialogType::Confirmation,
      {platform::DialogButton::Yes, platform::DialogButton::Cancel},
      {GetLocalizedMessage(kMsgAcceptCaption), GetLocalizedMessage(kMsgCancelCaption)},
      GetLocalizedMessage(kMsgConfirmTitle));
  if (answer == platform::mrCancel) {
    DeleteAppDataFolder();
    ShowFatalMessage(kMsgInstallDeclined);
  }

  // An app without the installer entry gets no file; the start then fails
  // like a refused elevation and the run ends with message 9.
  const std::string installer_path = app.DataDirPath + files.InstallerFileName;
  if (!HasUsableFile(installer_path)) ExtractEntry(files.InstallerFileName, installer_path, true);

  // Stays on screen until the process ends, also under message 9.
  TEdgeInstallerForm splash;
  splash.Caption = app.Name;
  splash.Color = ini.ReadInteger("App", "InstallFormColor", kDefaultInstallFormColor);
  splash.ActivityIndicator.IndicatorColor = ini.ReadInteger("App", "InstallIndicatorColor", 1);
  splash.ActivityIndicator.IndicatorType = ini.ReadInteger("App", "InstallIndicatorType", 0);
  splash.Show();

  // Neither GTK nor this program's Win32 layer has a hidden application
  // window standing for the app before the main window, so there is none to
  // hide here.

  // The installer's exit code says nothing reliable; the second check decides.
  shared::TSysUtils::ShellExecAsAdminAndWait(installer_path, files.InstallerParams);

  if (shared::TSysUtils::CheckEdgeIsInstalled(loader_path)) {
    platform::RemoveFile(installer_path);
    // The fresh instance gets no arguments, whatever this one was given.
    shared::TSysUtils::ShellExec(os.ExecutablePath(), "");
    throw EProcessExit{0};
  }

  DeleteAppDataFolder();
  ShowFatalMessage(kMsgInstallFailed);
}

}  // namespace tessel::runtime
