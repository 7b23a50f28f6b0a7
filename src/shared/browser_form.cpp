#include "shared/browser_form.h"

#include <utility>

#include "platform/engine_basics.h"
#include "platform/os.h"
#include "shared/bridge_script.h"
#include "shared/relaunch_proof.h"
#include "shared/str_utils.h"
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

// In the top-level document only (a frame has no channel to the host): says
// what the document is about to ask for, just before it asks, because the
// engine will not say which frame asked. The originals are taken before any
// page script runs.
constexpr std::string_view kIntentScript = R"JS((function () {
  'use strict';
  if (window.top !== window.self || !window.chrome || !window.chrome.webview) return;
  var webview = window.chrome.webview, post = webview.postMessage;
  function announce(what) {
    try { post.call(webview, 'vtx-intent ' + what); } catch (e) {}
  }
  function address(url) {
    try { return new URL(String(url), document.baseURI).href; } catch (e) { return ''; }
  }
  function wrap(object, name, intents) {
    var original = object && object[name];
    if (typeof original !== 'function') return;
    object[name] = function () {
      var list = intents.apply(this, arguments);
      for (var i = 0; i < list.length; i++) announce(list[i]);
      return original.apply(this, arguments);
    };
  }
  wrap(window, 'open', function (url) {
    return ['window ' + (url === undefined || url === '' ? 'about:blank' : address(url))];
  });
  function linkIntents(link, event) {
    if (link.hasAttribute('download')) return ['download ' + link.href];
    var base = document.querySelector('base[target]');
    var target = link.target || (base ? base.target : '');
    var newWindow = (target && !/^_(self|parent|top)$/i.test(target)) ||
        (event && (event.button === 1 || event.ctrlKey || event.shiftKey || event.metaKey));
    return newWindow ? ['window ' + link.href] : [];
  }
  function linkOf(node) {
    while (node && node.localName !== 'a' && node.localName !== 'area') node = node.parentNode;
    return node && node.href ? node : null;
  }
  function clicked(event) {
    var link = linkOf(event.target);
    if (link) linkIntents(link, event).forEach(announce);
  }
  window.addEventListener('click', clicked, true);
  window.addEventListener('auxclick', clicked, true);
  // A link clicked by script outside the document is seen by no listener.
  wrap(HTMLElement.prototype, 'click', function () {
    var link = this.isConnected ? null : linkOf(this);
    return link ? linkIntents(link, null) : [];
  });
  var always = function (what) { return function () { return [what]; }; };
  wrap(navigator.geolocation, 'getCurrentPosition', always('permission geolocation'));
  wrap(navigator.geolocation, 'watchPosition', always('permission geolocation'));
  wrap(navigator.mediaDevices, 'getUserMedia', function (constraints) {
    var list = [];
    if (constraints && constraints.video) list.push('permission camera');
    if (constraints && constraints.audio) list.push('permission microphone');
    return list;
  });
  wrap(window.Notification, 'requestPermission', always('permission notifications'));
  wrap(navigator.clipboard, 'read', always('permission clipboard'));
  wrap(navigator.clipboard, 'readText', always('permission clipboard'));
})();)JS";
constexpr std::string_view kIntentPrefix = "vtx-intent ";

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

// Where a download the app did not announce comes from, for the save
// dialog: "" for the app's own addresses, the host of a web address, and
// nothing for what carries no origin the host can read (data: and blob:
// addresses), which a frame of another site may have made and is refused.
std::optional<std::string> DownloadSite(std::string_view uri) {
  if (IsLocalFileAddress(uri)) return std::string();
  if (!TStrUtils::FilePathIsHttpUrl(uri)) return std::nullopt;
  const std::string_view rest = uri.substr(uri.find("://") + 3);
  return std::string(rest.substr(0, rest.find_first_of("/?#")));
}

// The announcement a permission request of `kind` answers.
std::string PermissionIntent(platform::PermissionKind kind) {
  using platform::PermissionKind;
  switch (kind) {
    case PermissionKind::kGeolocation:
      return "permission geolocation";
    case PermissionKind::kCamera:
      return "permission camera";
    case PermissionKind::kMicrophone:
      return "permission microphone";
    case PermissionKind::kNotifications:
      return "permission notifications";
    case PermissionKind::kClipboardRead:
      return "permission clipboard";
    default:
      return "permission unknown";
  }
}

