// The web view runtime bootstrap: before any window, make sure the web engine
// can be used, or end the process with a message, or install the engine
// (with the user's consent) and start the application afresh.
//
// What each step means per platform:
// - Windows: the loader library is WebView2LoaderWin64.dll, copied from the
//   archive entry of that name into the web view folder; the engine is the
//   installed WebView2 runtime, whose installer WebView2Installer.exe the app
//   carries and which runs as "/silent /install" with the shell's "runas".
// - Linux: the loader library is the engine module
//   libtessel-engine-webkit.so, the runtime's own module that links
//   WebKitGTK. When the app carries an entry of that name it is copied into
//   the web view folder; otherwise the module installed with the runtime is
//   used where it lies (beside the executable, in ../lib from it, or the one
//   this build produced). The engine is WebKitGTK: it counts as installed
//   when the module loads (its libraries resolve) and reports a version. The
//   installer is an executable the app carries as "tessel-engine-installer";
//   it runs as "--silent --install" with administrator rights through pkexec
//   (directly when the process already runs as root).
// - Both: the engine's data folder is the web view folder
//   (WEBVIEW2_USER_DATA_FOLDER; the WebKit module reads it too), set with the
//   other engine variables before the check.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace tessel::runtime {

// The engine's files on one platform family: archive entry names, which are
// also the file names on disk, and the installer's argument text.
struct TEngineFiles {
  std::string LoaderFileName;
  std::string InstallerFileName;
  std::string InstallerParams;
};
TEngineFiles EngineFilesFor(platform::OsFamily family);

// Where an engine module installed with the runtime at `executable_path` may
// lie, in the order they are tried (Linux). `build_module` is the module of
// the build that made this binary (empty: none).
std::vector<std::string> InstalledEngineModuleCandidates(const std::string& executable_path,
                                                         const std::string& build_module);

// Whether `dir_path` is the app data folder of the app `id` and nothing else:
// the per-user data folder (TSysUtils::GetLocalAppDataDirPath, which must be
// known) followed by a usable `id` and a separator, and a real folder, not a
// link. The bootstrap deletes only such a folder.
bool IsOwnAppDataFolder(const std::string& dir_path, const std::string& id);

// Returns only when the engine is installed: the loader library is in place,
// the web view component's loader library path names it and the engine's
// environment variables are set for this process. Otherwise it ends the
// process by throwing EProcessExit{0}: with message 6 (engine missing,
// `EdgeInstaller=0`), message 8 (the user declined the installation; the app
// data folder deleted), message 9 (the installer did not install the engine;
// the app data folder deleted), or silently after starting a fresh instance
// without arguments (installed). Reads LoadedApp(); UI thread only.
void PrepareWebViewRuntime();

}  // namespace tessel::runtime
