#include "shared/sys_utils.h"

#include <cstring>

#include "platform/file_io.h"
#include "platform/os.h"
#include "platform/ui_startup.h"

namespace tessel::shared {
namespace {

using platform::CurrentOs;
using platform::OsFamily;
using platform::ShellFolder;

// Callers append names directly, so every folder ends with the separator; a
// failed lookup thereby becomes a lone separator.
std::string WithTrailingSeparator(std::string path) {
  const char sep = CurrentOs().PathSeparator();
  if (path.empty() || path.back() != sep) path.push_back(sep);
  return path;
}

std::string FolderPath(ShellFolder which) {
  return WithTrailingSeparator(CurrentOs().ShellFolderPath(which));
}

// Code units up to U+0020 are exactly the UTF-8 bytes up to 0x20: every byte
// of a multi-byte sequence is 0x80 or above, so testing bytes gives the same
// answer as testing the caption's UTF-16 code units.
bool IsBlankCaption(const std::string& caption) {
  for (const char c : caption) {
    if (static_cast<unsigned char>(c) > 0x20) return false;
  }
  return true;
}

platform::EngineLibraryOpener& EdgeCheckOpener() {
  static platform::EngineLibraryOpener opener;
  return opener;
}

}  // namespace

std::string TSysUtils::GetLocalAppDataDirPath() { return FolderPath(ShellFolder::LocalAppData); }

std::string TSysUtils::GetUserDesktopDirPath() { return FolderPath(ShellFolder::Desktop); }

std::string TSysUtils::GetUserDocumentsDirPath() { return FolderPath(ShellFolder::Documents); }

std::string TSysUtils::GetTempDirPath() { return WithTrailingSeparator(CurrentOs().TempPath()); }

bool TSysUtils::DeleteDirectory(const std::string& dir_path) {
  // An empty path would leave the shell to guess a folder; never delete one.
  if (dir_path.empty()) return false;
  return CurrentOs().RemoveDirectoryTree(dir_path);
}

bool TSysUtils::ShellExec(const std::string& file_path, const std::string& arguments) {
  return CurrentOs().ShellStart(file_path, arguments);
}

bool TSysUtils::ShellExplore(const std::string& file_path) {
  platform::Os& os = CurrentOs();
  if (os.Family() == OsFamily::Windows) {
    // The quotes keep a path with blanks one item for the explorer.
    return os.ShellStart("explorer.exe", "/select, \"" + file_path + "\"");
  }
  return os.ShellShowInFolder(file_path);
}

std::string TSysUtils::GetDosOutput(const std::string& command_line, const std::string& working_dir,
                                    bool show_window) {
  platform::Os& os = CurrentOs();
  const std::vector<std::string> argv =
      os.Family() == OsFamily::Windows ? std::vector<std::string>{"cmd.exe", "/C", command_line}
                                       : std::vector<std::string>{"/bin/sh", "-c", command_line};
  std::string result;
  const std::unique_ptr<platform::ConsoleProcess> child =
      os.StartConsole(argv, working_dir, show_window);
  if (!child) return result;

  constexpr int kChunk = 255;
  char buf[kChunk + 1];
  // Bytes of a character that a chunk boundary cut in two wait here for the
  // rest (only where the seam reports such tails; Windows converts each chunk
  // by itself).
  std::string pending;
  for (;;) {
    const int n = child->Read(buf, kChunk);
    if (n <= 0) break;
    buf[n] = '\0';
    const std::size_t len = std::strlen(buf);  // a NUL cuts off the rest of its chunk
    pending.append(buf, len);
    // After a cut the following bytes are no continuation of these.
    const std::size_t hold = len < static_cast<std::size_t>(n) ? 0 : os.IncompleteAnsiTail(pending);
    result += os.AnsiToUtf8(std::string_view(pending).substr(0, pending.size() - hold));
    pending.erase(0, pending.size() - hold);
  }
  if (!pending.empty()) result += os.AnsiToUtf8(pending);
  child->Wait();
  return result;
}

void TSysUtils::GetWindowsCaptions(std::vector<std::string>& windows_captions_list) {
  std::vector<std::string> captions;
  for (std::string& caption : CurrentOs().TopLevelWindowCaptions()) {
    if (!IsBlankCaption(caption)) captions.push_back(std::move(caption));
  }
  windows_captions_list = std::move(captions);
}

bool TSysUtils::CheckEdgeIsInstalled(const std::string& edge_loader_dll_path) {
  if (platform::KindOfPath(edge_loader_dll_path) == platform::PathKind::kNone) return false;
  std::shared_ptr<platform::EngineLoader> loader;
  platform::HRESULT hr = platform::kEFail;
  try {
    const platform::EngineLibraryOpener& opener = EdgeCheckOpener();
    hr = opener ? opener(edge_loader_dll_path, &loader)
                : platform::OpenNativeEngineLibrary(edge_loader_dll_path, &loader);
  } catch (...) {
    hr = platform::kEFail;
  }
  if (platform::Failed(hr) || !loader) return false;
  // Only the version decides; the status the call returns is not examined.
  std::string version;
  loader->GetCoreWebView2BrowserVersionString(&version);
  return !version.empty() && version.front() != '\0';
}

std::uint32_t TSysUtils::ShellExecAsAdminAndWait(const std::string& file_path,
                                                 const std::string& params) {
  return platform::CurrentStartupUi().RunAsAdminAndWait(file_path, params);
}

void SetEdgeCheckLibraryOpener(platform::EngineLibraryOpener opener) {
  EdgeCheckOpener() = std::move(opener);
}

}  // namespace tessel::shared
