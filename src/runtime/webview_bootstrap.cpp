#include "runtime/webview_bootstrap.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "platform/ui.h"
#include "runtime/edge_installer_form.h"
#include "runtime/exe_zip_loader.h"
#include "runtime/localized_messages.h"
#include "runtime/process_exit.h"
#include "shared/edge_ex.h"
#include "shared/sys_utils.h"

namespace tessel::runtime {
namespace {

namespace fs = std::filesystem;

constexpr int kMsgEngineRequired = 6;
constexpr int kMsgInstallQuestion = 7;
constexpr int kMsgInstallDeclined = 8;
constexpr int kMsgInstallFailed = 9;
constexpr int kMsgConfirmTitle = 2;
constexpr int kMsgAcceptCaption = 3;
constexpr int kMsgCancelCaption = 4;

fs::path PathFromUtf8(const std::string& text) { return {std::u8string(text.begin(), text.end())}; }

std::string Utf8FromPath(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

// A file that can stand for the loader or the installer: a regular file with
// content, links followed. An empty file is what an interrupted or failed
// copy leaves; it is replaced rather than used forever.
bool HasUsableFile(const std::string& path) {
  std::error_code ec;
  const fs::path p = PathFromUtf8(path);
  return fs::is_regular_file(p, ec) && fs::file_size(p, ec) > 0 && !ec;
}

// Writes the archive entry `entry` to `target` through a temporary file, so
// that a failed or cut-off copy never sits at `target` to be used as it is
// on the next start. False, with nothing at `target`, when the app does not
// carry the entry or it cannot be written.
bool ExtractEntry(const std::string& entry, const std::string& target, bool executable) {
  const shared::TExeZip& zip = *LoadedApp().ExeZip;
  if (zip.FindFile(entry) < 0) return false;
  const fs::path final_path = PathFromUtf8(target);
  fs::path part = final_path;
  part += ".part";
  std::error_code ec;
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    zip.ExtractToStream(entry, out);
    out.close();
    if (!out || fs::file_size(part, ec) == 0 || ec) {
      fs::remove(part, ec);
      return false;
    }
  }
  if (executable) {
    fs::permissions(part, fs::perms::owner_all, fs::perm_options::replace, ec);
  }
  fs::rename(part, final_path, ec);
  if (ec) {
    fs::remove(part, ec);
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
    std::cerr << "tessel: not deleting \"" << app.DataDirPath
              << "\": it is not the app's own data folder\n";
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
    const fs::path dir = PathFromUtf8(executable_path).parent_path();
    candidates.push_back(Utf8FromPath(dir / name));
    candidates.push_back(Utf8FromPath(dir.parent_path() / "lib" / name));
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
  std::error_code ec;
  const fs::file_status status =
      fs::symlink_status(PathFromUtf8(dir_path.substr(0, dir_path.size() - 1)), ec);
  return !ec && status.type() == fs::file_type::directory;
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
    std::error_code ec;
    fs::remove(PathFromUtf8(installer_path), ec);
    // The fresh instance gets no arguments, whatever this one was given.
    shared::TSysUtils::ShellExec(os.ExecutablePath(), "");
    throw EProcessExit{0};
  }

  DeleteAppDataFolder();
  ShowFatalMessage(kMsgInstallFailed);
}

}  // namespace tessel::runtime
