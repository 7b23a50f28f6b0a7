// A deterministic OS seam for unit tests: every answer is a public field the
// test sets. Obeys the contract of platform::Os.
#pragma once

#include <memory>

#include "platform/os.h"

namespace tessel::platform {

class FakeOs : public Os {
 public:
  std::string executable_path;
  char path_separator = '/';
  std::vector<MimeMapping> mime_types_by_extension;
  std::vector<MimeMapping> extensions_by_mime_type;

  std::string ExecutablePath() const override { return executable_path; }
  char PathSeparator() const override { return path_separator; }
  // Latin-1 stands in for a legacy code page: deterministic on every machine.
  std::string AnsiToUtf8(std::string_view bytes) const override;
  std::vector<MimeMapping> MimeTypesByExtension() const override { return mime_types_by_extension; }
  std::vector<MimeMapping> ExtensionsByMimeType() const override { return extensions_by_mime_type; }
};

std::unique_ptr<FakeOs> MakeFakeOs();

// Installs an OS seam for the lifetime of a scope.
class ScopedOs {
 public:
  explicit ScopedOs(Os& os) { SetCurrentOs(&os); }
  ~ScopedOs() { SetCurrentOs(nullptr); }
  ScopedOs(const ScopedOs&) = delete;
  ScopedOs& operator=(const ScopedOs&) = delete;
};

}  // namespace tessel::platform
