// The password prompt on Win32: a dialog-framed window with a masked edit
// control whose left margin holds a key symbol, drawn after the control has
// painted itself. The modal loop is our own and does not call
// IsDialogMessage, so Enter and Escape do nothing. With a visual style
// applied, the window, the edit box and (through DWM, where the system has
// it) the caption take the style's colours. The layout is in 96-DPI units,
// scaled to the DPI of the prompt's monitor, and laid out again when that
// changes.
#include <windows.h>

#include <optional>

#include "platform/style_sheets.h"
#include "platform/win32/dpi_win32.h"
#include "platform/win32/startup_win32.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

constexpr int kClientWidth = 308;
constexpr int kClientHeight = 71;
constexpr int kEditLeft = 24;
constexpr int kEditTop = 24;
constexpr int kEditWidth = 257;
constexpr int kEditHeight = 21;
constexpr int kKeyArea = 20;  // the button area at the edit box's left
constexpr int kKeySize = 16;
constexpr int kKeyLeft = 2;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;
constexpr int kEditId = 101;
constexpr wchar_t kClassName[] = L"TesselRequirePasswordForm";

COLORREF ToColorRef(std::uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

// The style's colours as GDI objects, for the prompt's lifetime.
class StyleBrushes {
 public:
  explicit StyleBrushes(const std::optional<StylePalette>& palette) : palette_(palette) {
    if (palette_) {
      window_ = CreateSolidBrush(ToColorRef(palette_->bg));
      edit_ = CreateSolidBrush(ToColorRef(palette_->base));
    }
  }
  StyleBrushes(const StyleBrushes&) = delete;
  StyleBrushes& operator=(const StyleBrushes&) = delete;
  ~StyleBrushes() {
    if (window_ != nullptr) DeleteObject(window_);
    if (edit_ != nullptr) DeleteObject(edit_);
  }
  const std::optional<StylePalette>& palette() const { return palette_; }
  HBRUSH window() const { return window_; }
  HBRUSH edit() const { return edit_; }

 private:
  std::optional<StylePalette> palette_;
  HBRUSH window_ = nullptr;
  HBRUSH edit_ = nullptr;
};

// The caption in the style's colours where DWM offers it (Windows 11; dark
// mode from Windows 10 20H1). Elsewhere the attributes are refused and the
// caption stays the system's.
void ColourCaption(HWND window, const StylePalette& palette) {
  HMODULE dwm = LoadLibraryW(L"dwmapi.dll");
  if (dwm == nullptr) return;
  using SetAttribute = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);
  const auto set = reinterpret_cast<SetAttribute>(
      reinterpret_cast<void*>(GetProcAddress(dwm, "DwmSetWindowAttribute")));
  if (set != nullptr) {
    constexpr DWORD kUseDarkMode = 20;
    constexpr DWORD kCaptionColor = 35;
    constexpr DWORD kTextColor = 36;
    const std::uint32_t bg = palette.bg;
    const BOOL dark = ((bg >> 16) & 0xFF) + ((bg >> 8) & 0xFF) + (bg & 0xFF) < 3 * 128;
    const COLORREF caption = ToColorRef(palette.bg);
    const COLORREF text = ToColorRef(palette.fg);
    set(window, kUseDarkMode, &dark, sizeof dark);
    set(window, kCaptionColor, &caption, sizeof caption);
    set(window, kTextColor, &text, sizeof text);
  }
  FreeLibrary(dwm);
}

struct PromptState {
  const PasswordKeyUp* key_up = nullptr;
  const StyleBrushes* style = nullptr;
  HWND window = nullptr;
  HWND edit = nullptr;
  WNDPROC edit_proc = nullptr;
  HFONT font = nullptr;
  UINT dpi = kBaseDpi;
  bool accepted = false;
  bool done = false;
};

// A key lying on its side in the square of `size` pixels at (x, y), drawn
// on a grid of 16 by 16.
void DrawKey(HDC dc, int x, int y, int size, COLORREF colour) {
  const auto at = [size](int units) { return MulDiv(units, size, kKeySize); };
  HBRUSH brush = CreateSolidBrush(colour);
  HPEN pen = CreatePen(PS_SOLID, at(2), colour);
  HGDIOBJ old_pen = SelectObject(dc, pen);
  HGDIOBJ old_brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  Ellipse(dc, x + at(1), y + at(4), x + at(9), y + at(12));  // the bow
  SelectObject(dc, old_brush);
  SelectObject(dc, old_pen);
  RECT shaft{x + at(8), y + at(7), x + at(16), y + at(9)};
  FillRect(dc, &shaft, brush);
  RECT tooth1{x + at(11), y + at(9), x + at(13), y + at(12)};
  FillRect(dc, &tooth1, brush);
  RECT tooth2{x + at(14), y + at(9), x + at(16), y + at(11)};
  FillRect(dc, &tooth2, brush);
  DeleteObject(pen);
  DeleteObject(brush);
}

