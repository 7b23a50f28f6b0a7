// Screen resolution for the program's own windows on Win32. Their layouts
// are written for 96 dots per inch and scaled to the DPI of the monitor a
// window is on. The per-monitor calls (Windows 8.1 and 10) are looked up at
// run time; without them every window takes the system's DPI.
// Private to platform/win32; include after windows.h.
#pragma once

#include <windows.h>

namespace tessel::platform {

inline constexpr UINT kBaseDpi = 96;
// Sent to a top-level window when the DPI of its monitor changes: the new
// DPI in HIWORD(wparam), the suggested window rectangle at lparam.
inline constexpr UINT kWmDpiChanged = 0x02E0;

// `value` given at 96 DPI, in pixels at `dpi` (rounded to nearest).
int ScaleForDpi(int value, UINT dpi);
// Pixels at `dpi` back in 96-DPI units (rounded to nearest).
int UnscaleForDpi(int pixels, UINT dpi);

// The DPI of the monitor `window` is on.
UINT DpiForWindow(HWND window);
// The DPI of `monitor` (the primary one when null).
UINT DpiForMonitor(HMONITOR monitor);

// The outer rectangle of a window with client rectangle `rect`, with the
// frame as it is drawn at `dpi`.
void AdjustWindowRectForDpi(RECT& rect, DWORD style, DWORD ex_style, UINT dpi);

// The system's message font at `dpi`; the caller deletes it. Null when the
// system gives none.
HFONT CreateMessageFontForDpi(UINT dpi);

}  // namespace tessel::platform
