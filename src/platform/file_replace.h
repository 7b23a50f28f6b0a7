// Replacing a file's whole content so that it never holds less than all of
// either the old or the new content: the new content goes to a temporary
// file in the same folder, is flushed to the disk, and is then renamed over
// the file. A failure leaves the old file exactly as it was and no temporary
// file behind.
#pragma once

#include <string>
#include <string_view>

namespace tessel::platform {

struct FileReplaceResult {
  enum class Stage {
    kDone,
    // The file could not be made: a missing or read-only folder, a
    // read-only file, a path the system refuses (one holding a NUL).
    kCreate,
    // The content could not be written or put in place (a full disk).
    kWrite,
  };
  Stage stage = Stage::kDone;
  // The system's error code (errno, GetLastError) when not done.
  int error_code = 0;
};

// Writes `bytes` as the whole content of the file at `path` (UTF-8). A
// symbolic link is written through: its target is replaced, the link stays.
// An existing file keeps its permissions; a file that may not be written is
// refused as opening it for writing would be.
FileReplaceResult ReplaceFileContent(const std::string& path, std::string_view bytes);

// The system's error code for a path it cannot take (EINVAL,
// ERROR_INVALID_NAME).
int InvalidPathErrorCode();

}  // namespace tessel::platform
