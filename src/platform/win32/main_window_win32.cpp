// The application's top-level window on Win32. Border styles are window
// styles changed in place (SetWindowLongPtr + SWP_FRAMECHANGED), so the
// window and the web view inside it are never re-created; size limits are
// answered in WM_GETMINMAXINFO; WM_CLOSE asks OnCloseQuery. Sizes and limits
// are in 96-DPI units, as the app's settings give them, and scaled to the
// DPI of the window's monitor; the size kept is that unit's, so a move to a
// monitor of another DPI keeps the window's size as the app set it.
#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>

#include <iterator>
#include <string>

#include "platform/native_view.h"
#include "platform/win32/dpi_win32.h"
#include "platform/win32/main_window_win32.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

constexpr wchar_t kMainWindowClass[] = L"TesselMainWindow";
constexpr wchar_t kContentClass[] = L"TesselContentView";
constexpr int kBusyBarHeight = 4;  // at 96 DPI
constexpr UINT kMarqueeMs = 30;
// Tells a content view that its top-level window received a system command.
constexpr UINT kContentSystemCommand = WM_APP + 1;

int NormalizedBorder(int border) {
  return border >= kBorderNone && border <= kBorderSizeToolWindow ? border : kBorderSizeable;
}

DWORD StyleFor(int border) {
  switch (border) {
    case kBorderNone:
      return WS_POPUP;
    case kBorderSingle:
      return WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    case kBorderDialog:
      return WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    case kBorderToolWindow:
      return WS_CAPTION | WS_SYSMENU;
    case kBorderSizeToolWindow:
      return WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
    default:
      return WS_OVERLAPPEDWINDOW;
  }
}

DWORD ExStyleFor(int border) {
  switch (border) {
    case kBorderDialog:
      return WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
    case kBorderToolWindow:
    case kBorderSizeToolWindow:
      return WS_EX_TOOLWINDOW | WS_EX_WINDOWEDGE;
    case kBorderNone:
      return 0;
    default:
      return WS_EX_WINDOWEDGE;
  }
}

bool IsContentView(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, static_cast<int>(std::size(name)));
  return lstrcmpW(name, kContentClass) == 0;
}

// --- the web view's child window ------------------------------------------------------

class Win32ContentView : public NativeView {
 public:
  ~Win32ContentView() override {
    client_ = nullptr;
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  }

  void SetClient(NativeViewClient* client) override { client_ = client; }

  void SetParent(NativeWindowHandle parent) override {
    parent_ = static_cast<HWND>(parent);
    if (hwnd_ == nullptr) return;
    const LONG_PTR style = GetWindowLongPtrW(hwnd_, GWL_STYLE);
    SetWindowLongPtrW(
        hwnd_, GWL_STYLE,
        parent_ != nullptr ? (style & ~WS_POPUP) | WS_CHILD : (style & ~WS_CHILD) | WS_POPUP);
    ::SetParent(hwnd_, parent_);
    // The new parent lays it out on its next size change; fill it now.
    if (parent_ != nullptr) SendMessageW(parent_, WM_SIZE, 0, 0);
  }
  NativeWindowHandle Parent() const override { return parent_; }

  NativeWindowHandle Handle() override {
    if (hwnd_ == nullptr) Create();
    return hwnd_;
  }
  bool HandleAllocated() const override { return hwnd_ != nullptr; }

  Rect ClientRect() const override {
    RECT rect{};
    if (hwnd_ != nullptr) GetClientRect(hwnd_, &rect);
    return Rect{0, 0, rect.right, rect.bottom};
  }
  bool Visible() const override { return visible_; }
  void SetVisible(bool visible) override {
    if (visible == visible_) return;
    visible_ = visible;
    if (hwnd_ != nullptr) ShowWindow(hwnd_, visible ? SW_SHOWNA : SW_HIDE);
    if (client_ != nullptr) client_->VisibleChanged();
  }

