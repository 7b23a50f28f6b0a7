#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_replace.h"

namespace tessel::platform {
namespace {

using Stage = FileReplaceResult::Stage;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a chain of symbolic links ends at (the path itself when it is no
// link); a dangling link gives the path it names.
bool FollowLinks(std::string path, std::string* target) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = path;
      return true;
    }
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size() - 1);
    if (length < 0) return false;
    std::string next(buffer.data(), static_cast<std::size_t>(length));
    if (!next.starts_with('/')) next = DirectoryOf(path).append("/").append(next);
    path = std::move(next);
  }
  errno = ELOOP;
  return false;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

FileReplaceResult Failure(Stage stage, int code) { return {stage, code}; }

}  // namespace

FileReplaceResult ReplaceFileContent(const std::string& path, std::string_view bytes) {
  if (path.empty() || path.find('\0') != std::string::npos) return Failure(Stage::kCreate, EINVAL);
  std::string target;
  if (!FollowLinks(path, &target)) return Failure(Stage::kCreate, errno);

  struct stat existing {};
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (exists) {
    if (S_ISDIR(existing.st_mode)) return Failure(Stage::kCreate, EISDIR);
    // Renaming would replace a file that may not be written.
    if (access(target.c_str(), W_OK) != 0) return Failure(Stage::kCreate, errno);
  }

  const std::string folder = DirectoryOf(target);
  const std::size_t slash = target.rfind('/');
  std::string temp = folder;
  temp.append("/.")
      .append(target.substr(slash == std::string::npos ? 0 : slash + 1))
      .append(".XXXXXX");
  const int fd = mkstemp(temp.data());
  if (fd < 0) return Failure(Stage::kCreate, errno);

  // The new file gets the old one's permissions, or those a new file gets.
  mode_t mode = 0;
  if (exists) {
    mode = existing.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  int error = 0;
  if (fchmod(fd, mode) != 0) error = errno;
  if (exists && fchown(fd, existing.st_uid, existing.st_gid) != 0) {
    // Only the owner's and group's own rights matter here; a file of
    // another user keeps its mode.
  }
  if (error == 0 && !WriteAll(fd, bytes)) error = errno;
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    return Failure(Stage::kWrite, error);
  }
  // The rename itself reaches the disk with the folder.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return {};
}

int InvalidPathErrorCode() { return EINVAL; }

}  // namespace tessel::platform
