// Reads another process's window as the system has it, in device pixels:
// dpi_probe CLASS -> one line for the first visible top-level window of that
// class (waiting up to 20 s for it):
//   dpi=N window=W,H client=W,H [edit=X,Y,W,H glyph=W] [content=W,H]
// edit: the first EDIT child, placed in the window's client area, with the
// width of one character of its font (the probe sets its text); content: the
// client area of the web view's child window.
// Exit code 1 when no such window shows.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Device pixels whatever the target's awareness: this process must not be
// scaled by the system.
void BecomeDpiAware() {
  using SetContext = BOOL(WINAPI*)(HANDLE);
  const auto set = reinterpret_cast<SetContext>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
  if (set != nullptr && set(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
  SetProcessDPIAware();
}

UINT WindowDpi(HWND window) {
  using ForWindow = UINT(WINAPI*)(HWND);
  const auto get = reinterpret_cast<ForWindow>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  return get != nullptr ? get(window) : 0;
}

std::string Pair(LONG a, LONG b) { return std::to_string(a) + "," + std::to_string(b); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  BecomeDpiAware();
  HWND window = nullptr;
  for (int i = 0; i < 200 && window == nullptr; ++i) {
    window = FindWindowW(argv[1], nullptr);
    if (window != nullptr && !IsWindowVisible(window)) window = nullptr;
    if (window == nullptr) Sleep(100);
  }
  if (window == nullptr) return 1;
  RECT outer{};
  GetWindowRect(window, &outer);
  RECT client{};
  GetClientRect(window, &client);
  std::string line = "dpi=" + std::to_string(WindowDpi(window)) +
                     " window=" + Pair(outer.right - outer.left, outer.bottom - outer.top) +
                     " client=" + Pair(client.right, client.bottom);
  if (HWND edit = FindWindowExW(window, nullptr, L"EDIT", nullptr)) {
    RECT rect{};
    GetWindowRect(edit, &rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    line += " edit=" + Pair(rect.left, rect.top) + "," +
            Pair(rect.right - rect.left, rect.bottom - rect.top);
    // The font's size shows in where the second character starts: the
    // width of the first, in device pixels.
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"**"));
    const auto first = static_cast<DWORD>(SendMessageW(edit, EM_POSFROMCHAR, 0, 0));
    const auto second = static_cast<DWORD>(SendMessageW(edit, EM_POSFROMCHAR, 1, 0));
    line += " glyph=" + std::to_string(static_cast<int>(LOWORD(second)) - LOWORD(first));
  }
  if (HWND content = FindWindowExW(window, nullptr, L"TesselContentView", nullptr)) {
    RECT rect{};
    GetClientRect(content, &rect);
    line += " content=" + Pair(rect.right, rect.bottom);
  }
  std::printf("%s\n", line.c_str());
  return 0;
}
