// Files by UTF-8 path through the C library and the system's own calls.
// Code linked into the runtime uses these rather than the C++ streams and
// std::filesystem: with a static C++ library, either of those carries the
// whole locale machinery into the executable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::platform {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// `path` opened as fopen opens it with `mode` ("rb", "wb", "w+b", ...);
// null on failure, with errno (and on Windows the system's last error) set
// by the failed open. A path holding a NUL is refused.
FileHandle OpenFile(const std::string& path, const char* mode);

// A new file at `path`, open for writing, that only this user may read or
// write: POSIX mode 0600 whatever the umask; on Windows the permissions the
// folder passes on (in the user's own app data folder, the user's). Null
// when anything is at `path` already (a link is not followed) or on failure.
FileHandle CreatePrivateFile(const std::string& path);

// `path` open for reading when it is a regular file, not a link, that this
// user owns and nobody else may read or write (POSIX); null otherwise. On
// Windows, where permissions come from the folder, `path` opened "rb".
FileHandle OpenPrivateFile(const std::string& path);

// The last-write time of an open file in milliseconds since 1970-01-01 UTC.
std::optional<std::int64_t> OpenFileWriteTimeMs(std::FILE* file);

// Moves to `offset` from the start; beyond 2 GB as well.
bool SeekFile(std::FILE* file, std::uint64_t offset);

// The size of an open file, its buffered writes included.
std::optional<std::uint64_t> OpenFileSize(std::FILE* file);

// Cuts or extends an open file to `size` bytes (zeros added).
bool ResizeOpenFile(std::FILE* file, std::uint64_t size);

// Writes all of `bytes`; false when the file took less.
bool WriteToFile(std::FILE* file, std::string_view bytes);

// Diagnostics on the standard error stream, written out at once.
inline void WriteStderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

enum class PathKind { kNone, kFile, kDirectory, kOther };

// What `path` names, symbolic links followed; kNone when nothing (or the
// path cannot be examined). kOther: devices, pipes, sockets.
PathKind KindOfPath(const std::string& path);

// True when `path` is a folder itself, not a symbolic link (or junction) to
// one.
bool IsRealDirectory(const std::string& path);

// The size of the regular file at `path`, links followed; nullopt for
// anything else.
std::optional<std::uint64_t> RegularFileSize(const std::string& path);

// Removes the file or symbolic link at `path`; never a folder.
bool RemoveFile(const std::string& path);

// Renames `from` to `to`, replacing a file at `to`.
bool RenameFile(const std::string& from, const std::string& to);

// Only the owner may read, write and run the file (POSIX); nothing to do on
// Windows, where running needs no mark.
void SetOwnerOnlyExecutable(const std::string& path);

// Makes the folder `path` and any missing parents; true when it is a folder
// afterwards.
bool CreateDirectoryPath(const std::string& path);

// The path without its last component, as std::filesystem's parent_path:
// "a/b" -> "a", "a/b/" -> "a/b", "/a" -> "/", "a" -> "". Both separators
// and drive roots count on Windows.
std::string ParentPath(std::string_view path);

// The whole content of the regular file at `path` (links followed); nullopt
// for anything else or when it cannot be read to its end.
inline std::optional<std::string> ReadWholeFile(const std::string& path) {
  if (KindOfPath(path) != PathKind::kFile) return std::nullopt;
  const FileHandle in = OpenFile(path, "rb");
  if (!in) return std::nullopt;
  std::string bytes;
  char block[65536];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, in.get())) > 0) bytes.append(block, got);
  if (std::ferror(in.get()) != 0) return std::nullopt;
  return bytes;
}

}  // namespace tessel::platform
