#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Where the root ends: "C:", "C:\", "\\server\share\", "\".
std::size_t RootLength(std::string_view path) {
  std::size_t root = 0;
  if (path.size() >= 2 && path[1] == ':') {
    root = 2;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    // A UNC name: its server and share are the root.
    std::size_t at = path.find_first_of("/\\", 2);
    if (at != std::string_view::npos) at = path.find_first_of("/\\", at + 1);
    root = at == std::string_view::npos ? path.size() : at;
  }
  while (root < path.size() && IsSeparator(path[root])) ++root;
  return root;
}

// The attributes and size of what `path` names, links followed.
std::optional<BY_HANDLE_FILE_INFORMATION> Query(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  const std::wstring wide = WideFromUtf8(path);
  HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle != INVALID_HANDLE_VALUE) {
    const BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (ok) return info;
  }
  // A file another process holds without sharing still has its entry.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return std::nullopt;
  }
  info.dwFileAttributes = data.dwFileAttributes;
  info.nFileSizeHigh = data.nFileSizeHigh;
  info.nFileSizeLow = data.nFileSizeLow;
  return info;
}

DWORD Attributes(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesW(WideFromUtf8(path).c_str());
}

}  // namespace

FileHandle OpenFile(const std::string& path, const char* mode) {
  if (path.find('\0') != std::string::npos) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return FileHandle(_wfopen(WideFromUtf8(path).c_str(), wide_mode.c_str()));
}

FileHandle CreatePrivateFile(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  // CREATE_NEW fails on any entry, a link included, and follows none.
  const HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return FileHandle(file);
}

FileHandle OpenPrivateFile(const std::string& path) { return OpenFile(path, "rb"); }

std::optional<std::int64_t> OpenFileWriteTimeMs(std::FILE* file) {
  FILETIME written{};
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (std::fflush(file) != 0 || handle == INVALID_HANDLE_VALUE ||
      !GetFileTime(handle, nullptr, nullptr, &written)) {
    return std::nullopt;
  }
  const std::int64_t ticks =
      (static_cast<std::int64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  // 100-nanosecond ticks since 1601 to milliseconds since 1970.
  return ticks / 10000 - 11644473600000LL;
}

bool SeekFile(std::FILE* file, std::uint64_t offset) {
  return offset <= static_cast<std::uint64_t>(INT64_MAX) &&
         _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> OpenFileSize(std::FILE* file) {
  if (std::fflush(file) != 0) return std::nullopt;
  const __int64 size = _filelengthi64(_fileno(file));
  if (size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

bool ResizeOpenFile(std::FILE* file, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(INT64_MAX) || std::fflush(file) != 0) return false;
  return _chsize_s(_fileno(file), static_cast<__int64>(size)) == 0;
}

bool WriteToFile(std::FILE* file, std::string_view bytes) {
  return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

PathKind KindOfPath(const std::string& path) {
  const std::optional<BY_HANDLE_FILE_INFORMATION> info = Query(path);
  if (!info) return PathKind::kNone;
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kDirectory;
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::kOther;
  return PathKind::kFile;
}

bool IsRealDirectory(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::optional<std::uint64_t> RegularFileSize(const std::string& path) {
  const std::optional<BY_HANDLE_FILE_INFORMATION> info = Query(path);
  if (!info || (info->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return std::nullopt;
  }
  return (static_cast<std::uint64_t>(info->nFileSizeHigh) << 32) | info->nFileSizeLow;
}

bool RemoveFile(const std::string& path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const std::wstring wide = WideFromUtf8(path);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // A link to a folder goes; the folder it names stays.
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && RemoveDirectoryW(wide.c_str());
  }
  return DeleteFileW(wide.c_str()) != 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) return false;
  return MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

void SetOwnerOnlyExecutable(const std::string& /*path*/) {}

bool CreateDirectoryPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  if (KindOfPath(path) == PathKind::kDirectory) return true;
  const std::string parent = ParentPath(path);
  if (!parent.empty() && parent.size() < path.size()) CreateDirectoryPath(parent);
  CreateDirectoryW(WideFromUtf8(path).c_str(), nullptr);
  return KindOfPath(path) == PathKind::kDirectory;
}

std::string ParentPath(std::string_view path) {
  const std::size_t root = RootLength(path);
  if (root >= path.size()) return std::string(path);  // only the root
  std::size_t last = path.size();
  while (last > root && !IsSeparator(path[last - 1])) --last;
  if (last == root) return std::string(path.substr(0, root));
  std::size_t end = last - 1;
  while (end > root && IsSeparator(path[end - 1])) --end;
  return std::string(path.substr(0, end));
}

}  // namespace tessel::platform