  void Focus() override {
    if (hwnd_ != nullptr) ::SetFocus(hwnd_);
  }
  void SelectNext(bool forward) override {
    if (hwnd_ == nullptr) return;
    HWND root = GetAncestor(hwnd_, GA_ROOT);
    if (HWND next = GetNextDlgTabItem(root, hwnd_, forward ? FALSE : TRUE)) ::SetFocus(next);
  }
  bool HasParentForm() const override {
    if (hwnd_ == nullptr) return parent_ != nullptr;
    return GetAncestor(hwnd_, GA_ROOT) != hwnd_;
  }
  // The main window has no keyboard shortcuts of its own.
  bool IsShortCut(const KeyMessage& /*message*/) override { return false; }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Win32ContentView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
      self =
          static_cast<Win32ContentView*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (self != nullptr && self->client_ != nullptr) {
      switch (message) {
        case WM_SIZE:
          self->client_->Resized();
          break;
        case WM_SETFOCUS:
          self->client_->FocusEntered();
          break;
        case WM_KILLFOCUS:
          self->client_->FocusLeft();
          break;
        case kContentSystemCommand:
          self->client_->SystemCommand(static_cast<std::uint32_t>(wparam));
          return 0;
        default:
          break;
      }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

 private:
  void Create() {
    const DWORD style = WS_CLIPCHILDREN | WS_TABSTOP | (visible_ ? WS_VISIBLE : 0) |
                        (parent_ != nullptr ? WS_CHILD : WS_POPUP);
    hwnd_ = CreateWindowExW(0, kContentClass, L"", style, 0, 0, 0, 0, parent_, nullptr,
                            GetModuleHandleW(nullptr), this);
    if (hwnd_ != nullptr && parent_ != nullptr) SendMessageW(parent_, WM_SIZE, 0, 0);
    if (hwnd_ != nullptr && client_ != nullptr) client_->HandleCreated();
  }

  HWND hwnd_ = nullptr;
  HWND parent_ = nullptr;
  bool visible_ = true;
  NativeViewClient* client_ = nullptr;
};

// --- the top-level window -----------------------------------------------------------

class Win32MainWindow : public TopLevelWindow {
 public:
  Win32MainWindow() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterClasses(instance);
    hwnd_ = CreateWindowExW(ExStyleFor(border_), kMainWindowClass, L"",
                            StyleFor(border_) | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                            width_, height_, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) return;
    // Made at 96 DPI's size: only the window can tell its monitor's DPI.
    dpi_ = DpiForWindow(hwnd_);
    SetWindowPos(hwnd_, nullptr, 0, 0, ScaleForDpi(width_, dpi_), ScaleForDpi(height_, dpi_),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    busy_bar_ = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | PBS_MARQUEE, 0, 0, 0, 0,
                                hwnd_, nullptr, instance, nullptr);
  }

  ~Win32MainWindow() override {
    if (hwnd_ != nullptr) {
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      DestroyWindow(hwnd_);
    }
  }

  Win32MainWindow(const Win32MainWindow&) = delete;
  Win32MainWindow& operator=(const Win32MainWindow&) = delete;

  void SetCaption(const std::string& caption) override {
    caption_ = caption;
    SetWindowTextW(hwnd_, WideFromUtf8(WindowSystemTitle(caption)).c_str());
  }
  std::string Caption() const override { return caption_; }
  // The main window is the one on the task bar, so the application's title
  // is kept for those who ask, not shown separately.
  void SetApplicationTitle(const std::string& title) override { application_title_ = title; }
  std::string ApplicationTitle() const override { return application_title_; }

  int Width() const override { return width_; }
  int Height() const override { return height_; }

  void SetBorderStyle(int border_style) override {
    border_ = NormalizedBorder(border_style);
    const LONG_PTR kept = GetWindowLongPtrW(hwnd_, GWL_STYLE) &
                          (WS_VISIBLE | WS_MAXIMIZE | WS_MINIMIZE | WS_DISABLED);
    const LONG_PTR kept_ex = GetWindowLongPtrW(hwnd_, GWL_EXSTYLE) & WS_EX_TOPMOST;
    SetWindowLongPtrW(hwnd_, GWL_STYLE, kept | StyleFor(border_) | WS_CLIPCHILDREN);
    SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, kept_ex | ExStyleFor(border_));
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  int BorderStyle() const override { return border_; }

