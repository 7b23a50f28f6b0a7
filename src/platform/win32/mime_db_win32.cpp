#include "platform/win32/win32_os.h"

namespace tessel::platform {

std::vector<MimeMapping> Win32Os::MimeTypesByExtension() const { return {}; }
std::vector<MimeMapping> Win32Os::ExtensionsByMimeType() const { return {}; }

}  // namespace tessel::platform
