// The Win32 start-up windows. Private to platform/win32; windows.h stays in
// the .cpp files.
#pragma once

#include <memory>
#include <string>

#include "platform/ui_startup.h"

namespace tessel::platform {

bool RunWin32PasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up);

std::unique_ptr<InstallerSplash> MakeWin32InstallerSplash(const InstallerSplashLook& look);

}  // namespace tessel::platform
