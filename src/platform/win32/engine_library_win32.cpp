// Opens the engine's loader library (WebView2LoaderWin64.dll) and wraps the
// exports the component uses. Every failure is an HRESULT: a missing, empty,
// foreign or wrong-architecture file is simply "not an engine library".
#include <windows.h>
// windows.h first: objbase.h relies on its types.
#include <objbase.h>

#include <string>
#include <utility>

#include "platform/engine.h"
#include "shared/utf.h"

namespace tessel::platform {
namespace {

// The loader's exports (STDAPI: extern "C" HRESULT __stdcall, names
// undecorated on x64).
using GetVersionFunction = ::HRESULT(STDAPICALLTYPE*)(PCWSTR browser_folder, LPWSTR* version);
using CreateEnvironmentFunction = ::HRESULT(STDAPICALLTYPE*)(IUnknown* completed_handler);

constexpr char kGetVersionExport[] = "GetAvailableCoreWebView2BrowserVersionString";
constexpr char kCreateEnvironmentExport[] = "CreateCoreWebView2Environment";

std::wstring WideFromUtf8(const std::string& text) {
  const std::u16string units = shared::utf::Utf8ToUtf16(text);
  return {units.begin(), units.end()};
}

std::string Utf8FromWide(const wchar_t* text) {
  const std::wstring_view view(text);
  return shared::utf::Utf16ToUtf8(std::u16string(view.begin(), view.end()));
}

// GetProcAddress gives a FARPROC whatever the export's signature is.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class Win32EngineLoader final : public EngineLoader {
 public:
  Win32EngineLoader(HMODULE module, GetVersionFunction get_version,
                    CreateEnvironmentFunction create_environment)
      : module_(module), get_version_(get_version), create_environment_(create_environment) {}
  Win32EngineLoader(const Win32EngineLoader&) = delete;
  Win32EngineLoader& operator=(const Win32EngineLoader&) = delete;

  // Windows counts the loads of a library, so the copies of other users
  // (the component, the engine check) stay loaded.
  ~Win32EngineLoader() override { FreeLibrary(module_); }

  HRESULT CreateCoreWebView2Environment(CreateEnvironmentCompletedHandler completed) override {
    if (!completed) return kEPointer;
    // TODO(windows engine): call create_environment_ with a COM completion
    // handler and wrap the ICoreWebView2Environment it delivers in the engine
    // seam (and let that environment keep this library loaded). Until then
    // every web view on Windows ends its creation with E_NOTIMPL: the main
    // window opens without a page, and as no page can agree to a close, the
    // window refuses every close request.
    (void)create_environment_;
    return kENotImpl;
  }

  HRESULT GetCoreWebView2BrowserVersionString(std::string* version) override {
    if (version == nullptr) return kEPointer;
    LPWSTR text = nullptr;
    const HRESULT hr = static_cast<HRESULT>(get_version_(nullptr, &text));
    std::string result = text != nullptr ? Utf8FromWide(text) : std::string();
    // The loader allocates the string with CoTaskMemAlloc; null is allowed.
    CoTaskMemFree(text);
    if (Failed(hr)) return hr;
    *version = std::move(result);
    return kSOk;
  }

 private:
  HMODULE module_;
  GetVersionFunction get_version_;
  CreateEnvironmentFunction create_environment_;
};

}  // namespace

HRESULT OpenNativeEngineLibrary(const std::string& path, std::shared_ptr<EngineLoader>* loader) {
  if (loader == nullptr) return kEPointer;
  // An embedded NUL would open a different file than the one named.
  if (path.empty() || path.find('\0') != std::string::npos) return kEFail;
  const std::wstring wide_path = WideFromUtf8(path);

  // A damaged or foreign file must fail quietly, not with a system box
  // about a bad image.
  DWORD previous_mode = 0;
  const bool mode_set =
      SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode) != 0;
  HMODULE module = LoadLibraryW(wide_path.c_str());
  if (mode_set) SetThreadErrorMode(previous_mode, nullptr);
  if (module == nullptr) return kEFail;

  const auto get_version = Export<GetVersionFunction>(module, kGetVersionExport);
  const auto create_environment =
      Export<CreateEnvironmentFunction>(module, kCreateEnvironmentExport);
  if (get_version == nullptr || create_environment == nullptr) {
    FreeLibrary(module);
    return kEFail;
  }
  *loader = std::make_shared<Win32EngineLoader>(module, get_version, create_environment);
  return kSOk;
}

}  // namespace tessel::platform
