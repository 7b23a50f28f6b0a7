// The operating-system seam: everything the shared units need from the OS that
// differs between Windows and Linux. Platform rules (path separator, absolute
// paths, code pages, MIME database) live here once, never as #ifdef in logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

// One line of the system MIME database: extension with or without its
// leading "." and a MIME type, both as the system stores them.
struct MimeMapping {
  std::string extension;
  std::string mime_type;
};

// Which conventions the platform follows where portable logic has to choose
// (console interpreter, file browser parameters, path rules).
enum class OsFamily { Windows, Posix };

// The user's special folders the utilities ask for.
enum class ShellFolder { LocalAppData, Desktop, Documents };

// Further special folders (see Os::SystemFolderPath).
enum class SystemFolder { RoamingAppData, ProgramFiles, SystemApps, System };

// One entry of a folder listing.
struct DirectoryEntry {
  std::string name;
  bool is_directory = false;
  friend bool operator==(const DirectoryEntry&, const DirectoryEntry&) = default;
};

// Outcome of taking a named single-instance lock.
enum class InstanceLock {
  Acquired,     // this process now holds it, until it ends
  AlreadyHeld,  // a process (this one included) holds it already
  Failed,       // the system could not create or test it
};

// A console command started with its output and error streams in one pipe.
// Destroying it closes the read end and then waits for the process if Wait()
// was not called, so no handle or zombie is left behind. Single owner; use
// from one thread at a time.
class ConsoleProcess {
 public:
  virtual ~ConsoleProcess() = default;

  // Reads up to `max` bytes of the combined output into `buf`, blocking until
  // some arrive. Returns the count, or <= 0 once every holder of the pipe's
  // write end has closed it (or on a read failure).
  virtual int Read(char* buf, int max) = 0;

  // Waits without time-out for the started process itself to end.
  virtual void Wait() = 0;
};

// Which step of StartConsole failed.
enum class ConsoleStartStep { WorkingDir, Program };

// Why StartConsole started nothing: the step and the system's error code
// (errno on Linux, GetLastError() on Windows), whose text ErrorText gives.
struct ConsoleStartError {
  ConsoleStartStep step = ConsoleStartStep::Program;
  int code = 0;
};

class Os {
 public:
  virtual ~Os() = default;

  // Full path of the running executable's file as it was started. Any thread.
  // Empty when the system cannot tell.
  virtual std::string ExecutablePath() const = 0;

  // The folder separator of the platform ('\\' on Windows, '/' on Linux).
  virtual char PathSeparator() const = 0;

  // Decodes text in the system's legacy code page into UTF-8: the ANSI code
  // page on Windows; on Linux the character set of the user's locale
  // (nl_langinfo(CODESET)), which plays the same role. Bytes that cannot be
  // decoded become U+FFFD. Any thread; never fails.
  virtual std::string AnsiToUtf8(std::string_view bytes) const = 0;

  // The system MIME database, first pass: extension -> type, in the system's
  // enumeration order (Windows: "Content Type" values under HKCR\.ext; Linux:
  // /etc/mime.types). Unreadable sources add nothing. Throws
  // std::runtime_error("Invalid data type for '<value name>'") when a value
  // exists but is not a string (Windows only).
  virtual std::vector<MimeMapping> MimeTypesByExtension() const = 0;

  // Second pass: type -> extension, which overrides the first (Windows: the
  // "Extension" values under HKCR\MIME\Database\Content Type; Linux: the
  // shared MIME info globs). Same failure rules.
  virtual std::vector<MimeMapping> ExtensionsByMimeType() const = 0;

  // ---- system utilities --------------------------------------------------
  // Unless told otherwise: call from the UI thread; texts are UTF-8; failures
  // leave the platform's error code for LastErrorCode().

  // The platform's conventions. Any thread.
  virtual OsFamily Family() const = 0;

  // The raw path of a special folder, without a trailing separator added, or
  // empty when the system cannot give it. Windows: SHGetFolderPathW
  // (CSIDL_LOCAL_APPDATA, CSIDL_DESKTOP, CSIDL_PERSONAL). Linux:
  // $XDG_DATA_HOME, else $HOME/.local/share; the XDG user dirs
  // (XDG_DESKTOP_DIR, XDG_DOCUMENTS_DIR in user-dirs.dirs), else $HOME/Desktop
  // and $HOME/Documents.
  virtual std::string ShellFolderPath(ShellFolder which) const = 0;

  // The folder for temporary files, or empty when the system cannot tell.
  // Windows: GetTempPathW in its long form. Linux: $TMPDIR, else /tmp.
  virtual std::string TempPath() const = 0;

