#include <windows.h>

#include <atomic>
#include <string>

#include "platform/file_replace.h"
#include "platform/win32/win32_os.h"

namespace tessel::platform {
namespace {

using Stage = FileReplaceResult::Stage;

// The file a chain of symbolic links ends at; the path itself otherwise, a
// dangling link included.
std::wstring FollowLinks(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return path;
  std::wstring target(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()),
                                           FILE_NAME_NORMALIZED);
  if (length >= target.size()) {
    target.resize(length);
    length = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()),
                                       FILE_NAME_NORMALIZED);
  }
  CloseHandle(handle);
  if (length == 0 || length >= target.size()) return path;
  target.resize(length);
  return target;
}

FileReplaceResult Failure(Stage stage, DWORD code) { return {stage, static_cast<int>(code)}; }

}  // namespace

FileReplaceResult ReplaceFileContent(const std::string& path, std::string_view bytes) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return Failure(Stage::kCreate, ERROR_INVALID_NAME);
  }
  const std::wstring target = FollowLinks(WideFromUtf8(path));
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
