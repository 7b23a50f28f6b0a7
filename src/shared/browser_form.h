// The browser host: the borderless form inside the main window that owns the
// web view, sets it up each time the engine is ready (document script,
// settings, the catch-all resource filter, the start page), serves the app's
// "file:///" requests, starts a new instance for local-file windows and
// decides permission requests and downloads.
//
// Only the app may act as the app. An app document is a top-level document
// that the host served itself from the app archive or from the executable's
// folder; a file reached by its absolute path, or loaded by the engine on
// its own, is not one, nor is any page of another origin. Only an app
// document gets bridge answers, permissions without a prompt, new instances
// and downloads; any other document can neither navigate to local-file
// addresses nor open windows for them.
//
// It is not tied to a real window: the web view's native control and the
// host's own client area come from the caller, and what the host shows
// besides the web view (the busy bar) goes through IBrowserFormView. Over the
// fake engine and a fake view it runs in unit tests.
//
// Threads: UI thread only, like the web view component.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/engine.h"
#include "platform/native_view.h"
#include "shared/edge_ex.h"
#include "shared/exe_zip.h"
#include "shared/resource_server.h"

namespace tessel::shared {

// The host's own visible parts, provided by the UI that embeds it. The UI
// lays the web view out over the host's client area, minus the busy bar
// while that is shown.
class IBrowserFormView {
 public:
  virtual ~IBrowserFormView() = default;
  // Shows or hides the 4-pixel marquee bar along the bottom edge.
  virtual void SetBusyBarVisible(bool visible) = 0;
  // Gives the input focus to the parent of the host's parent control.
  virtual void FocusParentOfParent() = 0;
  // Asks the user where to save a download while the app's page is shown
  // (the platform's save dialog, `suggested_name` preset); `site` names
  // where the file comes from when the app did not announce it ("" when it
  // did). nullopt when the user cancels. May run a nested loop.
  virtual std::optional<std::string> ChooseDownloadPath(const std::string& suggested_name,
                                                        const std::string& site) = 0;
};

// Which top-level document is the app's own, decided from what the resource
// handler served: an address counts only once the host served it from the
// archive or from beside the executable, and only a new top-level document
// at such an address is an app document. A document keeps what it was when
// it changes its own address (history.pushState, fragments), so a foreign
// document cannot become one by rewriting its address.
//
// Every request that carries power is judged by the document that made it,
// by the id the engine gives each top-level document (a new one at every
// commit, back and forward included), never by what is shown when the
// answer is ready. What a frame or a window the page opened asks for cannot
// come with the top-level document's id, so it is never the app's.
//
// The engine does not say which frame asks for a new window or a
// permission (WebKitGTK says it for neither, WebView2 for new windows), so
// the app's document announces those itself, through its own channel, just
// before it asks (TakeIntent); a frame has no such channel.
class TAppDocumentTracker {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // How long an announcement waits for the request it announces.
  static constexpr std::chrono::seconds kIntentLifetime{10};
  // How long a request waits for its announcement (AwaitIntent).
  static constexpr std::chrono::seconds kRequestLifetime{3};
  // Announcements kept at most; older ones are dropped first.
  static constexpr std::size_t kMaxIntents = 32;
  // Longest announcement kept, in bytes.
  static constexpr std::size_t kMaxIntentSize = 8192;

  explicit TAppDocumentTracker(Clock clock = std::chrono::steady_clock::now)
      : FClock(std::move(clock)) {}

  // The resource handler answered `uri` from `origin`.
  void Served(std::string_view uri, TResourceOrigin origin);
  // The top-level document `document` (0: the engine gave no id) at `uri`
  // replaced the shown one.
  void DocumentCommitted(std::string_view uri, std::uint64_t document);
  // The shown top-level document is an app document.
  bool AppDocumentShown() const { return FAppDocumentShown; }
  // The engine's id of the shown top-level document (0 when unknown).
  std::uint64_t ShownDocument() const { return FShownDocument; }
  // `uri` is one the host served from the archive or beside the executable.
  bool IsAppAddress(std::string_view uri) const;
  // A request of the top-level document `document`, now at `source`, may act
  // as the app: it is the shown document, an app document, and `source` a
  // "file:" address.
  bool IsAppDocument(std::string_view source, std::uint64_t document) const;
  // The document `document` at `source` announces a request `intent`
  // ("window <address>", "permission <kind>", "download <address>"); kept
  // only when it may act as the app. When the request came first (see
  // AwaitIntent), both are used up and the request is returned, as it was
  // made.
  std::optional<std::string> Announce(std::string_view source, std::uint64_t document,
                                      std::string_view intent);
  // Takes a live announcement of the shown app document that matches
  // `intent`: true once for each announcement.
  bool TakeIntent(std::string_view intent);
  // TakeIntent, and when there is none yet, keeps `intent` for a moment for
  // an announcement that is still on its way: a page's channel opens only
  // once the engine has handed the document its key, and a window opened
  // while the page loads may be asked for before its announcement arrives.
  bool AwaitIntent(std::string_view intent);

