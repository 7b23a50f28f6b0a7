// A Linux app's icon, and the name the desktop knows an app by: the window's class, the desktop
// entry's and the themed icon's name. The runtime and the packer derive it
// from the app's ID alike, so that the entry finds its windows.
#pragma once

#include <string>
#include <string_view>

namespace tessel::shared {

// The archive entry holding a Linux app's icon: a square PNG of up to 256 px
// that the runtime gives its window.
inline constexpr std::string_view kAppIconEntry = "tessel-icon.png";

// `id` with every character but ASCII letters, digits, '.', '-' and '_'
// replaced by '_' (desktop entry names and window classes allow no more).
inline std::string DesktopAppId(std::string_view id) {
  std::string out(id);
  for (char& c : out) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_';
    if (!kept) c = '_';
  }
  return out;
}

}  // namespace tessel::shared
