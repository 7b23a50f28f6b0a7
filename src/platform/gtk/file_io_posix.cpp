#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"

namespace tessel::platform {

FileHandle OpenFile(const std::string& path, const char* mode) {
  if (path.find('\0') != std::string::npos) {
    errno = EINVAL;
    return nullptr;
  }
  return FileHandle(std::fopen(path.c_str(), mode));
}

namespace {

// The stream over `fd`, or null with `fd` closed.
FileHandle Adopt(int fd, const char* mode) {
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return FileHandle(file);
}

}  // namespace

FileHandle CreatePrivateFile(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  // The umask may only take bits away; this puts back none it took.
  if (fd >= 0) fchmod(fd, S_IRUSR | S_IWUSR);
  return Adopt(fd, "wb");
}

FileHandle OpenPrivateFile(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    close(fd);
    errno = EACCES;
    return nullptr;
  }
  return Adopt(fd, "rb");
}

std::optional<std::int64_t> OpenFileWriteTimeMs(std::FILE* file) {
  struct stat info {};
  if (std::fflush(file) != 0 || fstat(fileno(file), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

bool SeekFile(std::FILE* file, std::uint64_t offset) {
  return offset <= static_cast<std::uint64_t>(INT64_MAX) &&
         fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> OpenFileSize(std::FILE* file) {
  struct stat info {};
  if (std::fflush(file) != 0 || fstat(fileno(file), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

bool ResizeOpenFile(std::FILE* file, std::uint64_t size) {
  return size <= static_cast<std::uint64_t>(INT64_MAX) && std::fflush(file) == 0 &&
         ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool WriteToFile(std::FILE* file, std::string_view bytes) {
  return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

PathKind KindOfPath(const std::string& path) {
  struct stat info {};
  if (path.find('\0') != std::string::npos || stat(path.c_str(), &info) != 0) {
    return PathKind::kNone;
  }
  if (S_ISREG(info.st_mode)) return PathKind::kFile;
  if (S_ISDIR(info.st_mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

bool IsRealDirectory(const std::string& path) {
  struct stat info {};
  return path.find('\0') == std::string::npos && lstat(path.c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

std::optional<std::uint64_t> RegularFileSize(const std::string& path) {
  struct stat info {};
  if (path.find('\0') != std::string::npos || stat(path.c_str(), &info) != 0 ||
      !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

bool RemoveFile(const std::string& path) {
  struct stat info {};
  if (path.find('\0') != std::string::npos || lstat(path.c_str(), &info) != 0 ||
      S_ISDIR(info.st_mode)) {
    return false;
  }
  return unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) return false;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void SetOwnerOnlyExecutable(const std::string& path) {
  if (path.find('\0') == std::string::npos) chmod(path.c_str(), S_IRWXU);
}

bool CreateDirectoryPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  if (KindOfPath(path) == PathKind::kDirectory) return true;
  const std::string parent = ParentPath(path);
  if (!parent.empty() && parent.size() < path.size()) CreateDirectoryPath(parent);
  mkdir(path.c_str(), 0777);
  return KindOfPath(path) == PathKind::kDirectory;
}

std::string ParentPath(std::string_view path) {
  const std::size_t root = path.starts_with('/') ? path.find_first_not_of('/') : 0;
  if (root == std::string_view::npos) return std::string(path);  // only the root
  const std::size_t last = path.rfind('/');
  if (last == std::string_view::npos || last < root) return std::string(path.substr(0, root));
  std::size_t end = last;
  while (end > root && path[end - 1] == '/') --end;
  return std::string(path.substr(0, end));
}

}  // namespace tessel::platform
