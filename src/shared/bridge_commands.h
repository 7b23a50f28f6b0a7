// What the bridge commands need from the rest of the program, and the rules
// of theirs that stand on their own. The main window implements IAppWindow;
// each platform implements IFileDialogs. The commands themselves are members
// of TBrowserExternalModule (browser_external_module.h), one source file per
// family: bridge_commands_dialogs.cpp, _files, _app, _shell.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

// --- dialogs -------------------------------------------------------------------

// One entry of a file dialog's type list, e.g. {"Text files", "*.txt"}.
struct TFileType {
  std::string display_name;
  std::string mask;
  friend bool operator==(const TFileType&, const TFileType&) = default;
};

// Everything a dialog command sets on the platform's dialog for one showing.
struct TFileDialogRequest {
  std::string file_name;              // initial name; empty leaves the field empty
  std::string title;                  // empty: the platform's own default title
  std::vector<TFileType> file_types;  // empty: no type filter at all
  // The preselected type, counted from 1. The dialog writes back the type
  // selected when it closed (confirmed or not), so the next showing starts
  // there. An index beyond the list preselects the first type.
  std::size_t file_type_index = 1;
  bool overwrite_prompt = false;  // save dialog only: ask before replacing a file
};

// The platform's own modal file dialogs (Windows common item dialogs, GTK file
// chooser). UI thread only; owned by the bridge module. Neither method throws.
// No option other than the overwrite prompt is set, so the platform's
// defaults apply (the folder shown first is the platform's choice).
class IFileDialogs {
 public:
  virtual ~IFileDialogs() = default;

  // Shows the open dialog owned by the active window and returns when it is
  // closed: the full path of the chosen file, or nullopt when the user
  // cancelled or the dialog could not be shown. Updates
  // request.file_type_index as described there. The toolkit's modal loop may
  // dispatch further web messages while the dialog is open.
  virtual std::optional<std::string> OpenFile(TFileDialogRequest& request) = 0;

  // The same for the save dialog, with request.overwrite_prompt honoured.
  virtual std::optional<std::string> SaveFile(TFileDialogRequest& request) = 0;
};

// The type list of the `fileTypes` argument: items split at every ";", each
// item split at every "|"; items that give exactly two parts become types, in
// order, empty parts included ("|*.txt" is a type without a name).
std::vector<TFileType> ParseFileTypes(std::string_view file_types);

// --- app and window ------------------------------------------------------------

enum class TWindowState { Normal, Minimized, Maximized };

// The main window as the app and window commands see it. UI thread only. Each
// setter changes the existing native window in place (the web view inside is
// not re-created).
class IAppWindow {
 public:
  virtual ~IAppWindow() = default;

  // Border style numbered as the "WindowBorder" setting: 0 none, 1 single,
  // 2 sizeable, 3 dialog, 4 tool window, 5 sizeable tool window. Other values
  // are handed on as read from the settings; the window treats them as it
  // treats that setting at start-up.
  virtual void SetBorderStyle(int border_style) = 0;

  // The current state; a borderless maximized (full screen) window is
  // Maximized.
  virtual TWindowState WindowState() const = 0;
  virtual void SetWindowState(TWindowState state) = 0;

  // Stacking: true while the window stays on top of ordinary windows.
  virtual bool StayOnTop() const = 0;
  virtual void SetStayOnTop(bool stay_on_top) = 0;

  // The window title (caption).
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
};

// --- files and folders ------------------------------------------------------------

// A path from a page, made usable: an absolute path (the OS seam's rule) is
// kept unchanged, slashes included; any other path has every "/" replaced by
// the platform's separator and is appended to `app_dir_path` (which ends with
// a separator) with nothing removed or inserted; "." and ".." stay.
std::string ResolveAppPath(std::string_view path, std::string_view app_dir_path);

// The bytes of a text file written for a page: the UTF-8 byte-order mark,
// then every line of `contents` (cut at CR LF, lone CR and lone LF) followed by
// CR LF. A final line break adds no empty line; empty contents give the mark
// alone.
std::string TextFileBytes(std::string_view contents);

// The folder of the running executable up to and including its last
// separator; empty when the system cannot tell.
std::string AppExecutableDir();

// --- shell -------------------------------------------------------------------------

// The system's message for error `code` without trailing white space,
// control characters or full stops, as shell failures report it.
std::string SystemErrorMessage(int code);

// What a console command printed, or why it never ran.
struct TConsoleResult {
  bool started = false;
  // Everything written to its output and error streams, NUL bytes included,
  // decoded from the system's legacy code page as one text (a character
  // split across reads stays whole).
  std::string output;
  // When it did not start: "cannot enter the folder '<dir>': <reason>" or
  // "cannot start '<program>': <reason>", with the system's reason.
  std::string error;
};

// Runs `command` through the platform's command interpreter ("cmd.exe /C"
// on Windows, "/bin/sh -c" elsewhere) in `working_dir` (empty: the current
// folder) and returns once it has ended. Any thread.
TConsoleResult RunConsoleCommand(const std::string& command, const std::string& working_dir,
                                 bool show_window);

// `items` as a JSON array of string literals, "," between them, no blanks.
std::string JsonStringArray(const std::vector<std::string>& items);

}  // namespace tessel::shared
