// The Win32 top-level window and file dialogs, for the Win32 UI seam.
// Private to platform/win32; windows.h stays in the .cpp files.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/ui.h"

namespace tessel::platform {

// A new hidden main window (main_window_win32.cpp).
std::unique_ptr<TopLevelWindow> MakeWin32MainWindow();

// The common item dialog (file_dialogs_win32.cpp): open, or save when
// `save`; see Ui::OpenFileDialog.
std::optional<std::string> ShowWin32FileDialog(bool save, FileDialogOptions& options);

}  // namespace tessel::platform