  // Removes `path` with everything below it, permanently and without asking;
  // returns when done. Links inside the tree are removed, never followed.
  // False when nothing exists at `path` or anything could not be removed.
  // Windows: one SHFileOperationW FO_DELETE (FOF_SILENT | FOF_NOCONFIRMATION;
  // the shell may show its own error dialog).
  virtual bool RemoveDirectoryTree(const std::string& path) = 0;

  // Starts `file` with its associated program and returns at once; the
  // program runs on by itself. `args` is one argument text. Windows:
  // ShellExecuteW "open" owned by the active window, SW_SHOWNORMAL, true when
  // it answers > 32. Linux: an executable file (or a program found on PATH
  // when `file` holds no '/') is started directly with `args` split into
  // words by shell quoting rules (no shell runs them); an existing file or
  // folder, or an address such as "https://...", goes to xdg-open, `args`
  // ignored. True when the program was started; a nonexistent file is false.
  virtual bool ShellStart(const std::string& file, const std::string& args) = 0;

  // Starts the executable file `file` with `args` (one argument text, split
  // as ShellStart splits it for an executable) and returns at once; the
  // program runs on by itself. Its environment is this process's with
  // `name` set to `value`, and this process's own stays as it was, so no
  // other program it starts sees the variable. False, with nothing started,
  // when `file` is no executable file or `name` is empty or holds '='.
  // Windows: CreateProcessW of `file` with the command line `"file" args`, a
  // copy of the environment block holding the variable and no handles
  // inherited. Linux: as ShellStart starts an executable, with a copy of
  // environ holding the variable.
  virtual bool StartWithVariable(const std::string& file, const std::string& args,
                                 const std::string& name, const std::string& value) = 0;

  // Fills `out` from the system's cryptographically secure random source;
  // false when the source fails (then `out` is not to be used). Windows:
  // BCryptGenRandom with the system's preferred generator. Linux: getrandom.
  // Any thread.
  virtual bool SecureRandom(std::span<std::uint8_t> out) const = 0;

  // Shows the folder that holds `file` in the desktop's file browser with the
  // item selected, returning at once. Windows: explorer.exe /select. Linux:
  // org.freedesktop.FileManager1.ShowItems over D-Bus, else xdg-open on the
  // folder. True when the request was handed over.
  virtual bool ShellShowInFolder(const std::string& file) = 0;

  // Starts a console command with standard output and error both the write
  // end of one pipe and standard input the caller's own. `argv` is the
  // program and its arguments; on Windows they are joined by single blanks
  // into the CreateProcessW command line unchanged, without quoting, since
  // the program parses its own command line there. `working_dir` empty means
  // the caller's current folder; `show_window` is the console window's show
  // state on Windows and ignored elsewhere. The caller keeps no copy of the
  // write end, so Read() ends when the process and everything it started
  // have closed theirs. Null when nothing was started; then `error` (may be
  // null) says which step failed with the system's code for it: a working
  // folder that is missing, no folder, or may not be entered is
  // ConsoleStartStep::WorkingDir, and nothing of the program runs then;
  // everything else (the program missing or not executable, no pipe or
  // process to be had) is ConsoleStartStep::Program. Any thread.
  virtual std::unique_ptr<ConsoleProcess> StartConsole(const std::vector<std::string>& argv,
                                                       const std::string& working_dir,
                                                       bool show_window,
                                                       ConsoleStartError* error) = 0;
  // The same for a caller that needs no reason.
  std::unique_ptr<ConsoleProcess> StartConsole(const std::vector<std::string>& argv,
                                               const std::string& working_dir, bool show_window) {
    return StartConsole(argv, working_dir, show_window, nullptr);
  }

  // Ends every console command started so far and everything each one
  // started, background and detached programs included, at once: their
  // Read() then ends and their Wait() returns. The process's own other
  // children (the engine's processes, ShellStart's programs) are left alone.
  // Commands started afterwards are ended by the next call. Commands also end
  // when this process ends, however it ends where the platform allows (see
  // the architecture notes). Any thread; never blocks on a command.
  virtual void EndConsoleCommands() {}

  // How many bytes at the end of `bytes` begin a character of the legacy code
  // page that is not complete yet, so a reader of a stream in chunks can hold
  // them back for the next chunk. Windows: always 0 (each chunk stands
  // alone). Linux: the unfinished tail of a UTF-8 sequence when the locale's
  // character set is UTF-8, else 0. Any thread.
  virtual std::size_t IncompleteAnsiTail(std::string_view bytes) const = 0;

  // The captions of the desktop's top-level windows in the system's order
  // (topmost first), empty ones included. Windows: EnumWindows and
  // GetWindowTextW. Linux: the children of the X root window by their names
  // (_NET_WM_NAME, else WM_NAME, of the window or the client window inside
  // its frame); empty when there is no display.
  virtual std::vector<std::string> TopLevelWindowCaptions() const = 0;

