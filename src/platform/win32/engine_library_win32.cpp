// Opens the engine's loader library (WebView2LoaderWin64.dll) and wraps the
// exports the component uses. Every failure is an HRESULT: a missing, empty,
// foreign or wrong-architecture file is simply "not an engine library".
// The engine objects themselves are wrapped in engine_webview2.cpp.
#include <windows.h>
// windows.h first: objbase.h relies on its types.
#include <objbase.h>

#include <string>
#include <utility>

#include "platform/engine.h"
#include "platform/win32/engine_webview2.h"
#include "platform/win32/wide_text.h"

namespace tessel::platform {
namespace {

// The loader's exports (STDAPI: extern "C" HRESULT __stdcall, names
// undecorated on x64).
using GetVersionFunction = ::HRESULT(STDAPICALLTYPE*)(PCWSTR browser_folder, LPWSTR* version);

constexpr char kGetVersionExport[] = "GetAvailableCoreWebView2BrowserVersionString";
constexpr char kCreateEnvironmentExport[] = "CreateCoreWebView2EnvironmentWithOptions";

// GetProcAddress gives a FARPROC whatever the export's signature is.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// One load of the library, freed with the last object that needs its code.
// Windows counts the loads, so the copies of other users (the component, the
// engine check) stay loaded.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(HMODULE module) : module_(module) {}
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() { FreeLibrary(module_); }

 private:
  HMODULE module_;
};

class Win32EngineLoader final : public EngineLoader {
 public:
  Win32EngineLoader(std::shared_ptr<LoadedLibrary> library, GetVersionFunction get_version,
                    CreateEnvironmentWithOptionsFunction create_environment)
      : library_(std::move(library)),
        get_version_(get_version),
        create_environment_(create_environment) {}

  HRESULT CreateCoreWebView2Environment(CreateEnvironmentCompletedHandler completed) override {
    return CreateWebView2Environment(create_environment_, library_, std::move(completed));
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
  std::shared_ptr<LoadedLibrary> library_;
  GetVersionFunction get_version_;
  CreateEnvironmentWithOptionsFunction create_environment_;
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
      Export<CreateEnvironmentWithOptionsFunction>(module, kCreateEnvironmentExport);
  if (get_version == nullptr || create_environment == nullptr) {
    FreeLibrary(module);
    return kEFail;
  }
  *loader = std::make_shared<Win32EngineLoader>(std::make_shared<LoadedLibrary>(module),
                                                get_version, create_environment);
  return kSOk;
}

}  // namespace tessel::platform
