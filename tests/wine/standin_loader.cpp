// A stand-in for the engine's loader library (WebView2LoaderWin64.dll) for the
// runs under Wine, where no engine is installed. It reports an installed
// engine, or none while TESSEL_STANDIN_NO_ENGINE is set, and refuses to create
// an environment. Exports as the real loader's: undecorated, stdcall.
#include <windows.h>
// windows.h first: objbase.h relies on its types.
#include <objbase.h>

namespace {

constexpr wchar_t kVersion[] = L"100.0.0.0";

// Set at all, even empty: the size asked for then counts the terminating NUL.
bool EngineHidden() {
  return GetEnvironmentVariableW(L"TESSEL_STANDIN_NO_ENGINE", nullptr, 0) != 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT STDAPICALLTYPE
    GetAvailableCoreWebView2BrowserVersionString(PCWSTR /*browser_folder*/, LPWSTR* version) {
  if (version == nullptr) return E_POINTER;
  *version = nullptr;
  if (EngineHidden()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kVersion));
  if (copy == nullptr) return E_OUTOFMEMORY;
  CopyMemory(copy, kVersion, sizeof kVersion);
  *version = copy;
  return S_OK;
}

// Left out of a second build: a library that answers the version query but
// cannot create an engine.
#ifndef TESSEL_STANDIN_VERSION_ONLY
__declspec(dllexport) HRESULT STDAPICALLTYPE
    CreateCoreWebView2Environment(IUnknown* completed_handler) {
  return completed_handler == nullptr ? E_POINTER : E_NOTIMPL;
}
#endif

}  // extern "C"