  void SetWindowState(WindowState state) override {
    state_ = state;
    if (!shown_ || closed_) return;
    switch (state) {
      case WindowState::Normal:
        if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
        if (IsZoomed(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
        break;
      case WindowState::Minimized:
        ShowWindow(hwnd_, SW_MINIMIZE);
        break;
      case WindowState::Maximized:
        ShowWindow(hwnd_, SW_MAXIMIZE);
        break;
    }
  }
  WindowState State() const override { return state_; }

  void SetStayOnTop(bool stay_on_top) override {
    stay_on_top_ = stay_on_top;
    SetWindowPos(hwnd_, stay_on_top ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  bool StayOnTop() const override { return stay_on_top_; }

  NativeWindowHandle ClientArea() override { return hwnd_; }
  std::unique_ptr<NativeView> CreateContentView() override {
    return std::make_unique<Win32ContentView>();
  }

  void SetBusyBarVisible(bool visible) override {
    busy_bar_visible_ = visible;
    if (busy_bar_ == nullptr) return;
    SendMessageW(busy_bar_, PBM_SETMARQUEE, visible ? TRUE : FALSE, kMarqueeMs);
    ShowWindow(busy_bar_, visible ? SW_SHOWNA : SW_HIDE);
    Layout();
  }
  bool BusyBarVisible() const override { return busy_bar_visible_; }

  void Activate() override {
    if (shown_ && !closed_) SetForegroundWindow(hwnd_);
  }

  void Show() override {
    if (closed_ || hwnd_ == nullptr) return;
    if (!shown_ && state_ == WindowState::Normal) CentreOnWorkArea();
    shown_ = true;
    const int command = state_ == WindowState::Maximized   ? SW_SHOWMAXIMIZED
                        : state_ == WindowState::Minimized ? SW_SHOWMINIMIZED
                                                           : SW_SHOWNORMAL;
    ShowWindow(hwnd_, command);
    UpdateWindow(hwnd_);
  }
  bool Shown() const override { return shown_ && !closed_; }

  void Close() override { RequestClose(); }
  bool Closed() const override { return closed_; }

  void RunMessageLoop() override {
    if (!closed_ && !shown_) Show();
    MSG msg;
    while (!closed_ && hwnd_ != nullptr) {
      const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == -1) break;
      if (got == 0) {
        // Someone asked the whole program to quit: leave that to the outer loop.
        PostQuitMessage(static_cast<int>(msg.wParam));
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (!on_close_done_) {
      on_close_done_ = true;
      if (OnClose) OnClose();
    }
    if (hwnd_ != nullptr) {
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      DestroyWindow(hwnd_);
      hwnd_ = nullptr;
    }
  }

 protected:
  void ApplySize(int width, int height) override {
    width_ = width;
    height_ = height;
    if (IsIconic(hwnd_) || IsZoomed(hwnd_)) {
      // The size the window returns to.
      WINDOWPLACEMENT placement{};
      placement.length = sizeof(placement);
      GetWindowPlacement(hwnd_, &placement);
      placement.rcNormalPosition.right = placement.rcNormalPosition.left + ScaleForDpi(width, dpi_);
      placement.rcNormalPosition.bottom =
          placement.rcNormalPosition.top + ScaleForDpi(height, dpi_);
      SetWindowPlacement(hwnd_, &placement);
      return;
    }
    SetWindowPos(hwnd_, nullptr, 0, 0, ScaleForDpi(width, dpi_), ScaleForDpi(height, dpi_),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // WM_GETMINMAXINFO reads Limits() at every size change; a maximized window
  // takes a new maximum at its next maximizing.
  void ApplyLimits() override {}

 private:
  static void RegisterClasses(HINSTANCE instance) {
    static const bool registered = [instance] {
      INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
      InitCommonControlsEx(&controls);
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof(wc);
      wc.lpfnWndProc = WindowProc;
      wc.hInstance = instance;
      wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
      wc.lpszClassName = kMainWindowClass;
      RegisterClassExW(&wc);
      WNDCLASSEXW content{};
      content.cbSize = sizeof(content);
      content.lpfnWndProc = Win32ContentView::WindowProc;
      content.hInstance = instance;
      content.hCursor = wc.hCursor;
      content.lpszClassName = kContentClass;
      RegisterClassExW(&content);
      return true;
    }();
    (void)registered;
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
      self =
          static_cast<Win32MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (self != nullptr) {
      LRESULT result = 0;
      if (self->Handle(message, wparam, lparam, &result)) return result;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  bool Handle(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    switch (message) {
      case WM_CLOSE:
        RequestClose();
        *result = 0;
        return true;
      case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
        const SizeLimits& limits = Limits();
        if (limits.MinWidth() != 0) info->ptMinTrackSize.x = ScaleForDpi(limits.MinWidth(), dpi_);
        if (limits.MinHeight() != 0) info->ptMinTrackSize.y = ScaleForDpi(limits.MinHeight(), dpi_);
        if (limits.MaxWidth() != 0) {
          info->ptMaxTrackSize.x = ScaleForDpi(limits.MaxWidth(), dpi_);
          info->ptMaxSize.x = info->ptMaxTrackSize.x;
        }
        if (limits.MaxHeight() != 0) {
          info->ptMaxTrackSize.y = ScaleForDpi(limits.MaxHeight(), dpi_);
          info->ptMaxSize.y = info->ptMaxTrackSize.y;
        }
        *result = 0;
        return true;
      }
      case WM_SIZE:
        if (wparam == SIZE_MINIMIZED) {
          state_ = WindowState::Minimized;
        } else if (wparam == SIZE_MAXIMIZED) {
          state_ = WindowState::Maximized;
        } else if (wparam == SIZE_RESTORED && shown_) {
          state_ = WindowState::Normal;
        }
        if (shown_ && wparam == SIZE_RESTORED && !dpi_changing_) {
          RECT rect{};
          GetWindowRect(hwnd_, &rect);
          width_ = LogicalSize(rect.right - rect.left, width_);
          height_ = LogicalSize(rect.bottom - rect.top, height_);
        }
        Layout();
        return false;
      case kWmDpiChanged: {
        // The system's rectangle keeps the window under the pointer while it
        // is dragged across; the size in 96-DPI units stays what it was. A
        // window not yet shown takes its own size exactly.
        dpi_ = HIWORD(wparam);
        const RECT suggested = *reinterpret_cast<const RECT*>(lparam);
        const int width = shown_ ? suggested.right - suggested.left : ScaleForDpi(width_, dpi_);
        const int height = shown_ ? suggested.bottom - suggested.top : ScaleForDpi(height_, dpi_);
        dpi_changing_ = true;
        SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, width, height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        dpi_changing_ = false;
        // A maximized or minimized window returns to its size at this DPI.
        if (IsIconic(hwnd_) || IsZoomed(hwnd_)) ApplySize(width_, height_);
        Layout();
        *result = 0;
        return true;
      }
      case WM_SYSCOMMAND:
        // The content views learn about minimizing and restoring.
        for (HWND child = GetWindow(hwnd_, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
          if (IsContentView(child)) {
            SendMessageW(child, kContentSystemCommand, wparam & 0xFFF0, 0);
          }
        }
        return false;
      case WM_DESTROY:
        closed_ = true;
        hwnd_ = nullptr;
        return false;
      default:
        return false;
    }
  }

  // A device size read back in 96-DPI units. The size kept stands while it
  // still gives that device size: rounding must not make a window set to an
  // odd size drift by a unit at every change of another kind.
  int LogicalSize(int device, int kept) const {
    return ScaleForDpi(kept, dpi_) == device ? kept : UnscaleForDpi(device, dpi_);
  }

  // The content fills the client area above the busy bar.
  void Layout() {
    if (hwnd_ == nullptr) return;
    RECT client{};
    GetClientRect(hwnd_, &client);
    const int bar_height = ScaleForDpi(kBusyBarHeight, dpi_);
    const int bar = busy_bar_visible_ ? bar_height : 0;
    if (busy_bar_ != nullptr) {
      MoveWindow(busy_bar_, 0, client.bottom - bar_height, client.right, bar_height, TRUE);
    }
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      if (IsContentView(child)) MoveWindow(child, 0, 0, client.right, client.bottom - bar, TRUE);
    }
  }

  // Centred by its size on the screen; a second pass when the move brought
  // it to a monitor of another DPI, which resized it.
  void CentreOnWorkArea() {
    for (int pass = 0; pass < 2; ++pass) {
      MONITORINFO monitor{};
      monitor.cbSize = sizeof(monitor);
      if (!GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
      RECT rect{};
      GetWindowRect(hwnd_, &rect);
      const RECT& work = monitor.rcWork;
      const int x = work.left + (work.right - work.left - (rect.right - rect.left)) / 2;
      const int y = work.top + (work.bottom - work.top - (rect.bottom - rect.top)) / 2;
      const UINT before = dpi_;
      SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      if (dpi_ == before) return;
    }
  }

  void RequestClose() {
    if (closed_) return;
    if (OnCloseQuery && !OnCloseQuery()) return;
    closed_ = true;
    ShowWindow(hwnd_, SW_HIDE);
    // Wakes the loop so it sees the window closed.
    PostMessageW(hwnd_, WM_NULL, 0, 0);
  }

  HWND hwnd_ = nullptr;
  HWND busy_bar_ = nullptr;
  std::string caption_;
  std::string application_title_;
  // The restored window's outer size, in 96-DPI units.
  int width_ = 800;
  int height_ = 600;
  UINT dpi_ = kBaseDpi;
  // Set while the window takes the rectangle of a DPI change.
  bool dpi_changing_ = false;
  int border_ = kBorderSizeable;
  WindowState state_ = WindowState::Normal;
  bool stay_on_top_ = false;
  bool busy_bar_visible_ = false;
  bool shown_ = false;
  bool closed_ = false;
  bool on_close_done_ = false;
};

}  // namespace

std::unique_ptr<TopLevelWindow> MakeWin32MainWindow() {
  auto window = std::make_unique<Win32MainWindow>();
  if (window->ClientArea() == nullptr) return nullptr;
  return window;
}

}  // namespace tessel::platform
