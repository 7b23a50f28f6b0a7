// The Windows side of the further system utilities: executable icons, text
// widths on the screen's device context, key presses and quitting.
#include <windows.h>
// windows.h first: these need its types.
#include <shellapi.h>

#include <string>

#include "platform/ui.h"
#include "platform/win32/win32_os.h"

namespace tessel::platform {

bool Ui::ExtractFileIcon(const std::string& path, Bitmap& bitmap) {
  HICON icon = ExtractIconW(GetModuleHandleW(nullptr), WideFromUtf8(path).c_str(), 0);
  // 1 means "not an executable, icon or library", NULL "no icon in it".
  if (icon == nullptr || icon == reinterpret_cast<HICON>(1)) return false;
  ICONINFO info{};
  int width = GetSystemMetrics(SM_CXICON);
  int height = GetSystemMetrics(SM_CYICON);
  if (GetIconInfo(icon, &info)) {
    BITMAP bm{};
    if (info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof bm, &bm) != 0) {
      width = bm.bmWidth;
      height = bm.bmHeight;
    } else if (info.hbmMask != nullptr && GetObjectW(info.hbmMask, sizeof bm, &bm) != 0) {
      width = bm.bmWidth;
      height = bm.bmHeight / 2;  // a monochrome icon stacks its mask and image
    }
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  }
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;  // top-down rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  bool drawn = false;
  if (dc != nullptr && dib != nullptr && bits != nullptr) {
    HGDIOBJ old = SelectObject(dc, dib);
    drawn = DrawIcon(dc, 0, 0, icon) != FALSE;
    GdiFlush();
    SelectObject(dc, old);
    if (drawn) {
      const auto* pixels = static_cast<const std::uint32_t*>(bits);
      bitmap.width = width;
      bitmap.height = height;
      bitmap.pixels.assign(pixels, pixels + static_cast<std::size_t>(width) * height);
    }
  }
  if (dib != nullptr) DeleteObject(dib);
  if (dc != nullptr) DeleteDC(dc);
  DestroyIcon(icon);
  return drawn;
}

int Ui::TextWidth(const FontSpec& font, const std::string& text) {
  const std::wstring wide = WideFromUtf8(text);
  HFONT hfont = CreateFontW(-font.pixel_size, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL,
                            font.italic ? TRUE : FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, WideFromUtf8(font.name).c_str());
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, hfont);
  SIZE size{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  DeleteObject(hfont);
  return size.cx;
}

bool Ui::PressKey(int virtual_key) {
  const auto vk = static_cast<BYTE>(virtual_key);
  const auto scan =
      static_cast<BYTE>(MapVirtualKeyW(static_cast<UINT>(virtual_key), MAPVK_VK_TO_VSC));
  keybd_event(vk, scan, KEYEVENTF_EXTENDEDKEY, 0);
  keybd_event(vk, scan, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
  return true;
}

void Ui::QuitApplication() { PostQuitMessage(0); }

}  // namespace tessel::platform
