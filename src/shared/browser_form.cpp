#include "shared/browser_form.h"

#include <utility>

#include "platform/engine_basics.h"
#include "platform/os.h"
#include "shared/bridge_script.h"
#include "shared/relaunch_proof.h"
#include "shared/sys_utils.h"

namespace tessel::shared {

namespace {

constexpr std::string_view kDragOverGuard =
    "window.addEventListener(\"dragover\", function(e){e.preventDefault();},false);";
constexpr std::string_view kDropGuard =
    "window.addEventListener(\"drop\", function(e){e.preventDefault();}, false);";
constexpr std::string_view kClickHook =
    "window.addEventListener(\"click\", function () "
    "{window.chrome.webview.postMessage(\"vtx-webbrowser-clicked\");});";
constexpr std::string_view kClickedMessage = "vtx-webbrowser-clicked";

// Blank: nothing but characters up to U+0020 (in UTF-8 exactly the bytes up
// to 0x20).
bool IsBlank(const std::string& text) {
  for (unsigned char c : text) {
    if (c > 0x20) return false;
  }
  return true;
}

// The running executable's folder with its trailing separator; empty when
// the system cannot tell.
std::string ExecutableDirPath() {
  const platform::Os& os = platform::CurrentOs();
  const std::string exe = os.ExecutablePath();
  const std::size_t at = exe.rfind(os.PathSeparator());
  return at == std::string::npos ? std::string() : exe.substr(0, at + 1);
}

bool IsLocalFileAddress(std::string_view uri) {
  return platform::StartsWithIgnoreAsciiCase(uri, "file:");
}

// The document an address names: without its fragment.
std::string_view DocumentAddress(std::string_view uri) { return uri.substr(0, uri.find('#')); }

// The file name a path or address ends with ('/' or '\\' separate).
std::string FileNameOf(std::string_view path) {
  const std::size_t at = path.find_last_of("/\\");
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

}  // namespace

void TAppDocumentTracker::Served(std::string_view uri, TResourceOrigin origin) {
  if (origin == TResourceOrigin::AbsolutePath) return;
  FAppAddresses.emplace(DocumentAddress(uri));
}

void TAppDocumentTracker::DocumentCommitted(std::string_view uri) {
  FAppDocumentShown = IsLocalFileAddress(uri) && FAppAddresses.contains(DocumentAddress(uri));
}

bool TAppDocumentTracker::IsAppDocument(std::string_view source) const {
  return FAppDocumentShown && IsLocalFileAddress(source);
}

std::string RelaunchArguments(const std::string& app_id, const std::string& address) {
  return "\"" + app_id + "\" \"" + address + "\"";
}

std::string BuildDocumentScript(bool with_external, const std::string& external_script,
                                bool is_runtime, const std::string& webview_javascript) {
  std::string script;
  const auto add = [&script](std::string_view part) {
    script += '\r';
    script += part;
  };
  if (with_external) add(external_script);
  add(kDragOverGuard);
  add(kDropGuard);
  if (is_runtime) {
    if (!IsBlank(webview_javascript)) add(webview_javascript);
  } else {
    add(kClickHook);
  }
  return script;
}

TBrowserForm::TBrowserForm(std::unique_ptr<platform::NativeView> edge_view,
                           platform::NativeWindowHandle client_area, IBrowserFormView* view)
    : FAppDirPath(ExecutableDirPath()), FExternalScript(BridgeScript()), FView(view) {
  FEdgeBrowser = std::make_unique<TEdgeBrowser>(std::move(edge_view));
  TEdgeBrowser& edge = *FEdgeBrowser;
  edge.SetOnProcessFailed([this](TCustomEdgeBrowser* sender, platform::ProcessFailedKind kind) {
    EdgeBrowserProcessFailed(sender, kind);
  });
  edge.SetOnNewWindowRequested(
      [this](TCustomEdgeBrowser* sender, TNewWindowRequestedEventArgs& args) {
        EdgeBrowserNewWindowRequested(sender, args);
      });
  edge.SetOnCreateWebViewCompleted([this](TCustomEdgeBrowser* sender, HRESULT result) {
    EdgeBrowserCreateWebViewCompleted(sender, result);
  });
  edge.SetOnWebResourceRequested(
      [this](TCustomEdgeBrowser* sender, TWebResourceRequestedEventArgs& args) {
        EdgeBrowserWebResourceRequested(sender, args);
      });
  edge.SetOnNavigationCompleted(
      [this](TCustomEdgeBrowser* sender, bool success, platform::WebErrorStatus status) {
        EdgeBrowserNavigationCompleted(sender, success, status);
      });
  edge.SetOnWebMessageReceived(
      [this](TCustomEdgeBrowser* sender, TWebMessageReceivedEventArgs& args) {
        EdgeBrowserClickMessageReceived(sender, args);
      });
  edge.SetOnPermissionRequested(
      [this](TCustomEdgeBrowser* sender, TPermissionRequestedEventArgs& args) {
        EdgeBrowserPermissionRequested(sender, args);
      });
  edge.SetOnNavigationStarting(
      [this](TCustomEdgeBrowser* sender, TNavigationStartingEventArgs& args) {
        EdgeBrowserNavigationStarting(sender, args);
      });
  edge.SetOnContentLoading(
      [this](TCustomEdgeBrowser* sender, bool error_page, std::uint64_t navigation_id) {
        EdgeBrowserContentLoading(sender, error_page, navigation_id);
      });
  if (FView != nullptr) FView->SetBusyBarVisible(true);
  edge.SetParent(client_area);
}

TBrowserForm::~TBrowserForm() {
  if (auto web_view = FDownloadWebView.lock()) web_view->remove_DownloadStarting(FDownloadToken);
  FEdgeBrowser.reset();
}

void TBrowserForm::EdgeBrowserProcessFailed(TCustomEdgeBrowser* /*Sender*/,
                                            platform::ProcessFailedKind Kind) {
  // Neither reported nor followed by any action; only remembered, so that a
  // page that can no longer answer does not keep the user from closing.
  using platform::ProcessFailedKind;
  // A page that only hangs may come back and still have something to ask.
  if (Kind == ProcessFailedKind::kBrowserProcessExited ||
      Kind == ProcessFailedKind::kRenderProcessExited) {
    FPageGone = true;
  }
}

void TBrowserForm::EdgeBrowserNewWindowRequested(TCustomEdgeBrowser* /*Sender*/,
                                                 TNewWindowRequestedEventArgs& Args) {
  if (!FIsRuntime) return;
  const auto& args = Args.ArgsInterface();
  std::string uri;
  if (!args || platform::Failed(args->get_Uri(&uri))) return;
  if (!IsLocalFileAddress(uri)) return;
  args->put_Handled(true);
  // Only the app's own document may open a new instance, and only for one of
  // the app's own pages: a file elsewhere on disk would be no app document
  // there either. Any other request is simply refused.
  if (!FAppDocuments.AppDocumentShown() || !FHandleRequests) return;
  const std::optional<TServedResource> target =
      LookUpResource(DocumentAddress(uri), TResourceSource{FExeZip, FAppDirName, FAppDirPath},
                     platform::CurrentOs());
  if (!target || target->Origin == TResourceOrigin::AbsolutePath) return;
  // A relaunch that cannot start is not reported; the request stays handled.
  StartRelaunch(RelaunchArguments(FRuntimeAppID, uri), AppDataDirPath(FRuntimeAppID));
}

void TBrowserForm::EdgeBrowserCreateWebViewCompleted(TCustomEdgeBrowser* /*Sender*/,
                                                     HRESULT AResult) {
  if (platform::Failed(AResult)) return;
  RegisterDocumentScripts();
  ApplySettings();
  FEdgeBrowser->AddWebResourceRequestedFilter("*", platform::WebResourceContext::kAll);
  SubscribeToDownloads();
  if (!FStartPageURL.empty()) {
    FHostNavigationPending = true;
    FEdgeBrowser->Navigate(FStartPageURL);
  }
}

void TBrowserForm::SubscribeToDownloads() {
  const auto web_view = FEdgeBrowser->DefaultInterface();
  if (!web_view) return;
  if (auto previous = FDownloadWebView.lock()) previous->remove_DownloadStarting(FDownloadToken);
  FDownloadWebView.reset();
  platform::EventRegistrationToken token = 0;
  const platform::HRESULT added = web_view->add_DownloadStarting(
      [this](const std::shared_ptr<platform::DownloadStartingEventArgs>& args) {
        if (args) EdgeBrowserDownloadStarting(*args);
        return platform::kSOk;
      },
      &token);
  if (platform::Failed(added)) return;
  FDownloadToken = token;
  FDownloadWebView = web_view;
}

void TBrowserForm::RegisterDocumentScripts() {
  const auto web_view = FEdgeBrowser->DefaultInterface();
  if (!web_view) return;
  std::string script =
      BuildDocumentScript(FWithExternal, FExternalScript, FIsRuntime, FWebviewJavascript);
  if (!FDiagnosticScript.empty()) script = '\r' + FDiagnosticScript + script;
  web_view->AddScriptToExecuteOnDocumentCreated(script, nullptr);
}

void TBrowserForm::ApplySettings() {
  const auto settings = FEdgeBrowser->SettingsInterface();
  if (!settings) return;
  settings->put_IsScriptEnabled(true);
  settings->put_IsStatusBarEnabled(false);
  settings->put_IsZoomControlEnabled(false);
  settings->put_IsWebMessageEnabled(true);
  settings->put_IsBuiltInErrorPageEnabled(true);
  settings->put_AreDevToolsEnabled(FAllowDebug);
  settings->put_AreDefaultContextMenusEnabled(FAllowContextMenu);
}

void TBrowserForm::EdgeBrowserWebResourceRequested(TCustomEdgeBrowser* /*Sender*/,
                                                   TWebResourceRequestedEventArgs& Args) {
  if (!FHandleRequests) return;
  const TResourceSource source{FExeZip, FAppDirName, FAppDirPath};
  const auto environment = FEdgeBrowser->EnvironmentInterface();
  const std::optional<TServedResource> served = AnswerResourceRequest(
      environment.get(), Args.ArgsInterface().get(), source, platform::CurrentOs());
  if (served) {
    FAppDocuments.Served(served->Uri, served->Origin);
    if (OnResourceServed) OnResourceServed(*served);
    return;
  }
  if (!OnResourceUnserved) return;
  const auto& args = Args.ArgsInterface();
  std::shared_ptr<platform::WebResourceRequest> request;
  std::string uri;
  if (!args || platform::Failed(args->get_Request(&request)) || !request ||
      platform::Failed(request->get_Uri(&uri))) {
    return;
  }
  if (IsLocalFileAddress(uri)) OnResourceUnserved(uri);
}

void TBrowserForm::EdgeBrowserNavigationStarting(TCustomEdgeBrowser* /*Sender*/,
                                                 TNavigationStartingEventArgs& Args) {
  const auto& args = Args.ArgsInterface();
  std::string uri;
  if (!args || platform::Failed(args->get_Uri(&uri))) return;
  // The engine reports the address as it normalised it (escapes, case), so
  // the host's own navigation is known by coming first, not by its text.
  const bool by_host = FHostNavigationPending;
  FHostNavigationPending = false;
  // A foreign document must not bring a local file up in its place: that
  // file would then be shown as if the app had chosen it.
  if (FIsRuntime && !by_host && !FAppDocuments.AppDocumentShown() && IsLocalFileAddress(uri)) {
    args->put_Cancel(true);
  }
}

void TBrowserForm::EdgeBrowserContentLoading(TCustomEdgeBrowser* /*Sender*/, bool /*IsErrorPage*/,
                                             std::uint64_t /*NavigationID*/) {
  FPageGone = false;
  FAppDocuments.DocumentCommitted(FEdgeBrowser->LocationURL());
}

void TBrowserForm::EdgeBrowserDownloadStarting(platform::DownloadStartingEventArgs& Args) {
  // Never saved without the user choosing where, and never for a document
  // that is not the app's own.
  std::string suggested;
  Args.get_ResultFilePath(&suggested);
  std::optional<std::string> chosen;
  if (FIsRuntime && FAppDocuments.AppDocumentShown() && FView != nullptr) {
    chosen = FView->ChooseDownloadPath(FileNameOf(suggested));
  }
  if (chosen && !chosen->empty()) {
    Args.put_ResultFilePath(*chosen);
  } else {
    Args.put_Cancel(true);
  }
}

void TBrowserForm::EdgeBrowserNavigationCompleted(TCustomEdgeBrowser* /*Sender*/,
                                                  bool /*IsSuccess*/,
                                                  platform::WebErrorStatus /*WebErrorStatus*/) {
  // Any completed navigation ends the wait, a failed one too; the bar never
  // comes back.
  if (!FBusyBarVisible) return;
  FBusyBarVisible = false;
  if (FView != nullptr) FView->SetBusyBarVisible(false);
}

void TBrowserForm::EdgeBrowserClickMessageReceived(TCustomEdgeBrowser* /*Sender*/,
                                                   TWebMessageReceivedEventArgs& Args) {
  std::string message;
  const auto& args = Args.ArgsInterface();
  // A message that is not a plain string reads as empty.
  if (!args || platform::Failed(args->TryGetWebMessageAsString(&message))) message.clear();
  if (!FIsRuntime && message == kClickedMessage && FView != nullptr) FView->FocusParentOfParent();
}

void TBrowserForm::EdgeBrowserPermissionRequested(TCustomEdgeBrowser* /*Sender*/,
                                                  TPermissionRequestedEventArgs& Args) {
  // Only the app's own pages get camera, microphone, location and the like
  // without a prompt. The address is that of the frame that asks, so a frame
  // of another origin inside an app page is left to the engine's default
  // (which asks the user or refuses), as is any page the app navigated to.
  const auto& args = Args.ArgsInterface();
  std::string uri;
  if (!args || platform::Failed(args->get_Uri(&uri))) return;
  if (FAppDocuments.IsAppDocument(uri)) args->put_State(platform::PermissionState::kAllow);
}

}  // namespace tessel::shared
