// The Win32 implementation of the UI seam. Message dialogs are task dialogs
// whose buttons are all custom (so each can carry a caption and keep the
// layout order), with a message box as the fallback.
#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

#include "platform/dialog_model.h"
#include "platform/style_sheets.h"
#include "platform/ui.h"
#include "platform/win32/main_window_win32.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

// Buttons treat '&' as a mnemonic marker; a caller's caption is shown as given.
std::wstring LiteralCaption(const std::string& caption) {
  std::wstring out;
  for (const wchar_t c : WideFromUtf8(caption)) {
    if (c == L'&') out += L'&';
    out += c;
  }
  return out;
}

// GetProcAddress hands back a generic function pointer; going through
// void(*)() is the cast the compiler accepts for any signature.
template <typename Fn>
Fn LoadFunction(const wchar_t* module, const char* name) {
  HMODULE lib = GetModuleHandleW(module);
  if (lib == nullptr) lib = LoadLibraryW(module);
  if (lib == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(lib, name)));
}

// comctl32 exports TaskDialogIndirect only in version 6, which an executable
// gets through its manifest; looked up at run time so the program still
// starts (and falls back to a message box) without one.
using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

TaskDialogIndirectFn TaskDialogFunction() {
  static const auto fn = LoadFunction<TaskDialogIndirectFn>(L"comctl32.dll", "TaskDialogIndirect");
  return fn;
}

// user32's localized captions of the message box buttons (documented as
// MB_GetString, indexed by the button id minus one).
using MbGetStringFn = LPCWSTR(WINAPI*)(UINT);

std::wstring PlatformCaption(DialogButton button) {
  static const auto mb_get_string = LoadFunction<MbGetStringFn>(L"user32.dll", "MB_GetString");
  int id = 0;
  switch (button) {
    case DialogButton::OK:
      id = IDOK;
      break;
    case DialogButton::Cancel:
      id = IDCANCEL;
      break;
    case DialogButton::Abort:
      id = IDABORT;
      break;
    case DialogButton::Retry:
      id = IDRETRY;
      break;
    case DialogButton::Ignore:
      id = IDIGNORE;
      break;
    case DialogButton::Yes:
      id = IDYES;
      break;
    case DialogButton::No:
      id = IDNO;
      break;
    case DialogButton::Close:
      id = IDCLOSE;
      break;
    case DialogButton::Help:
      id = IDHELP;
      break;
    default:
      break;
  }
  if (id != 0 && mb_get_string != nullptr) {
    if (const LPCWSTR text = mb_get_string(static_cast<UINT>(id - 1)); text != nullptr && *text) {
      return text;
    }
  }
  return WideFromUtf8(std::string(DefaultButtonCaption(button)));
}

PCWSTR TaskDialogIcon(DialogIcon icon) {
  switch (icon) {
    case DialogIcon::Warning:
      return TD_WARNING_ICON;
    case DialogIcon::Error:
      return TD_ERROR_ICON;
    case DialogIcon::Information:
      return TD_INFORMATION_ICON;
    case DialogIcon::None:
      return nullptr;
  }
  return nullptr;
}

UINT MessageBoxIcon(DialogIcon icon) {
  switch (icon) {
    case DialogIcon::Warning:
      return MB_ICONWARNING;
    case DialogIcon::Error:
      return MB_ICONERROR;
    case DialogIcon::Information:
      return MB_ICONINFORMATION;
    case DialogIcon::None:
      return 0;
  }
  return 0;
}

// Start-up dialogs have no window of their own to come up in front of.
HRESULT CALLBACK KeepAbove(HWND hwnd, UINT notification, WPARAM, LPARAM, LONG_PTR) {
  if (notification == TDN_CREATED) {
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(hwnd);
  }
  return S_OK;
}

// Task dialogs without a cancel button have no close box and ignore Escape,
// which is what Escape should do there; the close box answer (Cancel) then
// cannot be given, as no close box is shown.
bool ShowTaskDialog(const std::wstring& text, const DialogLayout& layout, const std::wstring& title,
                    int* result) {
  const TaskDialogIndirectFn task_dialog = TaskDialogFunction();
  if (task_dialog == nullptr) return false;
  std::vector<std::wstring> captions;
  for (const LaidOutButton& b : layout.buttons) {
    captions.push_back(b.caption ? LiteralCaption(*b.caption) : PlatformCaption(b.button));
  }
  std::vector<TASKDIALOG_BUTTON> buttons;
  for (std::size_t i = 0; i < layout.buttons.size(); ++i) {
    // Ids are the modal results; Cancel's 2 is IDCANCEL, which the task
    // dialog also reports for Escape and the close box.
    buttons.push_back({layout.buttons[i].modal_result, captions[i].c_str()});
  }
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof(config);
  config.hwndParent = GetActiveWindow();
  config.dwFlags = TDF_POSITION_RELATIVE_TO_WINDOW;
  if (layout.escape_result == mrCancel) config.dwFlags |= TDF_ALLOW_DIALOG_CANCELLATION;
  config.pszWindowTitle = title.c_str();
  config.pszMainIcon = TaskDialogIcon(layout.icon);
  config.pszContent = text.c_str();
  config.cButtons = static_cast<UINT>(buttons.size());
  config.pButtons = buttons.data();
  config.nDefaultButton = layout.default_result;
  config.pfCallback = KeepAbove;
  int pressed = 0;
  if (FAILED(task_dialog(&config, &pressed, nullptr, nullptr))) return false;
  *result = pressed == IDCANCEL || pressed == 0 ? layout.close_box_result : pressed;
  return true;
}

