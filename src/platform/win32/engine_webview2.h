// The engine seam over WebView2's COM objects. Private to platform/win32: the
// loader library (engine_library_win32.cpp) hands its creating export here.
#pragma once

#include <memory>

#include "platform/engine.h"
#include "platform/win32/webview2_com.h"

namespace tessel::platform {

// CreateCoreWebView2EnvironmentWithOptions (STDAPI).
using CreateEnvironmentWithOptionsFunction = ::HRESULT(STDAPICALLTYPE*)(
    PCWSTR browser_folder, PCWSTR user_data_folder,
    webview2::ICoreWebView2EnvironmentOptions* options,
    webview2::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* completed);

// Creates an environment on the UI thread (joining the single-threaded
// apartment there first) and wraps what the engine delivers. Any thread.
// `library` is kept alive by every object made from the environment, so the
// engine's code stays loaded while the runtime still holds any of them.
HRESULT CreateWebView2Environment(CreateEnvironmentWithOptionsFunction create,
                                  std::shared_ptr<void> library,
                                  CreateEnvironmentCompletedHandler completed);

}  // namespace tessel::platform
