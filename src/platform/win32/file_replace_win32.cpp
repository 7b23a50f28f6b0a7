#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_replace.h"
#include "platform/win32/win32_os.h"

namespace tessel::platform {
namespace {

using Stage = FileReplaceResult::Stage;

// The file a chain of symbolic links ends at; the path itself otherwise.
std::wstring FollowLinks(std::filesystem::path path) {
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(path, ec); ++hops) {
    const std::filesystem::path next = std::filesystem::read_symlink(path, ec);
    if (ec) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path.wstring();
}

FileReplaceResult Failure(Stage stage, DWORD code) { return {stage, static_cast<int>(code)}; }

}  // namespace

FileReplaceResult ReplaceFileContent(const std::string& path, std::string_view bytes) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return Failure(Stage::kCreate, ERROR_INVALID_NAME);
  }
  const std::wstring target = FollowLinks(std::filesystem::path(WideFromUtf8(path)));
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Failure(Stage::kCreate, ERROR_ACCESS_DENIED);
    }
    // Replacing would drop the read-only mark a plain write respects.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
      return Failure(Stage::kCreate, ERROR_ACCESS_DENIED);
  }

  static std::atomic<unsigned> counter{0};
  const std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                            std::to_wstring(++counter) + L".tmp";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failure(Stage::kCreate, GetLastError());

  DWORD error = ERROR_SUCCESS;
  std::string_view rest = bytes;
  while (error == ERROR_SUCCESS && !rest.empty()) {
    const DWORD chunk = rest.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest.size());
    DWORD written = 0;
    if (!WriteFile(file, rest.data(), chunk, &written, nullptr) || written == 0) {
      error = GetLastError();
      if (error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
      break;
    }
    rest.remove_prefix(written);
  }
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) error = GetLastError();
  CloseHandle(file);
  if (error == ERROR_SUCCESS && !MoveFileExW(temp.c_str(), target.c_str(),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    DeleteFileW(temp.c_str());
    return Failure(Stage::kWrite, error);
  }
  return {};
}

int InvalidPathErrorCode() { return ERROR_INVALID_NAME; }

}  // namespace tessel::platform