// An announcement with its address reduced to what both engines agree on.
std::string NormalIntent(std::string_view intent) {
  for (const std::string_view kind : {std::string_view("window "), std::string_view("download ")}) {
    if (intent.starts_with(kind)) {
      return std::string(kind) + std::string(AddressPath(intent.substr(kind.size())));
    }
  }
  return std::string(intent);
}

}  // namespace

void TAppDocumentTracker::Served(std::string_view uri, TResourceOrigin origin) {
  if (origin == TResourceOrigin::AbsolutePath) return;
  FAppAddresses.emplace(DocumentAddress(uri));
}

void TAppDocumentTracker::DocumentCommitted(std::string_view uri, std::uint64_t document) {
  FShownDocument = document;
  FAppDocumentShown = document != 0 && IsAppAddress(uri);
  // What the document before it announced or asked is no longer anybody's.
  FIntents.clear();
  FRequests.clear();
}

bool TAppDocumentTracker::IsAppAddress(std::string_view uri) const {
  return IsLocalFileAddress(uri) && FAppAddresses.contains(DocumentAddress(uri));
}

bool TAppDocumentTracker::IsAppDocument(std::string_view source, std::uint64_t document) const {
  return FAppDocumentShown && document != 0 && document == FShownDocument &&
         IsLocalFileAddress(source);
}

std::optional<std::string> TAppDocumentTracker::Announce(std::string_view source,
                                                         std::uint64_t document,
                                                         std::string_view intent) {
  if (!IsAppDocument(source, document) || intent.size() > kMaxIntentSize) return std::nullopt;
  DropStale();
  std::string what = NormalIntent(intent);
  const auto waiting = std::find_if(FRequests.begin(), FRequests.end(),
                                    [&](const TIntent& entry) { return entry.What == what; });
  if (waiting != FRequests.end()) {
    std::string made = std::move(waiting->Made);
    FRequests.erase(waiting);
    return made;
  }
  if (FIntents.size() >= kMaxIntents) FIntents.pop_front();
  FIntents.push_back({document, std::move(what), FClock(), {}});
  return std::nullopt;
}

void TAppDocumentTracker::DropStale() {
  const auto now = FClock();
  std::erase_if(FIntents, [&](const TIntent& entry) {
    return entry.Document != FShownDocument || now - entry.At > kIntentLifetime;
  });
  std::erase_if(FRequests, [&](const TIntent& entry) {
    return entry.Document != FShownDocument || now - entry.At > kRequestLifetime;
  });
}

bool TAppDocumentTracker::TakeIntent(std::string_view intent) {
  DropStale();
  if (!FAppDocumentShown) return false;
  const std::string wanted = NormalIntent(intent);
  const auto found = std::find_if(FIntents.begin(), FIntents.end(),
                                  [&](const TIntent& entry) { return entry.What == wanted; });
  if (found == FIntents.end()) return false;
  FIntents.erase(found);
  return true;
}

bool TAppDocumentTracker::AwaitIntent(std::string_view intent) {
  if (TakeIntent(intent)) return true;
  if (!FAppDocumentShown || intent.size() > kMaxIntentSize) return false;
  if (FRequests.size() >= kMaxIntents) FRequests.pop_front();
  FRequests.push_back({FShownDocument, NormalIntent(intent), FClock(), std::string(intent)});
  return false;
}

std::string_view AddressPath(std::string_view uri) {
  uri = DocumentAddress(uri);
  const std::size_t scheme_end = uri.find("://");
  if (scheme_end == std::string_view::npos) return uri;
  const std::size_t path = uri.find('/', scheme_end + 3);
  return path == std::string_view::npos ? std::string_view("/") : uri.substr(path);
}

std::optional<std::string> IntentOfMessage(platform::WebMessageReceivedEventArgs& args) {
  std::string text;
  if (platform::Failed(args.TryGetWebMessageAsString(&text)) || !text.starts_with(kIntentPrefix)) {
    return std::nullopt;
  }
  return text.substr(kIntentPrefix.size());
}

