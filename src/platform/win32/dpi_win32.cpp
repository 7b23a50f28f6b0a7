#include "platform/win32/dpi_win32.h"

#include <climits>
#include <cstdint>

namespace tessel::platform {
namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT);

constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HMODULE User32() {
  static const HMODULE module = GetModuleHandleW(L"user32.dll");
  return module;
}

// Windows 8.1 and later; loaded once and kept for the process's life.
HMODULE Shcore() {
  static const HMODULE module = LoadLibraryW(L"shcore.dll");
  return module;
}

// What every window gets where the system cannot tell monitors apart.
UINT SystemDpi() {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return kBaseDpi;
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

UINT Valid(UINT dpi) { return dpi != 0 ? dpi : kBaseDpi; }

// a * b / c rounded to nearest (halves away from zero), kept within int:
// sizes come from the app's settings and may be any int.
int MulDivClamped(int a, UINT b, UINT c) {
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const std::int64_t half = c / 2;
  const std::int64_t result = product >= 0 ? (product + half) / c : (product - half) / c;
  if (result > INT_MAX) return INT_MAX;
  if (result < INT_MIN) return INT_MIN;
  return static_cast<int>(result);
}

}  // namespace

int ScaleForDpi(int value, UINT dpi) { return MulDivClamped(value, Valid(dpi), kBaseDpi); }

int UnscaleForDpi(int pixels, UINT dpi) { return MulDivClamped(pixels, kBaseDpi, Valid(dpi)); }

UINT DpiForWindow(HWND window) {
  static const auto for_window = Lookup<GetDpiForWindowFn>(User32(), "GetDpiForWindow");
  if (for_window != nullptr && window != nullptr) {
    if (const UINT dpi = for_window(window); dpi != 0) return dpi;
  }
  return DpiForMonitor(window != nullptr ? MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST)
                                         : nullptr);
}

UINT DpiForMonitor(HMONITOR monitor) {
  if (monitor == nullptr) monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  static const auto for_monitor = Lookup<GetDpiForMonitorFn>(Shcore(), "GetDpiForMonitor");
  UINT x = 0;
  UINT y = 0;
  if (for_monitor != nullptr && monitor != nullptr &&
      SUCCEEDED(for_monitor(monitor, kEffectiveDpi, &x, &y)) && x != 0) {
    return x;
  }
  return SystemDpi();
}

void AdjustWindowRectForDpi(RECT& rect, DWORD style, DWORD ex_style, UINT dpi) {
  static const auto adjust =
      Lookup<AdjustWindowRectExForDpiFn>(User32(), "AdjustWindowRectExForDpi");
  if (adjust != nullptr && adjust(&rect, style, FALSE, ex_style, Valid(dpi))) return;
  AdjustWindowRectEx(&rect, style, FALSE, ex_style);
}

HFONT CreateMessageFontForDpi(UINT dpi) {
  dpi = Valid(dpi);
  static const auto for_dpi =
      Lookup<SystemParametersInfoForDpiFn>(User32(), "SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (for_dpi != nullptr &&
      for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi) != FALSE) {
    return CreateFontIndirectW(&metrics.lfMessageFont);
  }
  metrics = NONCLIENTMETRICSW{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) == FALSE) {
    return nullptr;
  }
  // The system's answer is at the system's DPI.
  LOGFONTW& font = metrics.lfMessageFont;
  font.lfHeight = MulDivClamped(font.lfHeight, dpi, SystemDpi());
  return CreateFontIndirectW(&font);
}

}  // namespace tessel::platform