 private:
  struct TIntent {
    std::uint64_t Document = 0;
    std::string What;  // normalised
    std::chrono::steady_clock::time_point At;
    std::string Made;  // a request's own text
  };
  void DropStale();

  Clock FClock;
  std::set<std::string, std::less<>> FAppAddresses;
  bool FAppDocumentShown = false;
  std::uint64_t FShownDocument = 0;
  std::deque<TIntent> FIntents;
  std::deque<TIntent> FRequests;
};

// The part of an address that the engines agree on, whatever scheme and
// host they show the app's pages under: the path and query, without the
// fragment ("file:///a/b.html?x#y" and "tessel-app://app/a/b.html?x" both
// give "/a/b.html?x").
std::string_view AddressPath(std::string_view uri);

// The announcement a web message carries ("vtx-intent " followed by it), or
// nothing for any other message.
std::optional<std::string> IntentOfMessage(platform::WebMessageReceivedEventArgs& args);

// The relaunch command line: both texts in double quotes, one blank between.
std::string RelaunchArguments(const std::string& app_id, const std::string& address);

// The script that makes the top-level document announce its new windows,
// downloads and permission requests (see TAppDocumentTracker).
std::string_view IntentScript();

// The document script run at the creation of every document: each part
// preceded by a carriage return; the bridge script (when `with_external`),
// the drag-over and drop guards, then in runtime mode IntentScript() and the
// app's script (when it is not blank), or outside runtime mode the click
// hook.
std::string BuildDocumentScript(bool with_external, const std::string& external_script,
                                bool is_runtime, const std::string& webview_javascript);

class TBrowserForm {
 public:
  // FormCreate: `edge_view` becomes the web view's control; `client_area` is
  // the host's own native area, made the web view's parent at once, which
  // starts the engine's creation (readiness is reported later, from the UI
  // loop). `view` may be null (no busy bar, no focus hand-over); not owned,
  // it must outlive the host.
  TBrowserForm(std::unique_ptr<platform::NativeView> edge_view,
               platform::NativeWindowHandle client_area, IBrowserFormView* view);
  // FormDestroy: destroys the web view, which closes the engine objects.
  ~TBrowserForm();
  TBrowserForm(const TBrowserForm&) = delete;
  TBrowserForm& operator=(const TBrowserForm&) = delete;

  // --- properties; set them before the UI loop runs again after creation ---
  const TExeZip* ExeZip() const { return FExeZip; }
  void SetExeZip(const TExeZip* value) { FExeZip = value; }
  bool IsRuntime() const { return FIsRuntime; }
  void SetIsRuntime(bool value) { FIsRuntime = value; }
  const std::string& RuntimeAppID() const { return FRuntimeAppID; }
  void SetRuntimeAppID(std::string value) { FRuntimeAppID = std::move(value); }
  bool WithExternal() const { return FWithExternal; }
  void SetWithExternal(bool value) { FWithExternal = value; }
  const std::string& AppDirName() const { return FAppDirName; }
  void SetAppDirName(std::string value) { FAppDirName = std::move(value); }
  // An app folder run live (with its trailing separator): served in the
  // archive's place, and handed on to relaunched instances.
  const std::string& AppFolder() const { return FAppFolder; }
  void SetAppFolder(std::string value) { FAppFolder = std::move(value); }
  // The executable's folder with its trailing separator (empty when the
  // system cannot tell where the executable is).
  const std::string& AppDirPath() const { return FAppDirPath; }
  void SetAppDirPath(std::string value) { FAppDirPath = std::move(value); }
  bool AllowDebug() const { return FAllowDebug; }
  void SetAllowDebug(bool value) { FAllowDebug = value; }
  const std::string& WebviewJavascript() const { return FWebviewJavascript; }
  void SetWebviewJavascript(std::string value) { FWebviewJavascript = std::move(value); }
  bool AllowContextMenu() const { return FAllowContextMenu; }
  void SetAllowContextMenu(bool value) { FAllowContextMenu = value; }
  const std::string& StartPageURL() const { return FStartPageURL; }
  void SetStartPageURL(std::string value) { FStartPageURL = std::move(value); }
  bool HandleRequests() const { return FHandleRequests; }
  void SetHandleRequests(bool value) { FHandleRequests = value; }
  // The bridge script (UTF-8, a byte-order mark kept), registered first in
  // every document when WithExternal is set. Starts as the built-in
  // BridgeScript(); tests and other hosts may replace it.
  const std::string& ExternalScript() const { return FExternalScript; }
  void SetExternalScript(std::string value) { FExternalScript = std::move(value); }

