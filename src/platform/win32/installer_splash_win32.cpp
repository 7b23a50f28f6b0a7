// The installer splash on Win32: a pop-up window of a class with a drop
// shadow, cut to a rounded rectangle, painting the busy indicator into a
// memory bitmap on every timer tick. GDI has no alpha for filled shapes, so
// each shape's opacity is mixed with the form's colour beforehand. Its
// layout is in 96-DPI units, scaled to the DPI of its monitor.
#include <windows.h>

#include <cmath>
#include <optional>
#include <vector>

#include "platform/busy_indicator.h"
#include "platform/win32/dpi_win32.h"
#include "platform/win32/startup_win32.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

constexpr wchar_t kClassName[] = L"TesselEdgeInstallerForm";
constexpr UINT_PTR kTimerId = 1;
constexpr int kCornerSize = 4;

COLORREF ToColorRef(RgbColor c) { return RGB(c.red, c.green, c.blue); }

class Win32InstallerSplash : public InstallerSplash {
 public:
  explicit Win32InstallerSplash(const InstallerSplashLook& look) : look_(look) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DROPSHADOW;
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    // The application-starting cursor: an arrow with an hourglass.
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_APPSTARTING));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);  // fails harmlessly when already registered

    // Made at no size: only the window can tell its monitor's DPI.
    const std::wstring title = WideFromUtf8(look.caption);
    window_ = CreateWindowExW(0, kClassName, title.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              instance, this);
    if (window_ == nullptr) return;
    LayOut(DpiForWindow(window_), std::nullopt);
  }

  ~Win32InstallerSplash() override {
    if (window_ != nullptr) DestroyWindow(window_);
  }

  void Show() override {
    if (window_ == nullptr) return;
    started_ = GetTickCount64();
    SetTimer(window_, kTimerId, kBusyIndicatorFrameMs, nullptr);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
  }

  bool Visible() const override { return window_ != nullptr && IsWindowVisible(window_) != FALSE; }

 private:
  // Sizes the window for `dpi` and cuts it to shape; its top-left corner at
  // `origin`, or centred on the screen without.
  void LayOut(UINT dpi, std::optional<POINT> origin) {
    dpi_ = dpi;
    const int size = ScaleForDpi(kInstallerSplashSize, dpi);
    if (!origin) {
      origin = POINT{(GetSystemMetrics(SM_CXSCREEN) - size) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - size) / 2};
    }
    SetWindowPos(window_, nullptr, origin->x, origin->y, size, size, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT r;
    GetWindowRect(window_, &r);
    const int corner = ScaleForDpi(kCornerSize, dpi);
    HRGN region =
        CreateRoundRectRgn(0, 0, r.right - r.left + 1, r.bottom - r.top + 1, corner, corner);
    // The system owns the region once it accepts it.
    if (region != nullptr && SetWindowRgn(window_, region, TRUE) == 0) DeleteObject(region);
  }

  static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32InstallerSplash*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (msg) {
      case WM_CLOSE:
        return 0;  // the form may never close on request
      case WM_ERASEBKGND:
        return 1;  // painted whole in WM_PAINT
      case WM_TIMER:
        InvalidateRect(window, nullptr, FALSE);
        return 0;
      case WM_PAINT:
        if (self != nullptr) {
          self->Paint();
          return 0;
        }
        break;
      case WM_DESTROY:
        KillTimer(window, kTimerId);
        return 0;
      case kWmDpiChanged:
        if (self != nullptr && self->window_ != nullptr) {
          const auto* suggested = reinterpret_cast<const RECT*>(lp);
          self->LayOut(HIWORD(wp), POINT{suggested->left, suggested->top});
          return 0;
        }
        break;
      default:
        break;
    }
    return DefWindowProcW(window, msg, wp, lp);
  }

  void Paint() const {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window_, &ps);
    RECT client;
    GetClientRect(window_, &client);
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ old_bitmap = SelectObject(mem, bitmap);

    HBRUSH bg = CreateSolidBrush(ToColorRef(look_.color));
    FillRect(mem, &client, bg);
    DeleteObject(bg);

    const RgbColor fg = IndicatorRgb(look_.indicator_color);
    const std::uint64_t elapsed = GetTickCount64() - started_;
    const int left = ScaleForDpi(kBusyIndicatorLeft, dpi_);
    const int top = ScaleForDpi(kBusyIndicatorTop, dpi_);
    const int size = ScaleForDpi(kBusyIndicatorSize, dpi_);
    HGDIOBJ old_pen = SelectObject(mem, GetStockObject(NULL_PEN));
    for (const IndicatorShape& s : BusyIndicatorFrame(look_.indicator_kind, size, elapsed)) {
      HBRUSH brush = CreateSolidBrush(ToColorRef(BlendColors(fg, look_.color, s.opacity)));
      HGDIOBJ old_brush = SelectObject(mem, brush);
      std::vector<POINT> points;
      for (const PointD& p : ShapeOutline(s, 24)) {
        points.push_back({std::lround(left + p.x), std::lround(top + p.y)});
      }
      Polygon(mem, points.data(), static_cast<int>(points.size()));
      SelectObject(mem, old_brush);
      DeleteObject(brush);
    }
    SelectObject(mem, old_pen);

    BitBlt(dc, 0, 0, client.right, client.bottom, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old_bitmap);
    DeleteObject(bitmap);
    DeleteDC(mem);
    EndPaint(window_, &ps);
  }

  InstallerSplashLook look_;
  HWND window_ = nullptr;
  UINT dpi_ = kBaseDpi;
  std::uint64_t started_ = 0;
};

}  // namespace

std::unique_ptr<InstallerSplash> MakeWin32InstallerSplash(const InstallerSplashLook& look) {
  return std::make_unique<Win32InstallerSplash>(look);
}

}  // namespace tessel::platform
