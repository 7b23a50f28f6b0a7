// The operating-system seam: everything the shared units need from the OS that
// differs between Windows and Linux. Platform rules (path separator, absolute
// paths, code pages, MIME database) live here once, never as #ifdef in logic.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

// One line of the system MIME database: extension with or without its
// leading "." and a MIME type, both as the system stores them.
struct MimeMapping {
  std::string extension;
  std::string mime_type;
};

class Os {
 public:
  virtual ~Os() = default;

  // Full path of the running executable's file as it was started. Any thread.
  // Empty when the system cannot tell.
  virtual std::string ExecutablePath() const = 0;

  // The folder separator of the platform ('\\' on Windows, '/' on Linux).
  virtual char PathSeparator() const = 0;

  // Decodes text in the system's legacy code page into UTF-8: the ANSI code
  // page on Windows; on Linux the character set of the user's locale
  // (nl_langinfo(CODESET)), which plays the same role. Bytes that cannot be
  // decoded become U+FFFD. Any thread; never fails.
  virtual std::string AnsiToUtf8(std::string_view bytes) const = 0;

  // The system MIME database, first pass: extension -> type, in the system's
  // enumeration order (Windows: "Content Type" values under HKCR\.ext; Linux:
  // /etc/mime.types). Unreadable sources add nothing. Throws
  // std::runtime_error("Invalid data type for '<value name>'") when a value
  // exists but is not a string (Windows only).
  virtual std::vector<MimeMapping> MimeTypesByExtension() const = 0;

  // Second pass: type -> extension, which overrides the first (Windows: the
  // "Extension" values under HKCR\MIME\Database\Content Type; Linux: the
  // shared MIME info globs). Same failure rules.
  virtual std::vector<MimeMapping> ExtensionsByMimeType() const = 0;
};

// The process-wide OS seam: the real implementation unless a test installed
// another with SetCurrentOs. Not owned by the caller.
Os& CurrentOs();

// Installs `os` as the process-wide seam (tests only); nullptr restores the
// real one. The caller keeps ownership and must outlive its use.
void SetCurrentOs(Os* os);

// The platform's real implementation (chosen by CMake).
std::unique_ptr<Os> MakeNativeOs();

}  // namespace tessel::platform
