// The UI thread on Windows is the thread that makes the dispatcher; posts go
// to a message-only window it owns, so they run inside whatever message loop
// that thread runs (modal loops included).
#include <windows.h>

#include <utility>

#include "platform/ui_dispatch.h"

namespace tessel::platform {
namespace {

using Procedure = std::function<void()>;
constexpr UINT kRunPosted = WM_APP + 0x3A1;
constexpr wchar_t kClassName[] = L"TesselUiDispatch";

LRESULT CALLBACK DispatchWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kRunPosted) {
    auto* procedure = reinterpret_cast<Procedure*>(lparam);
    try {
      (*procedure)();
    } catch (...) {
      // Nothing may unwind into the message loop.
    }
    delete procedure;
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

class Win32UiDispatcher : public UiDispatcher {
 public:
  Win32UiDispatcher() : thread_id_(GetCurrentThreadId()) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DispatchWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClassName;
    RegisterClassExW(&window_class);
    window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  }

  bool IsUiThread() const override { return GetCurrentThreadId() == thread_id_; }

  bool Post(std::function<void()> procedure) override {
    if (!procedure || window_ == nullptr) return false;
    auto* owned = new Procedure(std::move(procedure));
    if (!PostMessageW(window_, kRunPosted, 0, reinterpret_cast<LPARAM>(owned))) {
      delete owned;
      return false;
    }
    return true;
  }

 private:
  DWORD thread_id_;
  HWND window_ = nullptr;
};

}  // namespace

std::unique_ptr<UiDispatcher> MakeNativeUiDispatcher() {
  return std::make_unique<Win32UiDispatcher>();
}

}  // namespace tessel::platform
