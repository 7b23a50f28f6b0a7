// The Windows implementation of the OS seam. Private to platform/win32.
#pragma once

#include "platform/os.h"

namespace tessel::platform {

class Win32Os : public Os {
 public:
  std::string ExecutablePath() const override;
  char PathSeparator() const override { return '\\'; }
  std::string AnsiToUtf8(std::string_view bytes) const override;
  std::vector<MimeMapping> MimeTypesByExtension() const override;  // mime_db_win32.cpp
  std::vector<MimeMapping> ExtensionsByMimeType() const override;  // mime_db_win32.cpp
};

// UTF-8 <-> UTF-16 at the Windows API boundary.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace tessel::platform