  TEdgeBrowser& EdgeBrowser() const { return *FEdgeBrowser; }
  bool BusyBarVisible() const { return FBusyBarVisible; }

  // See TAppDocumentTracker.
  bool AppDocumentShown() const { return FAppDocuments.AppDocumentShown(); }
  // The engine reported the page's process gone since the last document
  // began: nothing can answer the page's close query now.
  bool PageGone() const { return FPageGone; }
  bool IsAppDocument(std::string_view source, std::uint64_t document) const {
    return FAppDocuments.IsAppDocument(source, document);
  }
  // The engine's id of the shown top-level document (0 when unknown).
  std::uint64_t ShownDocument() const { return FAppDocuments.ShownDocument(); }
  // Takes the announcement a web message carries (see TAppDocumentTracker):
  // true when the message was one, whoever sent it; such a message is not
  // for the bridge.
  bool TakeAnnouncement(platform::WebMessageReceivedEventArgs& args);

  // Told about every request the host answered (for diagnostics); may be
  // empty.
  std::function<void(const TServedResource& resource)> OnResourceServed;
  // Told about every "file:" request that no lookup could serve, with its
  // address (for diagnostics); may be empty.
  std::function<void(const std::string& uri)> OnResourceUnserved;
  // A script run before all others in every document (diagnostics); empty
  // adds nothing.
  const std::string& DiagnosticScript() const { return FDiagnosticScript; }
  void SetDiagnosticScript(std::string value) { FDiagnosticScript = std::move(value); }

  // --- the web view's callbacks, as FormCreate assigns them ---
  void EdgeBrowserProcessFailed(TCustomEdgeBrowser* Sender, platform::ProcessFailedKind Kind);
  void EdgeBrowserNewWindowRequested(TCustomEdgeBrowser* Sender,
                                     TNewWindowRequestedEventArgs& Args);
  void EdgeBrowserCreateWebViewCompleted(TCustomEdgeBrowser* Sender, HRESULT AResult);
  void EdgeBrowserWebResourceRequested(TCustomEdgeBrowser* Sender,
                                       TWebResourceRequestedEventArgs& Args);
  void EdgeBrowserNavigationCompleted(TCustomEdgeBrowser* Sender, bool IsSuccess,
                                      platform::WebErrorStatus WebErrorStatus);
  void EdgeBrowserClickMessageReceived(TCustomEdgeBrowser* Sender,
                                       TWebMessageReceivedEventArgs& Args);
  void EdgeBrowserPermissionRequested(TCustomEdgeBrowser* Sender,
                                      TPermissionRequestedEventArgs& Args);
  void EdgeBrowserNavigationStarting(TCustomEdgeBrowser* Sender,
                                     TNavigationStartingEventArgs& Args);
  void EdgeBrowserContentLoading(TCustomEdgeBrowser* Sender, bool IsErrorPage,
                                 std::uint64_t NavigationID, std::uint64_t DocumentID);
  void EdgeBrowserDownloadStarting(platform::DownloadStartingEventArgs& Args);

 private:
  void RegisterDocumentScripts();
  void ApplySettings();
  // Starts a new instance for `uri` when it is one of the app's own pages.
  void Relaunch(const std::string& uri);
  TResourceSource ResourceSource() const {
    TResourceSource source;
    source.ExeZip = FExeZip;
    source.AppDirName = FAppDirName;
    source.AppDirPath = FAppDirPath;
    source.AppFolder = FAppFolder;
    return source;
  }
  void SubscribeToDownloads();

  const TExeZip* FExeZip = nullptr;
  bool FIsRuntime = false;
  std::string FRuntimeAppID;
  bool FWithExternal = false;
  std::string FAppDirName;
  std::string FAppFolder;
  std::string FAppDirPath;
  bool FAllowDebug = false;
  std::string FWebviewJavascript;
  bool FAllowContextMenu = false;
  std::string FStartPageURL;
  bool FHandleRequests = false;
  std::string FExternalScript;
  std::string FDiagnosticScript;
  std::unique_ptr<TEdgeBrowser> FEdgeBrowser;

  IBrowserFormView* FView = nullptr;
  bool FBusyBarVisible = true;
  TAppDocumentTracker FAppDocuments;
  // The host itself has started a navigation (the start page) that has not
  // begun yet; that one may leave a foreign document for a local file.
  bool FHostNavigationPending = false;
  bool FPageGone = false;
  platform::EventRegistrationToken FDownloadToken = 0;
  std::weak_ptr<platform::EngineWebView> FDownloadWebView;
};

}  // namespace tessel::shared