  // The user's language as a lowercase ISO 639 code, usually two letters;
  // "en" when the system cannot tell. Windows: GetLocaleInfoW
  // (LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME). Linux: the first non-empty
  // of LC_ALL, LC_MESSAGES, LANG, up to '_', '.' or '@'; "C", "POSIX" and
  // anything that is not 2 or 3 ASCII letters count as English ("en").
  virtual std::string LanguageCode() const = 0;

  // Takes the single-instance lock called `name` (any bytes) in one atomic
  // step. It is held until the process ends, however it ends: the system
  // releases it. A second call with the same name in the same process answers
  // AlreadyHeld, as it does across processes. Nothing is created in the file
  // system. An empty name, or one the system cannot use, is Failed. Windows: CreateMutexW named
  // exactly `name`, initially not owned, ERROR_ALREADY_EXISTS means held. Linux: see LinuxOs.
  virtual InstanceLock AcquireInstanceLock(const std::string& name) = 0;

  // Creates the folder `path` with any missing parents. True when it exists
  // as a folder afterwards.
  virtual bool CreateDirectories(const std::string& path) = 0;

  // The value of environment variable `name`; empty when it is not set.
  virtual std::string GetEnv(const std::string& name) const = 0;

  // Sets `name` to `value` in this process's environment, which programs it
  // starts inherit. False for an empty name or one holding '='. Not safe
  // against other threads reading the environment.
  virtual bool SetEnv(const std::string& name, const std::string& value) = 0;

  // Removes `name` from this process's environment, so programs it starts do
  // not inherit it; true also when it was not set. False for an empty name or
  // one holding '='. Not safe against other threads reading the environment.
  virtual bool UnsetEnv(const std::string& name) = 0;

  // The process's command line as UTF-8 texts, the program first. Windows
  // reads it again from GetCommandLineW (argv of main is in the ANSI code
  // page and loses other characters); Linux returns argv as given.
  virtual std::vector<std::string> CommandLineArguments(int argc,
                                                        const char* const* argv) const = 0;

  // Whether `path` names a location without reference to a current folder.
  // Windows: a drive letter with ':' and a separator, or two leading
  // separators (UNC). Posix: a leading '/'. Any thread.
  virtual bool IsAbsolutePath(std::string_view path) const = 0;

  // The calling thread's last platform error code (GetLastError / errno).
  virtual int LastErrorCode() const = 0;

  // The system's text for an error code (FormatMessageW / strerror), without
  // a trailing line break; never empty. Any thread.
  virtual std::string ErrorText(int code) const = 0;

  // ---- further system utilities: folders, files, processes, names ----------
  // Unless told otherwise: call from the UI thread; texts are UTF-8; failures
  // leave the platform's error code for LastErrorCode().

  // The raw path of one more special folder, without a trailing separator,
  // or empty when the system cannot give it. Windows: SHGetFolderPathW
  // (CSIDL_APPDATA, CSIDL_PROGRAM_FILES, CSIDL_SYSTEM; SystemApps is the
  // "SystemApps" folder in CSIDL_WINDOWS). Linux: $XDG_CONFIG_HOME, else
  // $HOME/.config (settings that roam with the user); /opt (self-contained
  // programs); the first "applications" folder of $XDG_DATA_DIRS that exists
  // (default /usr/local/share:/usr/share), else /usr/share/applications;
  // System has no counterpart and is always empty.
  virtual std::string SystemFolderPath(SystemFolder which) const = 0;

  // `path` made absolute against the current folder with "." and ".." steps
  // resolved by name (links are not followed); empty on failure. Windows:
  // GetFullPathNameW. Any thread.
  virtual std::string FullPath(const std::string& path) const = 0;

  // Whether `path` can name a file. Windows: walks from the last component
  // to the first; false when MoveFileW(NULL, rest) reports
  // ERROR_ALREADY_EXISTS or GetFileAttributesW of a component alone reports
  // ERROR_INVALID_NAME. Linux, where a name may hold any byte but NUL and
  // '/': false for the empty path, a NUL byte, a component longer than
  // NAME_MAX bytes or a path of PATH_MAX bytes or more. Any thread.
  virtual bool IsValidFilePath(const std::string& path) const = 0;

  // The size in bytes of the directory entry at `path` (64 bits), 0 for a
  // folder, -1 when nothing is there. Windows: the first entry
  // FindFirstFileW matches (so wildcards are honoured and links are not
  // followed). Linux: stat of the path itself (links followed; no
  // wildcards). Any thread.
  virtual std::int64_t FileEntrySize(const std::string& path) const = 0;

