// Class-level helpers over the operating system: special folders, shell
// starts, folder removal, console capture and window captions. The rules that
// are fixed for the product (separators, command lines, the output loop, the
// caption filter) live here; the platform calls go through platform::Os.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/engine.h"
#include "platform/ui.h"

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

  // ---- further system utilities ------------------------------------------------
  // (On Windows, <windows.h> makes CopyFile a macro: code that includes it
  // and calls TSysUtils::CopyFile must #undef it first.)

  // Starts `file_path` with its associated program, no arguments; returns at
  // once. False when it could not be started.
  static bool ShellOpen(const std::string& file_path);

  // Starts a new instance of the running executable and asks this one to end.
  static void RestartApplication();

  // Further special folders, each ending with the separator (a lone one when
  // the system cannot give the folder): roaming app data, program files, and
  // the Windows folder's SystemApps (on Linux, see platform::SystemFolder).
  static std::string GetUserAppDataDirPath();
  static std::string GetProgramFilesDirPath();
  static std::string GetSystemAppsDirPath();

  // The full path of the folder above `path` (relative paths count from the
  // current folder), ending with the separator.
  static std::string GetParentDirPath(const std::string& path);

  // `file_name` joined to `base_dir` when it is relative, then with "." and
  // ".." steps removed by name.
  static std::string ExpandFileNameRelBaseDir(const std::string& file_name,
                                              const std::string& base_dir);

  // Whether `file_name` can name a file (platform::Os::IsValidFilePath).
  static bool IsValidFilePath(const std::string& file_name);

  // The size of the file at `file_path` in bytes; -1 when there is none; 0
  // for a folder.
  static std::int64_t GetSizeOfFile(const std::string& file_path);

  // The sum of the sizes of the files directly in `dir_path` (folders add
  // their entry's 0); subfolders are not descended into.
  static std::int64_t GetSizeOfDir(const std::string& dir_path, bool include_subdirs);

  // Replaces `file_list` with the full paths of the entries directly in
  // `root_dir` that match `file_mask`: its subfolders first (only when
  // `include_dirs`), then its files. Empty when the folder does not exist.
  static void GetDirectoryFiles(const std::string& root_dir, bool include_dirs,
                                std::vector<std::string>& file_list, const std::string& file_mask);

  // The number of subfolders directly in `dir_path`; 0 when it does not exist.
  static std::int64_t GetSubdirectoriesCount(const std::string& dir_path);

  // Whether both last-write times are equal to the millisecond. Throws
  // std::runtime_error when either cannot be read.
  static bool FilesHaveSameDateTime(const std::string& file1_path, const std::string& file2_path);

  // Copies a file, or a folder with everything below it, replacing what is
  // there without asking (platform::Os::CopyFileTo, CopyDirectoryTo). A
  // failed copy leaves no partial target.
  static bool CopyFile(const std::string& from_path, const std::string& to_path);
  static bool CopyDirectory(const std::string& from_dir_path, const std::string& to_dir_path);

  // Removes a leading UTF-8 byte-order mark (EF BB BF) from the file; any
  // other file is left untouched. The shortened file is written beside the
  // original and then replaces it, so a failure leaves the original whole.
  // Throws std::runtime_error("Stream read error") for a file shorter than
  // three bytes, and std::runtime_error when it cannot be opened or written.
  static void RemoveUTFBoomFromFile(const std::string& file_path);

  // The target of a shell link (platform::Os::ShellLinkTarget); empty when
  // there is none.
  static std::string GetLnkFilePath(const std::string& lnk_file_path);

  // Runs `command_line` hidden, waits for it without time-out and returns its
  // exit code; 0 when it could not start.
  static std::uint32_t ExecAndWait(const std::string& command_line);

  // Starts `cmd` in a process group of its own and, when `wait`, waits for
  // it without time-out.
  static void ExecCmd(const std::string& cmd, bool wait);

  // Opens the image `file_path` for editing: Windows starts mspaint.exe from
  // the system folder when it is there; Linux hands the file to the desktop's
  // default program for it (xdg-open).
  static void EditWithMSPaint(const std::string& file_path);

  // Draws the first icon of `file_path` into `bitmap`, which takes its size;
  // false when there is none (platform::Ui::ExtractFileIcon).
  static bool ExtractExeIcon(const std::string& file_path, platform::Bitmap& bitmap);

  // The width in pixels of `str` set in `a_font` on the screen.
  static int TrueFontWidth(const platform::FontSpec& a_font, const std::string& str);

  // A synthetic press and release of the Windows virtual key `virtual_key`.
  static void PressKey(int virtual_key);

  // The machine's name; empty when the system cannot tell.
  static std::string GetComputerNetName();

  // The user's name; "Unknown" when the system cannot tell.
  static std::string GetUserFromWindows();

  // The count with at most two decimals and its unit: above 2^30 in GB,
  // above 2^20 in MB, above 1024 in KB, else in bytes (so exactly 1024 is
  // "1024 bytes"), with the locale's decimal separator and no trailing zeros.
  // Zero is "0 bytes"; a negative count stays in bytes ("-5 bytes").
  static std::string FormatByteSize(std::int64_t bytes);
};

// How CheckEdgeIsInstalled opens a loader library; empty restores the
// platform's (platform::OpenNativeEngineLibrary). Tests only.
void SetEdgeCheckLibraryOpener(platform::EngineLibraryOpener opener);

}  // namespace tessel::shared