// The message box shows only fixed button sets with the system's captions.
// A layout that is one of them keeps its buttons (their ids equal the modal
// results); any other gets OK, or OK and Cancel, with OK answering the
// default button.
int ShowMessageBox(const std::wstring& text, const DialogLayout& layout,
                   const std::wstring& title) {
  struct Set {
    std::vector<int> results;
    UINT flags;
  };
  static const std::array<Set, 6> kSets = {{
      {{mrOk}, MB_OK},
      {{mrOk, mrCancel}, MB_OKCANCEL},
      {{mrYes, mrNo}, MB_YESNO},
      {{mrYes, mrNo, mrCancel}, MB_YESNOCANCEL},
      {{mrRetry, mrCancel}, MB_RETRYCANCEL},
      {{mrAbort, mrRetry, mrIgnore}, MB_ABORTRETRYIGNORE},
  }};
  std::vector<int> results;
  for (const LaidOutButton& b : layout.buttons) results.push_back(b.modal_result);
  UINT flags = 0;
  bool exact = false;
  for (const Set& set : kSets) {
    if (set.results == results) {
      flags = set.flags;
      exact = true;
    }
  }
  if (!exact) {
    flags = layout.escape_result == mrCancel ? MB_OKCANCEL : MB_OK;
  } else {
    static const std::array<UINT, 3> kDefaults = {MB_DEFBUTTON1, MB_DEFBUTTON2, MB_DEFBUTTON3};
    for (std::size_t i = 0; i < results.size() && i < kDefaults.size(); ++i) {
      if (results[i] == layout.default_result) flags |= kDefaults[i];
    }
  }
  const int answer =
      MessageBoxW(GetActiveWindow(), text.c_str(), title.c_str(),
                  flags | MessageBoxIcon(layout.icon) | MB_TOPMOST | MB_SETFOREGROUND);
  if (answer == 0) return layout.close_box_result;
  if (!exact && answer == IDOK) return layout.default_result;
  return answer == IDCANCEL ? layout.close_box_result : answer;
}

LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

class Win32Ui : public Ui {
 public:
  // The desktop of an interactive session is always there.
  bool Initialize() override { return true; }

  int MessageDialog(const std::string& text, DialogType type,
                    const std::vector<DialogButton>& buttons,
                    const std::vector<std::string>& captions, const std::string& title) override {
    const DialogLayout layout = LayOutDialog(type, buttons, captions);
    const std::wstring wtext = WideFromUtf8(text);
    const std::wstring wtitle = WideFromUtf8(title);
    int result = mrNone;
    if (ShowTaskDialog(wtext, layout, wtitle, &result)) return result;
    return ShowMessageBox(wtext, layout, wtitle);
  }

  void ErrorBox(const std::string& text, const std::string& caption) override {
    MessageBoxW(GetActiveWindow(), WideFromUtf8(text).c_str(), WideFromUtf8(caption).c_str(),
                MB_ICONERROR | MB_OK);
  }

  // The windows the program draws itself (the password prompt) take the
  // style's palette; the system's dialogs keep the system's look.
  bool ApplyStyle(const std::string& name) override {
    if (name.empty()) return false;
    style_ = name;
    SetActiveStylePalette(FindStylePalette(name));
    return true;
  }

  void RunPlainMainWindow(const std::string& caption) override {
    static const wchar_t kClassName[] = L"TesselPlainWindow";
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = PlainWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;

    // 800x600 of client area, as on the other platform, centred on the work area.
    RECT frame{0, 0, 800, 600};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, width, height};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - width) / 2;
    const int y = work.top + (work.bottom - work.top - height) / 2;
    HWND hwnd = CreateWindowExW(0, kClassName, WideFromUtf8(caption).c_str(), WS_OVERLAPPEDWINDOW,
                                x, y, width, height, nullptr, nullptr, instance, nullptr);
    if (hwnd == nullptr) return;
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
    // The close box destroys the window (DefWindowProc); the loop ends then,
    // without a WM_QUIT that a later loop of the program would inherit.
    MSG msg;
    while (IsWindow(hwnd)) {
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
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
  }

  std::unique_ptr<TopLevelWindow> CreateMainWindow() override { return MakeWin32MainWindow(); }
  std::optional<std::string> OpenFileDialog(FileDialogOptions& options) override {
    return ShowWin32FileDialog(false, options);
  }
  std::optional<std::string> SaveFileDialog(FileDialogOptions& options) override {
    return ShowWin32FileDialog(true, options);
  }

 private:
  std::string style_;
};

}  // namespace

std::unique_ptr<Ui> MakeNativeUi() { return std::make_unique<Win32Ui>(); }

}  // namespace tessel::platform