  // The names of the entries directly in `dir` that match `mask` ("*" and
  // "?" wildcards; "*.*" and "*" match every name), without "." and "..",
  // folders flagged; nullopt when `dir` is not a readable folder. Windows:
  // FindFirstFileW of dir\mask, in its order. Linux: fnmatch over readdir,
  // sorted by name. Any thread.
  virtual std::optional<std::vector<DirectoryEntry>> ListDirectory(
      const std::string& dir, const std::string& mask) const = 0;

  // The last-write time of the file or folder at `path` in milliseconds since
  // 1970-01-01 UTC, truncated; nullopt when it cannot be read (missing,
  // malformed path). Windows: GetFileAttributesExW. Any thread.
  virtual std::optional<std::int64_t> LastWriteTimeMs(const std::string& path) const = 0;

  // Copies the file `from` to `to` (into it when `to` is an existing folder),
  // replacing an existing file without asking and keeping the last-write
  // time; returns when done. A failed copy leaves no partial target: the
  // old file, if any, stays as it was. Windows: one SHFileOperationW
  // FO_COPY with FOF_FILESONLY | FOF_NOCONFIRMATION (0x0090), true when it
  // returns 0 and nothing was aborted (the shell may show its own dialogs).
  // Linux: a temporary file beside the target, renamed over it when
  // complete.
  virtual bool CopyFileTo(const std::string& from, const std::string& to) = 0;

  // Copies the folder `from` with everything below it to `to`, or into it
  // as `to`/<name of from> when `to` is an existing folder; existing files
  // are replaced without asking. Windows: one SHFileOperationW FO_COPY with
  // FOF_SILENT | FOF_NOCONFIRMATION | FOF_FILESONLY | FOF_NOCONFIRMMKDIR
  // (0x0294), true as for CopyFileTo. Linux: links are copied as links;
  // a new target is built under a temporary name and renamed into place only
  // when complete; into an existing one each file is replaced whole.
  virtual bool CopyDirectoryTo(const std::string& from, const std::string& to) = 0;

  // The path a shell link at `path` points to; empty when it is no link or
  // names nothing. Windows: IShellLinkW/IPersistFile (STGM_READ),
  // GetPath with SLGP_UNCPRIORITY into MAX_PATH characters; throws
  // std::runtime_error when the shell link object cannot be created.
  // Linux: a symbolic link's target (made absolute against the link's
  // folder); for a .desktop entry of Type=Link its URL (a file: URL as a
  // path), of Type=Application the program of its Exec line.
  virtual std::string ShellLinkTarget(const std::string& path) = 0;

  // Starts `command_line` with a hidden window, waits without time-out and
  // returns its exit code; 0 when it could not start. Windows: CreateProcessW
  // without inheritance or creation flags, STARTF_USESHOWWINDOW and SW_HIDE.
  // Linux: the line is split into words by shell quoting rules (no shell
  // runs it) and the program is looked up on PATH; a process ended by a
  // signal gives 128 + the signal's number, as a shell reports it.
  virtual std::uint32_t RunAndWait(const std::string& command_line) = 0;

  // Starts `command_line` in a process group of its own and, when `wait`,
  // waits without time-out for it. True when it started. Windows:
  // CreateProcessW with CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS
  // (0x220) and a default start record. Linux: words as for RunAndWait; a
  // program not waited for is nobody's child here, so it leaves no zombie.
  virtual bool StartProcess(const std::string& command_line, bool wait) = 0;

  // The machine's name; empty on failure. Windows: GetComputerNameW into 256
  // characters. Linux: the host name (gethostname). Any thread.
  virtual std::string ComputerName() const = 0;

  // The name of the user running this process; nullopt when the system
  // cannot tell. Windows: GetUserNameW into 260 characters. Linux: the
  // password database's name for the effective user id. Any thread.
  virtual std::optional<std::string> UserName() const = 0;

  // The decimal separator of the user's locale. Windows: LOCALE_SDECIMAL of
  // LOCALE_USER_DEFAULT. Linux: the radix character of the locale that the
  // environment selects for LC_NUMERIC. "." when the system cannot tell.
  // Any thread.
  virtual std::string DecimalSeparator() const = 0;
};

// The process-wide OS seam: the real implementation unless a test installed
// another with SetCurrentOs. Not owned by the caller.
Os& CurrentOs();

// Installs `os` as the process-wide seam (tests only); nullptr restores the
// real one. The caller keeps ownership and must outlive its use.
void SetCurrentOs(Os* os);

// The platform's real implementation (chosen by CMake).
std::unique_ptr<Os> MakeNativeOs();

// How many bytes at the end of `bytes` begin a UTF-8 sequence that is not
// complete yet (0 to 3). A malformed tail counts as complete, so it is
// decoded (and replaced) rather than held back forever.
std::size_t Utf8IncompleteTail(std::string_view bytes);

}  // namespace tessel::platform
