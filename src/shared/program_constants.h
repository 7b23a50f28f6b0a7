// Constants shared by the runtime and the packer.
#pragma once

#include <string>
#include <string_view>

namespace tessel::shared {

// Every entry of an app archive is encrypted with this password; the runtime
// opens the archive with it and the packer writes with it.
inline constexpr std::string_view kAppArchivePassword = "t7mxqa2wz5hyv1cpelk8fgu6rjsb4n0d3t9q";

// A runtime image carries this text, which is how the packer tells a runtime
// from any other executable. The packer holds it only in this shifted form,
// so that the packer itself does not pass for a runtime.
inline std::string RuntimeImageMark() {
  std::string mark = "UFTTFM.SVOUJNF.JNBHF;2";
  for (char& c : mark) c = static_cast<char>(c - 1);
  return mark;  // "TESSEL-RUNTIME-IMAGE:1"
}

}  // namespace tessel::shared
