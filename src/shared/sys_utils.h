// Class-level helpers over the operating system: special folders, shell
// starts, folder removal, console capture and window captions. The rules that
// are fixed for the product (separators, command lines, the output loop, the
// caption filter) live here; the platform calls go through platform::Os.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/engine.h"

namespace tessel::shared {

class TSysUtils {
 public:
  TSysUtils() = delete;

  // Special folders, each ending with the platform's separator; a lone
  // separator when the system cannot give the folder.
  static std::string GetLocalAppDataDirPath();
  static std::string GetUserDesktopDirPath();
  static std::string GetUserDocumentsDirPath();
  static std::string GetTempDirPath();

  // Removes `dir_path` with everything below it, permanently and without
  // asking, and returns when done. False when it does not exist, when the
  // path is empty, or when anything could not be removed.
  static bool DeleteDirectory(const std::string& dir_path);

  // Starts `file_path` with its associated program, passing `arguments` as one
  // argument text, and returns at once. False when it could not be started;
  // the platform's last error then tells why.
  static bool ShellExec(const std::string& file_path, const std::string& arguments);

  // Opens the folder holding `file_path` in the file browser with that item
  // selected; returns at once. False when the browser could not be started.
  static bool ShellExplore(const std::string& file_path);

  // Runs `command_line` through the platform's console interpreter ("cmd.exe
  // /C " + command_line on Windows, /bin/sh -c on Linux) and returns everything
  // it wrote to its output and error streams, once every process holding the
  // pipe has closed it and the interpreter has ended. Empty when the command
  // could not be started. Blocks the calling thread without time-out.
  static std::string GetDosOutput(const std::string& command_line, const std::string& working_dir,
                                  bool show_window);

  // Replaces the contents of `windows_captions_list` with the captions of all
  // top-level windows that have one (not only blanks), untrimmed, in the
  // system's order, duplicates kept.
  static void GetWindowsCaptions(std::vector<std::string>& windows_captions_list);

  // True when the engine loader library at `edge_loader_dll_path` reports an
  // installed web view engine: the file exists (links followed), loads as an
  // engine library (platform::OpenNativeEngineLibrary, as the web view
  // component opens it) and its loader gives a non-empty browser version.
  // A library once loaded stays loaded (engine libraries cannot be unloaded).
  static bool CheckEdgeIsInstalled(const std::string& edge_loader_dll_path);

  // Starts `file_path` with `params` (may be empty) with administrator rights
  // (platform::StartupUi::RunAsAdminAndWait), keeps the user interface
  // responsive until it ends, and returns its exit code; 0 when it did not
  // start (missing file, refused elevation).
  static std::uint32_t ShellExecAsAdminAndWait(const std::string& file_path,
                                               const std::string& params);
};

// How CheckEdgeIsInstalled opens a loader library; empty restores the
// platform's (platform::OpenNativeEngineLibrary). Tests only.
void SetEdgeCheckLibraryOpener(platform::EngineLibraryOpener opener);

}  // namespace tessel::shared
