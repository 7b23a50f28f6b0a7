// The Linux implementation of the OS seam (POSIX, XDG). Private to platform/gtk.
#pragma once

#include "platform/os.h"

namespace tessel::platform {

class LinuxOs : public Os {
 public:
  std::string ExecutablePath() const override;
  char PathSeparator() const override { return '/'; }
  std::string AnsiToUtf8(std::string_view bytes) const override;
  std::vector<MimeMapping> MimeTypesByExtension() const override;  // mime_db_linux.cpp
  std::vector<MimeMapping> ExtensionsByMimeType() const override;  // mime_db_linux.cpp
};

}  // namespace tessel::platform
