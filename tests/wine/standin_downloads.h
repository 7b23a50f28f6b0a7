// The stand-in engine's downloads and the newer view interfaces they come
// with (ICoreWebView2_2 to _4). Test code only: never packed into an app.
#pragma once

#include <windows.h>
// windows.h first: the COM headers rely on its types.
#include <objbase.h>

#include <string>

#include "platform/win32/webview2_com.h"

namespace tessel::standin {

// True for the IIDs of ICoreWebView2_2, _3 and _4.
bool IsNewerViewInterface(REFIID iid);
// QueryInterface of the view `view` (whose events belong to `core`) for one
// of those: E_NOINTERFACE while TESSEL_STANDIN_OLDER_ENGINE is set, as an
// engine that predates them answers.
::HRESULT QueryNewerView(webview2::ICoreWebView2* view, const void* core, REFIID iid,
                         void** object);
// The scenario step "download URI [NAME]": the page at `source` starts a
// download of URI, which the server names NAME (else the address's last
// segment). Raised to the runtime when it subscribed, otherwise the engine's
// own handling saves it to the default folder.
void StartDownload(const void* core, webview2::ICoreWebView2* view, const std::string& source,
                   const std::string& rest);
// The view closed: no more events, the runtime's handlers let go.
void ForgetDownloads(const void* core);

}  // namespace tessel::standin
