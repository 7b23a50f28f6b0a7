// The start-up UI on Windows: Win32 windows, GetSysColor, and the installer
// started through the shell's "runas" verb.
#include <windows.h>
// windows.h first: shellapi.h relies on its types.
#include <shellapi.h>

#include "platform/win32/startup_win32.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {

namespace {

class Win32StartupUi : public StartupUi {
 public:
  bool RunPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) override {
    return RunWin32PasswordPrompt(caption, key_up);
  }

  std::unique_ptr<InstallerSplash> CreateInstallerSplash(const InstallerSplashLook& look) override {
    return MakeWin32InstallerSplash(look);
  }

  std::optional<RgbColor> SystemColor(int index) override {
    // Indexes the system does not know give black, as GetSysColor does.
    if (index < 0 || index > COLOR_MENUBAR) return std::nullopt;
    const COLORREF c = GetSysColor(index);
    return RgbColor{GetRValue(c), GetGValue(c), GetBValue(c)};
  }

  // The shell asks for consent ("runas"); the no-UI flag keeps its own error
  // dialogs away, so a missing file or a refusal is just a failed start.
  // Waiting pumps every message (the splash animates) and sleeps in
  // MsgWaitForMultipleObjects between rounds rather than spinning.
  std::uint32_t RunAsAdminAndWait(const std::string& file, const std::string& params) override {
    const std::wstring wfile = WideFromUtf8(file);
    const std::wstring wparams = WideFromUtf8(params);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = GetActiveWindow();
    info.lpVerb = L"runas";
    info.lpFile = wfile.c_str();
    info.lpParameters = wparams.empty() ? nullptr : wparams.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info) || info.hProcess == nullptr) return 0;
    DWORD code = STILL_ACTIVE;
    bool quit = false;
    while (!quit) {
      if (!GetExitCodeProcess(info.hProcess, &code) || code != STILL_ACTIVE) break;
      MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, INFINITE, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
          // Told to end: leave the loop and hand the quit on to the next one.
          PostQuitMessage(static_cast<int>(msg.wParam));
          quit = true;
          code = 0;
          break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    CloseHandle(info.hProcess);
    return code == STILL_ACTIVE ? 0 : static_cast<std::uint32_t>(code);
  }
};

}  // namespace

std::unique_ptr<StartupUi> MakeNativeStartupUi() { return std::make_unique<Win32StartupUi>(); }

}  // namespace tessel::platform
