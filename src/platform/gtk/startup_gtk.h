// The GTK 3 start-up windows. Private to platform/gtk; gtk.h stays in the
// .cpp files.
#pragma once

#include <memory>
#include <string>

#include "platform/ui_startup.h"

namespace tessel::platform {

// The password prompt; the display is already connected.
bool RunGtkPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up);

// The installer splash; the display is already connected.
std::unique_ptr<InstallerSplash> MakeGtkInstallerSplash(const InstallerSplashLook& look);

// A splash that shows nothing, for a process without a display.
std::unique_ptr<InstallerSplash> MakeHeadlessInstallerSplash();

}  // namespace tessel::platform
