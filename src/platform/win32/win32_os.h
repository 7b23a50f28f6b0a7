// The Windows implementation of the OS seam. Private to platform/win32.
#pragma once

#include "platform/os.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {

class Win32Os : public Os {
 public:
  std::string ExecutablePath() const override;
  char PathSeparator() const override { return '\\'; }
  std::string AnsiToUtf8(std::string_view bytes) const override;
  std::vector<MimeMapping> MimeTypesByExtension() const override;  // mime_db_win32.cpp
  std::vector<MimeMapping> ExtensionsByMimeType() const override;  // mime_db_win32.cpp

  OsFamily Family() const override { return OsFamily::Windows; }
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
  std::size_t IncompleteAnsiTail(std::string_view /*bytes*/) const override { return 0; }
  std::vector<std::string> TopLevelWindowCaptions() const override;
  std::string LanguageCode() const override;
  InstanceLock AcquireInstanceLock(const std::string& name) override;
  bool CreateDirectories(const std::string& path) override;
  std::string GetEnv(const std::string& name) const override;
  bool SetEnv(const std::string& name, const std::string& value) override;
  bool UnsetEnv(const std::string& name) override;
  std::vector<std::string> CommandLineArguments(int argc, const char* const* argv) const override;
  bool IsAbsolutePath(std::string_view path) const override;
  int LastErrorCode() const override;
  std::string ErrorText(int code) const override;

  // Further system utilities (os_win32_files.cpp).
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

}  // namespace tessel::platform