// Sizes the prompt and its edit box for `dpi` with the font of that DPI; the
// window's top-left corner at `origin`, or centred on the screen without.
void LayOut(PromptState& state, UINT dpi, std::optional<POINT> origin) {
  state.dpi = dpi;
  RECT frame{0, 0, ScaleForDpi(kClientWidth, dpi), ScaleForDpi(kClientHeight, dpi)};
  AdjustWindowRectForDpi(frame, kStyle, kExStyle, dpi);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  if (!origin) {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    origin = POINT{work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2};
  }
  SetWindowPos(state.window, nullptr, origin->x, origin->y, width, height,
               SWP_NOZORDER | SWP_NOACTIVATE);
  if (state.edit == nullptr) return;
  HFONT old_font = state.font;
  state.font = CreateMessageFontForDpi(dpi);
  if (state.font != nullptr) {
    SendMessageW(state.edit, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), 0);
  }
  if (old_font != nullptr) DeleteObject(old_font);
  SetWindowPos(state.edit, nullptr, ScaleForDpi(kEditLeft, dpi), ScaleForDpi(kEditTop, dpi),
               ScaleForDpi(kEditWidth, dpi), ScaleForDpi(kEditHeight, dpi),
               SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(state.edit, EM_SETMARGINS, EC_LEFTMARGIN, MAKELPARAM(ScaleForDpi(kKeyArea, dpi), 0));
  InvalidateRect(state.edit, nullptr, TRUE);
}

std::string EditText(HWND edit) {
  const int length = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(edit, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return Utf8FromWide(text);
}

LRESULT CALLBACK EditProc(HWND edit, UINT msg, WPARAM wp, LPARAM lp) {
  auto* state = reinterpret_cast<PromptState*>(GetWindowLongPtrW(GetParent(edit), GWLP_USERDATA));
  const LRESULT result = CallWindowProcW(state->edit_proc, edit, msg, wp, lp);
  if (msg == WM_PAINT) {
    RECT client;
    GetClientRect(edit, &client);
    HDC dc = GetDC(edit);
    const auto& palette = state->style->palette();
    const int size = ScaleForDpi(kKeySize, state->dpi);
    DrawKey(dc, ScaleForDpi(kKeyLeft, state->dpi), (client.bottom - size) / 2, size,
            palette ? ToColorRef(palette->base_fg) : GetSysColor(COLOR_BTNTEXT));
    ReleaseDC(edit, dc);
  }
  if (msg == WM_KEYUP && !state->accepted) {
    bool accept = false;
    try {
      accept = (*state->key_up)(EditText(edit));
    } catch (...) {
      // Nothing may unwind through the window procedure.
    }
    if (accept) {
      state->accepted = true;
      DestroyWindow(state->window);
    }
  }
  return result;
}

LRESULT CALLBACK PromptProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  auto* state = reinterpret_cast<PromptState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      if (state != nullptr) state->done = true;
      return 0;
    case kWmDpiChanged:
      if (state != nullptr) {
        const auto* suggested = reinterpret_cast<const RECT*>(lp);
        LayOut(*state, HIWORD(wp), POINT{suggested->left, suggested->top});
        return 0;
      }
      break;
    case WM_ERASEBKGND:
      if (state != nullptr && state->style->window() != nullptr) {
        RECT client;
        GetClientRect(window, &client);
        FillRect(reinterpret_cast<HDC>(wp), &client, state->style->window());
        return 1;
      }
      break;
    case WM_CTLCOLOREDIT:
      if (state != nullptr && state->style->edit() != nullptr) {
        const auto dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, ToColorRef(state->style->palette()->base_fg));
        SetBkColor(dc, ToColorRef(state->style->palette()->base));
        return reinterpret_cast<LRESULT>(state->style->edit());
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

void RegisterPromptClass(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = PromptProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // fails harmlessly when already registered
}

}  // namespace

bool RunWin32PasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterPromptClass(instance);
  const StyleBrushes colours(ActiveStylePalette());
  PromptState state;
  state.key_up = &key_up;
  state.style = &colours;

  // Made hidden at no size: only the window can tell its monitor's DPI.
  const std::wstring title = WideFromUtf8(caption);
  HWND window = CreateWindowExW(kExStyle, kClassName, title.c_str(), kStyle, 0, 0, 0, 0, nullptr,
                                nullptr, instance, &state);
  if (window == nullptr) return false;
  state.window = window;
  if (colours.palette()) ColourCaption(window, *colours.palette());

  HWND edit = CreateWindowExW(
      WS_EX_CLIENTEDGE, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 0, 0, 0, 0, window,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kEditId)), instance, nullptr);
  if (edit == nullptr) {
    DestroyWindow(window);
    return false;
  }
  state.edit = edit;
  SendMessageW(edit, EM_SETPASSWORDCHAR, L'*', 0);
  LayOut(state, DpiForWindow(window), std::nullopt);
  state.edit_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));

  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  SetFocus(edit);

  MSG msg;
  while (!state.done) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      // Told to end: hand the quit on and report the prompt as closed.
      PostQuitMessage(static_cast<int>(msg.wParam));
      if (!state.done) DestroyWindow(window);
      break;
    }
    if (got < 0) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (!state.done) DestroyWindow(window);
  if (state.font != nullptr) DeleteObject(state.font);
  return state.accepted;
}

}  // namespace tessel::platform
