// The start-up sequence: from the running executable to the moment the main
// window may be created. Every outcome that stops start-up ends the process
// by throwing EProcessExit (exit code 0; 1 for an app folder run live that
// cannot run), which the program entry turns into the exit code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "platform/os.h"
#include "shared/exe_utils.h"
#include "shared/exe_zip.h"
#include "shared/settings.h"

namespace tessel::runtime {

// Process-wide start-up state: written only by start-up, read by the rest
// of the process for its whole life.
struct TLoadedApp {
  std::unique_ptr<shared::TExeUtils> ExeUtils;
  std::unique_ptr<shared::TExeZip> ExeZip;
  std::unique_ptr<shared::TSettings> ProjectINI;
  std::string ID;
  std::string Name;
  std::string DirName;
  std::string IndexHtml;
  std::string DataDirPath;     // ends with the platform's separator
  std::string WebViewDirPath;  // ends with the platform's separator
  // The app folder run live (kAppFolderArgument), with the platform's
  // separator at its end; empty for a packaged app, which runs its archive.
  // Its files stand for the archive's entries.
  std::string AppFolder;
  // Started by a running instance of the app (a relaunch): the command line
  // is exactly the ID and an address, and the token its starter left in the
  // data folder proved it. Such an instance is not asked for the password,
  // runs beside the others and opens the address.
  bool Relaunched = false;
};

TLoadedApp& LoadedApp();

// The argument, followed by a folder, that makes a runtime without an
// archive run that app folder live: settings, pages and the app's script
// come from the folder, the inspector and the trace are on, and neither the
// password nor the single-instance rule applies. A packaged app ignores it.
inline constexpr std::string_view kAppFolderArgument = "--app-folder";

// The app's file `name` ('/'-separated, as in the archive): the archive's
// entry, or the file in the app folder run live. nullopt when there is none
// or it cannot be read.
inline std::optional<std::string> ReadAppFile(const TLoadedApp& app, const std::string& name) {
  if (!app.AppFolder.empty()) {
    std::string path = app.AppFolder + name;
    const char sep = platform::CurrentOs().PathSeparator();
    for (char& c : path) {
      if (c == '/') c = sep;
    }
    return platform::ReadWholeFile(path);
  }
  if (!app.ExeZip) return std::nullopt;
  return app.ExeZip->ReadEntry(name);
}

// The archive's bytes: the executable's file mapped in place, or a copy
// where it cannot be mapped. The reader reads from them without a copy of
// its own, so they live as long as the process.
struct TLoadedArchive {
  shared::TMappedFile Mapped;
  std::vector<uint8_t> Copied;
};
TLoadedArchive& LoadedArchive();

// The stages start-up hands over to, each with its own contract. Tests and
// later stages replace them; the defaults fulfil each contract trivially.
struct TStartupStages {
  // Returns only when the engine is there and set up for this process;
  // otherwise ends the process.
  std::function<void()> PrepareWebViewRuntime;
  // Shows the password prompt for `name`; true only when the user typed
  // `password`.
  std::function<bool(const std::string& password, const std::string& name)> RequirePassword;
  // Creates the main window and runs the message loop until it closes.
  std::function<void(const std::vector<std::string>& args)> RunMainWindow;
};

TStartupStages& StartupStages();

// Whether `id` can name the app data folder and the single-instance lock on
// every platform (shared::AppIdProblem, the rule the packer checks too).
bool IsUsableAppId(const std::string& id);

// Replaces the settings document with the parsed `vtx.ini` of the archive
// (or of the app folder run live); an absent or unreadable one leaves it
// empty.
void LoadProjectINI();

// Runs the start-up sequence. `args` are the command-line arguments after
// the program's own name. Returns only when the app may start.
void RunStartup(const std::vector<std::string>& args);

// The program entry after the process's own initialisation: start-up, the
// single-instance rule, the main window. Returns the exit code: 0, or 1 for
// an app folder that cannot run and for an exception that ended start-up or
// the window (its reason is printed on stderr).
int RunTesselRuntime(const std::vector<std::string>& args);

// Releases the start-up objects in their order; the archive's bytes stay.
void ReleaseLoadedApp();

}  // namespace tessel::runtime
