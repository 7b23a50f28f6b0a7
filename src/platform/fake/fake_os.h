// A deterministic OS seam for unit tests: every answer is a public field the
// test sets, and every action is recorded. Obeys the contract of platform::Os.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>

#include "platform/os.h"

namespace tessel::platform {

class FakeOs : public Os {
 public:
  std::string executable_path;
  char path_separator = '/';
  std::vector<MimeMapping> mime_types_by_extension;
  std::vector<MimeMapping> extensions_by_mime_type;

  std::string ExecutablePath() const override { return executable_path; }
  char PathSeparator() const override { return path_separator; }
  // Latin-1 stands in for a legacy code page: deterministic on every machine.
  // With `ansi_is_utf8` the code page is UTF-8 instead: valid sequences pass,
  // anything else becomes U+FFFD.
  std::string AnsiToUtf8(std::string_view bytes) const override;
  std::vector<MimeMapping> MimeTypesByExtension() const override { return mime_types_by_extension; }
  std::vector<MimeMapping> ExtensionsByMimeType() const override { return extensions_by_mime_type; }

  // ---- system utilities ----
  struct ShellStartCall {
    std::string file;
    std::string args;
  };
  struct ConsoleCall {
    std::vector<std::string> argv;
    std::string working_dir;
    bool show_window = false;
  };

  OsFamily family = OsFamily::Posix;
  std::string local_app_data_path;
  std::string desktop_path;
  std::string documents_path;
  std::string temp_path;

  bool remove_directory_result = true;
  std::vector<std::string> removed_directories;

  bool shell_start_result = true;
  std::vector<ShellStartCall> shell_starts;
  // StartWithVariable records each start with a valid name; the fake's own
  // `environment` never sees the variable.
  struct VariableStartCall {
    std::string file;
    std::string args;
    std::string name;
    std::string value;
  };
  bool start_with_variable_result = true;
  std::vector<VariableStartCall> variable_starts;
  // SecureRandom hands out consecutive bytes from `next_random_byte` on
  // (wrapping at 256), so every call differs from the last; none when
  // `secure_random_fails`.
  bool secure_random_fails = false;
  mutable std::uint8_t next_random_byte = 0;
  bool show_in_folder_result = true;
  std::vector<std::string> shown_in_folder;

  // Each StartConsole records its call; when `console_start_fails` it starts
  // nothing and reports `console_start_error`, otherwise the child's Read()
  // hands out `console_output` chunk by chunk (a chunk longer than asked for
  // over several reads), then reports the end. The child counts its Wait()
  // calls in `console_waits`; it must not outlive the fake.
  bool console_start_fails = false;
  ConsoleStartError console_start_error;
  std::vector<std::string> console_output;
  std::vector<ConsoleCall> console_starts;
  int console_waits = 0;

  bool ansi_is_utf8 = false;
  std::vector<std::string> window_captions;
  std::string language_code = "en";

  bool instance_lock_fails = false;
  std::set<std::string> held_instance_locks;

  bool create_directories_result = true;
  std::vector<std::string> created_directories;

  std::map<std::string, std::string> environment;
  // Answered instead of argv when set (the re-read command line on Windows).
  std::optional<std::vector<std::string>> command_line_arguments;
  int last_error_code = 0;

  OsFamily Family() const override { return family; }
  std::string ShellFolderPath(ShellFolder which) const override;
  std::string TempPath() const override { return temp_path; }
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
  std::size_t IncompleteAnsiTail(std::string_view bytes) const override;
  std::vector<std::string> TopLevelWindowCaptions() const override { return window_captions; }
  std::string LanguageCode() const override { return language_code; }
  InstanceLock AcquireInstanceLock(const std::string& name) override;
  bool CreateDirectories(const std::string& path) override;
  std::string GetEnv(const std::string& name) const override;
  bool SetEnv(const std::string& name, const std::string& value) override;
  bool UnsetEnv(const std::string& name) override;
  std::vector<std::string> CommandLineArguments(int argc, const char* const* argv) const override;
  bool IsAbsolutePath(std::string_view path) const override;
  int LastErrorCode() const override { return last_error_code; }
  std::string ErrorText(int code) const override { return "error " + std::to_string(code); }

  // ---- further system utilities ----
  // Folders, entries and times are looked up by the exact path text; the
  // file system itself is never touched.
  struct CopyCall {
    std::string from;
    std::string to;
  };
  struct ProcessCall {
    std::string command_line;
    bool wait = false;
  };

  std::map<SystemFolder, std::string> system_folders;
  std::string current_dir = "/cwd";  // FullPath's base for relative paths
  bool valid_file_path_result = true;
  std::map<std::string, std::int64_t> entry_sizes;
  std::map<std::string, std::vector<DirectoryEntry>> directories;
  std::map<std::string, std::int64_t> write_times_ms;
  bool copy_result = true;
  std::vector<CopyCall> copied_files;
  std::vector<CopyCall> copied_directories;
  std::map<std::string, std::string> link_targets;
  std::uint32_t run_exit_code = 0;
  std::vector<std::string> runs;
  bool start_process_result = true;
  std::vector<ProcessCall> started_processes;
  std::string computer_name;
  std::optional<std::string> user_name;
  std::string decimal_separator = ".";

  std::string SystemFolderPath(SystemFolder which) const override;
  // Joins a relative path to `current_dir` and resolves "." and ".." by name
  // ('\\' separates too for the Windows family).
  std::string FullPath(const std::string& path) const override;
  bool IsValidFilePath(const std::string& /*path*/) const override {
    return valid_file_path_result;
  }
  std::int64_t FileEntrySize(const std::string& path) const override;
  // The entries of `dir` whose names match `mask` ('*' and '?'; "*.*" is all).
  std::optional<std::vector<DirectoryEntry>> ListDirectory(const std::string& dir,
                                                           const std::string& mask) const override;
  std::optional<std::int64_t> LastWriteTimeMs(const std::string& path) const override;
  bool CopyFileTo(const std::string& from, const std::string& to) override;
  bool CopyDirectoryTo(const std::string& from, const std::string& to) override;
  std::string ShellLinkTarget(const std::string& path) override;
  std::uint32_t RunAndWait(const std::string& command_line) override;
  bool StartProcess(const std::string& command_line, bool wait) override;
  std::string ComputerName() const override { return computer_name; }
  std::optional<std::string> UserName() const override { return user_name; }
  std::string DecimalSeparator() const override { return decimal_separator; }
};

std::unique_ptr<FakeOs> MakeFakeOs();

// Installs an OS seam for the lifetime of a scope.
class ScopedOs {
 public:
  explicit ScopedOs(Os& os) { SetCurrentOs(&os); }
  ~ScopedOs() { SetCurrentOs(nullptr); }
  ScopedOs(const ScopedOs&) = delete;
  ScopedOs& operator=(const ScopedOs&) = delete;
};

}  // namespace tessel::platform