std::string_view IntentScript() { return kIntentScript; }

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
    add(kIntentScript);
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
  edge.SetOnContentLoading([this](TCustomEdgeBrowser* sender, bool error_page,
                                  std::uint64_t navigation_id, std::uint64_t document_id) {
    EdgeBrowserContentLoading(sender, error_page, navigation_id, document_id);
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
  // Only the app's own top-level document may open a new instance, as it
  // announced, and only for one of the app's own pages: a file elsewhere on
  // disk would be no app document there either. A frame, a window the page
  // opened or a foreign document is simply refused. The engine waits for no
  // answer here, so an announcement still on its way starts the instance
  // when it comes.
  if (FHandleRequests && FAppDocuments.AwaitIntent("window " + uri)) Relaunch(uri);
}

void TBrowserForm::Relaunch(const std::string& uri) {
  const std::optional<TServedResource> target =
      LookUpResource(DocumentAddress(uri), ResourceSource(), platform::CurrentOs());
  if (!target || target->Origin == TResourceOrigin::AbsolutePath) return;
  // A relaunch that cannot start is not reported; the request stays handled.
  std::string arguments = RelaunchArguments(FRuntimeAppID, uri);
  if (!FAppFolder.empty()) {
    std::string folder = FAppFolder;
    // A trailing backslash would escape the closing quote on Windows.
    if (folder.size() > 1) folder.pop_back();
    arguments = "--app-folder \"" + folder + "\" " + arguments;
  }
  StartRelaunch(arguments, AppDataDirPath(FRuntimeAppID));
}

bool TBrowserForm::TakeAnnouncement(platform::WebMessageReceivedEventArgs& args) {
  const std::optional<std::string> intent = IntentOfMessage(args);
  if (!intent) return false;
  std::string source;
  std::uint64_t document = 0;
  if (platform::Failed(args.get_Source(&source)) ||
      platform::Failed(args.get_DocumentId(&document))) {
    return true;
  }
  const std::optional<std::string> waiting = FAppDocuments.Announce(source, document, *intent);
  constexpr std::string_view kWindow = "window ";
  if (waiting && waiting->starts_with(kWindow) && FIsRuntime && FHandleRequests) {
    Relaunch(waiting->substr(kWindow.size()));
  }
  return true;
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
  const TResourceSource source = ResourceSource();
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
                                             std::uint64_t /*NavigationID*/,
                                             std::uint64_t DocumentID) {
  FPageGone = false;
  FAppDocuments.DocumentCommitted(FEdgeBrowser->LocationURL(), DocumentID);
}

void TBrowserForm::EdgeBrowserDownloadStarting(platform::DownloadStartingEventArgs& Args) {
  // Never saved without the user choosing where, and never for a document
  // that is not the app's own. Engines do not say which frame of the page
  // started a download: one the app did not announce names where the file
  // comes from, or is refused when that cannot be told.
  std::string suggested;
  std::string uri;
  Args.get_ResultFilePath(&suggested);
  Args.get_Uri(&uri);
  std::optional<std::string> chosen;
  if (FIsRuntime && FAppDocuments.AppDocumentShown() && FView != nullptr) {
    const std::optional<std::string> site =
        FAppDocuments.TakeIntent("download " + uri) ? std::string() : DownloadSite(uri);
    if (site) chosen = FView->ChooseDownloadPath(FileNameOf(suggested), *site);
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
  // without a prompt. The frame that asks is judged by its own address where
  // the engine gives it, else by the top-level app document's announcement;
  // anything else is left to the engine's default (which asks the user or
  // refuses).
  const auto& args = Args.ArgsInterface();
  std::string uri;
  platform::PermissionKind kind = platform::PermissionKind::kUnknownPermission;
  if (!args || platform::Failed(args->get_Uri(&uri)) ||
      platform::Failed(args->get_PermissionKind(&kind))) {
    return;
  }
  const bool app = uri.empty()
                       ? FAppDocuments.TakeIntent(PermissionIntent(kind))
                       : FAppDocuments.AppDocumentShown() && FAppDocuments.IsAppAddress(uri);
  if (app) args->put_State(platform::PermissionState::kAllow);
}

}  // namespace tessel::shared
