#include "platform/engine.h"

namespace tessel::platform {

// TODO(windows engine): open WebView2LoaderWin64.dll and wrap its exports.
// Until then every creation on Windows reports the loader failure (E_FAIL
// through OnCreateWebViewCompleted, state Creating), as for a missing loader.
HRESULT OpenNativeEngineLibrary(const std::string& /*path*/,
                                std::shared_ptr<EngineLoader>* loader) {
  return loader == nullptr ? kEPointer : kEFail;
}

}  // namespace tessel::platform
