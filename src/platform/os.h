// The operating-system seam: everything the shared units need from the OS that
// differs between Windows and Linux. Platform rules (path separator, absolute
// paths, code pages, MIME database) live here once, never as #ifdef in logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
  // have closed theirs. Null when the process could not be started (the
  // working folder missing included). Any thread.
  virtual std::unique_ptr<ConsoleProcess> StartConsole(const std::vector<std::string>& argv,
                                                       const std::string& working_dir,
                                                       bool show_window) = 0;

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
