// Constants shared by the runtime and the packer.
#pragma once

#include <string_view>

namespace tessel::shared {

// Every entry of an app archive is encrypted with this password; the runtime
// opens the archive with it and the packer writes with it.
inline constexpr std::string_view kAppArchivePassword = "t7mxqa2wz5hyv1cpelk8fgu6rjsb4n0d3t9q";

}  // namespace tessel::shared
