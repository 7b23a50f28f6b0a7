// The Linux implementation of the OS seam (POSIX, XDG). Private to platform/gtk.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/os.h"

namespace tessel::platform {

// $HOME, else the password database's home folder; empty when neither says.
std::string HomeDir();

// The variable's value; empty when it is not set.
std::string Env(const char* name);

// A path from UTF-8 text, byte for byte.
std::filesystem::path Utf8Path(const std::string& text);

// Where PATH finds an executable called `name` (or `name` itself when it holds
// a '/'); empty when nowhere. An unset PATH means the usual system folders.
std::string ProgramPath(const std::string& name);

// The argument vector of execve over `args`, null-terminated; points into
// `args`, which must outlive it.
std::vector<char*> CArgv(std::vector<std::string>& args);

class LinuxOs : public Os {
 public:
  std::string ExecutablePath() const override;
  char PathSeparator() const override { return '/'; }
  std::string AnsiToUtf8(std::string_view bytes) const override;
  std::vector<MimeMapping> MimeTypesByExtension() const override;  // mime_db_linux.cpp
  std::vector<MimeMapping> ExtensionsByMimeType() const override;  // mime_db_linux.cpp

  OsFamily Family() const override { return OsFamily::Posix; }
  std::string ShellFolderPath(ShellFolder which) const override;
  std::string TempPath() const override;
  bool RemoveDirectoryTree(const std::string& path) override;
  bool ShellStart(const std::string& file, const std::string& args) override;
  bool StartWithVariable(const std::string& file, const std::string& args, const std::string& name,
                         const std::string& value) override;
  bool SecureRandom(std::span<std::uint8_t> out) const override;
  bool ShellShowInFolder(const std::string& file) override;
  using Os::StartConsole;
  std::unique_ptr<ConsoleProcess> StartConsole(const std::vector<std::string>& argv,
                                               const std::string& working_dir, bool show_window,
                                               ConsoleStartError* error) override;
  void EndConsoleCommands() override;
  std::size_t IncompleteAnsiTail(std::string_view bytes) const override;
  std::vector<std::string> TopLevelWindowCaptions() const override;
  std::string LanguageCode() const override;
  // The lock is an abstract-namespace unix socket bound to
  // "\0tessel-instance/<uid>/<name>" (a 64-bit hash of the name stands in
  // when the name does not fit the socket address). Binding is atomic, the
  // name never reaches the file system, and the kernel frees it when the
  // process dies. It is visible to every process of the same network
  // namespace.
  InstanceLock AcquireInstanceLock(const std::string& name) override;
  bool CreateDirectories(const std::string& path) override;
  std::string GetEnv(const std::string& name) const override;
  bool SetEnv(const std::string& name, const std::string& value) override;
  bool UnsetEnv(const std::string& name) override;
  std::vector<std::string> CommandLineArguments(int argc, const char* const* argv) const override;
  bool IsAbsolutePath(std::string_view path) const override {
    return !path.empty() && path.front() == '/';
  }
  int LastErrorCode() const override;
  std::string ErrorText(int code) const override;

  // Further system utilities (os_linux_files.cpp).
  std::string SystemFolderPath(SystemFolder which) const override;
  std::string FullPath(const std::string& path) const override;
  bool IsValidFilePath(const std::string& path) const override;
  std::int64_t FileEntrySize(const std::string& path) const override;
  std::optional<std::vector<DirectoryEntry>> ListDirectory(const std::string& dir,
                                                           const std::string& mask) const override;
  std::optional<std::int64_t> LastWriteTimeMs(const std::string& path) const override;
  bool CopyFileTo(const std::string& from, const std::string& to) override;
  bool CopyDirectoryTo(const std::string& from, const std::string& to) override;
  std::string ShellLinkTarget(const std::string& path) override;
  std::uint32_t RunAndWait(const std::string& command_line) override;
  bool StartProcess(const std::string& command_line, bool wait) override;
  std::string ComputerName() const override;
  std::optional<std::string> UserName() const override;
  std::string DecimalSeparator() const override;
};

// Splits an argument text into words the way a POSIX shell quotes them, with
// no expansion of any kind: blanks separate words; '...' is literal; "..."
// keeps blanks and lets a backslash escape only $ ` " \ and a line break; a
// backslash outside quotes escapes the next character. An unterminated quote
// runs to the end of the text.
std::vector<std::string> SplitShellWords(std::string_view text);

// The value of `key` (such as "XDG_DOCUMENTS_DIR") in the text of a
// user-dirs.dirs file, with a leading $HOME replaced by `home`; empty when the
// key is absent or its value is neither absolute nor below $HOME.
std::string ParseUserDirsFile(std::string_view text, std::string_view key, const std::string& home);

// What a .desktop entry points to: the URL of a Type=Link entry (a file: URL
// decoded to its path), the program of a Type=Application entry's Exec line;
// empty otherwise. `text` is the file's content.
std::string DesktopEntryTarget(std::string_view text);

// The value of `key` in the [Desktop Entry] group of a .desktop file's text;
// empty when absent.
std::string DesktopEntryValue(std::string_view text, std::string_view key);

}  // namespace tessel::platform
