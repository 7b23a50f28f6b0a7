#include "platform/gtk/linux_os.h"

namespace tessel::platform {

std::vector<MimeMapping> LinuxOs::MimeTypesByExtension() const { return {}; }
std::vector<MimeMapping> LinuxOs::ExtensionsByMimeType() const { return {}; }

}  // namespace tessel::platform
