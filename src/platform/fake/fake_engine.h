// A deterministic engine for tests. It obeys the contract of engine.h (the
// same contract suite runs against it and the real engines) and adds what
// tests need: fault injection by operation name, a log of every call, and
// its objects' event lists, which tests raise directly.
//
// Asynchronous work (completions, navigation events) is posted to the
// current UI dispatcher; with a FakeUiDispatcher installed nothing happens
// until the test drains it.
//
// Navigation model: Navigate and NavigateToString post one task that raises
// NavigationStarting, then (unless cancelled) WebResourceRequested for a
// "file:" document matching a filter, SourceChanged, ContentLoading,
// HistoryChanged, DocumentTitleChanged when the title changed, and
// NavigationCompleted. A "file:" document nobody answered is read from disk,
// or becomes a not-found page. The title is the text of the page's <title>.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine.h"
#include "platform/engine_basics.h"

namespace tessel::platform {

class FakeEngine;

// Per-object fault table: a getter or operation named here fails with the
// given HRESULT.
class FakeFaults {
 public:
  std::map<std::string, HRESULT> fail;
  HRESULT Check(const std::string& name) const {
    auto it = fail.find(name);
    return it == fail.end() ? kSOk : it->second;
  }
};

// --- event arguments (public fields; a getter named in `fail` fails) ---------

class FakeNavigationStartingEventArgs : public NavigationStartingEventArgs, public FakeFaults {
 public:
  std::string uri;
  bool user_initiated = false;
  bool redirected = false;
  bool cancel = false;
  std::uint64_t navigation_id = 0;
  std::shared_ptr<BasicHttpHeaders> headers = std::make_shared<BasicHttpHeaders>();

  HRESULT get_Uri(std::string* value) override;
  HRESULT get_IsUserInitiated(bool* value) override;
  HRESULT get_IsRedirected(bool* value) override;
  HRESULT get_RequestHeaders(std::shared_ptr<HttpRequestHeaders>* value) override;
  HRESULT get_Cancel(bool* value) override;
  HRESULT put_Cancel(bool value) override;
  HRESULT get_NavigationId(std::uint64_t* value) override;
};

class FakeNavigationCompletedEventArgs : public NavigationCompletedEventArgs, public FakeFaults {
 public:
  bool success = true;
  WebErrorStatus status = WebErrorStatus::kUnknown;
  std::uint64_t navigation_id = 0;

  HRESULT get_IsSuccess(bool* value) override;
  HRESULT get_WebErrorStatus(WebErrorStatus* value) override;
  HRESULT get_NavigationId(std::uint64_t* value) override;
};

class FakeContentLoadingEventArgs : public ContentLoadingEventArgs, public FakeFaults {
 public:
  bool error_page = false;
  std::uint64_t navigation_id = 0;
  std::uint64_t document_id = 0;

  HRESULT get_IsErrorPage(bool* value) override;
  HRESULT get_NavigationId(std::uint64_t* value) override;
  HRESULT get_DocumentId(std::uint64_t* value) override;
};

class FakeSourceChangedEventArgs : public SourceChangedEventArgs, public FakeFaults {
 public:
  bool new_document = true;
  HRESULT get_IsNewDocument(bool* value) override;
};

class FakeNewWindowRequestedEventArgs : public NewWindowRequestedEventArgs, public FakeFaults {
 public:
  std::string uri;
  bool handled = false;
  bool user_initiated = true;

  HRESULT get_Uri(std::string* value) override;
  HRESULT put_Handled(bool value) override;
  HRESULT get_Handled(bool* value) override;
  HRESULT get_IsUserInitiated(bool* value) override;
};

class FakeWebResourceRequestedEventArgs : public WebResourceRequestedEventArgs, public FakeFaults {
 public:
  std::shared_ptr<WebResourceRequest> request;
  std::shared_ptr<WebResourceResponse> response;
  WebResourceContext context = WebResourceContext::kDocument;

  HRESULT get_Request(std::shared_ptr<WebResourceRequest>* value) override;
  HRESULT get_Response(std::shared_ptr<WebResourceResponse>* value) override;
  HRESULT put_Response(std::shared_ptr<WebResourceResponse> value) override;
  HRESULT get_ResourceContext(WebResourceContext* value) override;
};

class FakeDownloadStartingEventArgs : public DownloadStartingEventArgs, public FakeFaults {
 public:
  std::string uri;
  std::string result_file_path;
  bool cancel = false;

  HRESULT get_Uri(std::string* value) override;
  HRESULT get_ResultFilePath(std::string* value) override;
  HRESULT put_ResultFilePath(const std::string& value) override;
  HRESULT get_Cancel(bool* value) override;
  HRESULT put_Cancel(bool value) override;
};

class FakeScriptDialogOpeningEventArgs : public ScriptDialogOpeningEventArgs, public FakeFaults {
 public:
  std::string uri;
  ScriptDialogKind kind = ScriptDialogKind::kAlert;
  std::string message;
  std::string default_text;
  std::string result_text;
  bool accepted = false;

  HRESULT get_Uri(std::string* value) override;
  HRESULT get_Kind(ScriptDialogKind* value) override;
  HRESULT get_Message(std::string* value) override;
  HRESULT Accept() override;
  HRESULT get_DefaultText(std::string* value) override;
  HRESULT get_ResultText(std::string* value) override;
  HRESULT put_ResultText(const std::string& value) override;
};

class FakePermissionRequestedEventArgs : public PermissionRequestedEventArgs, public FakeFaults {
 public:
  std::string uri;
  PermissionKind kind = PermissionKind::kUnknownPermission;
  bool user_initiated = true;
  PermissionState state = PermissionState::kDefault;

  HRESULT get_Uri(std::string* value) override;
  HRESULT get_PermissionKind(PermissionKind* value) override;
  HRESULT get_IsUserInitiated(bool* value) override;
  HRESULT get_State(PermissionState* value) override;
  HRESULT put_State(PermissionState value) override;
};

class FakeProcessFailedEventArgs : public ProcessFailedEventArgs, public FakeFaults {
 public:
  ProcessFailedKind kind = ProcessFailedKind::kRenderProcessExited;
  HRESULT get_ProcessFailedKind(ProcessFailedKind* value) override;
};

class FakeWebMessageReceivedEventArgs : public WebMessageReceivedEventArgs, public FakeFaults {
 public:
  std::string source;
  std::string json;  // the posted value as JSON
  std::uint64_t document_id = 0;

  HRESULT get_Source(std::string* value) override;
  HRESULT get_DocumentId(std::uint64_t* value) override;
  HRESULT get_WebMessageAsJson(std::string* value) override;
  HRESULT TryGetWebMessageAsString(std::string* value) override;
};

class FakeMoveFocusRequestedEventArgs : public MoveFocusRequestedEventArgs, public FakeFaults {
 public:
  MoveFocusReason reason = MoveFocusReason::kNext;
  bool handled = false;

  HRESULT get_Reason(MoveFocusReason* value) override;
  HRESULT get_Handled(bool* value) override;
  HRESULT put_Handled(bool value) override;
};

class FakeAcceleratorKeyPressedEventArgs : public AcceleratorKeyPressedEventArgs,
                                           public FakeFaults {
 public:
  KeyEventKind kind = KeyEventKind::kKeyDown;
  std::uint32_t virtual_key = 0;
  std::int32_t lparam = 0;
  bool handled = false;

  HRESULT get_KeyEventKind(KeyEventKind* value) override;
  HRESULT get_VirtualKey(std::uint32_t* value) override;
  HRESULT get_KeyEventLParam(std::int32_t* value) override;
  HRESULT get_Handled(bool* value) override;
  HRESULT put_Handled(bool value) override;
};

class FakeDevToolsProtocolEventReceivedEventArgs : public DevToolsProtocolEventReceivedEventArgs,
                                                   public FakeFaults {
 public:
  std::string json = "{}";
  HRESULT get_ParameterObjectAsJson(std::string* value) override;
};

// --- engine objects ------------------------------------------------------------

// The flags are its public fields (EngineFlags).
class FakeSettings : public EngineSettings, public EngineFlags {
 public:
  explicit FakeSettings(std::shared_ptr<FakeEngine> engine) : engine_(std::move(engine)) {}

#define TESSEL_FAKE_SETTING(Name, field, initial) \
  HRESULT get_##Name(bool* enabled) override;     \
  HRESULT put_##Name(bool enabled) override;
  TESSEL_ENGINE_SETTINGS(TESSEL_FAKE_SETTING)
#undef TESSEL_FAKE_SETTING

 private:
  HRESULT Get(const char* name, bool value, bool* out);
  HRESULT Put(const char* name, bool value, bool* field);
  std::shared_ptr<FakeEngine> engine_;
};

class FakeDevToolsProtocolEventReceiver : public DevToolsProtocolEventReceiver {
 public:
  EventList<DevToolsProtocolEventReceivedEventHandler> received;

  HRESULT add_DevToolsProtocolEventReceived(DevToolsProtocolEventReceivedEventHandler h,
                                            EventRegistrationToken* token) override {
    return received.Add(std::move(h), token);
  }
  HRESULT remove_DevToolsProtocolEventReceived(EventRegistrationToken token) override {
    return received.Remove(token);
  }
};

// State shared by a controller and its web view.
struct FakeViewState {
  bool closed = false;
};

// The events are its public fields (WebViewEventLists), for tests to raise.
class FakeWebView : public EngineWebView,
                    public WebViewEventLists,
                    public std::enable_shared_from_this<FakeWebView> {
 public:
  FakeWebView(std::shared_ptr<FakeEngine> engine, std::shared_ptr<FakeViewState> state);

  // Observable state.
  std::string source = "about:blank";
  std::string title;
  std::vector<std::string> history;  // addresses, oldest first
  std::size_t history_index = 0;
  bool contains_full_screen_element = false;
  std::vector<ResourceFilter> filters;
  std::vector<std::pair<std::string, std::string>> document_scripts;  // id, script
  std::vector<std::string> executed_scripts;
  std::vector<std::string> posted_json;  // PostWebMessageAs* as JSON
  // The shown top-level document's id; each document that commits gets the
  // next one (0 before the first).
  std::uint64_t document_id = 0;
  std::map<std::string, std::shared_ptr<FakeDevToolsProtocolEventReceiver>> devtools_receivers;
  std::shared_ptr<FakeSettings> settings;

  // Not one of the component's events (SubscriptionCount leaves it out).
  EventList<DownloadStartingEventHandler> download_starting;

  // Raises WebMessageReceived as the shown document posting `json` would.
  void RaiseWebMessage(const std::string& json);
  void CloseFromController();

  HRESULT get_Settings(std::shared_ptr<EngineSettings>* value) override;
  HRESULT get_Source(std::string* uri) override;
  HRESULT Navigate(const std::string& uri) override;
  HRESULT NavigateToString(const std::string& html) override;
  HRESULT Reload() override;
  HRESULT Stop() override;
  HRESULT GoBack() override;
  HRESULT GoForward() override;
  HRESULT get_CanGoBack(bool* value) override;
  HRESULT get_CanGoForward(bool* value) override;
  HRESULT get_DocumentTitle(std::string* value) override;
  HRESULT get_BrowserProcessId(std::uint32_t* value) override;
  HRESULT get_ContainsFullScreenElement(bool* value) override;
  HRESULT AddScriptToExecuteOnDocumentCreated(const std::string& java_script,
                                              AddScriptCompletedHandler completed) override;
  HRESULT RemoveScriptToExecuteOnDocumentCreated(const std::string& id) override;
  HRESULT ExecuteScript(const std::string& java_script,
                        ExecuteScriptCompletedHandler completed) override;
  HRESULT PostWebMessageAsJson(const std::string& json) override;
  HRESULT PostWebMessageAsString(const std::string& text) override;
  HRESULT PostWebMessageAsJsonToDocument(std::uint64_t document, const std::string& json) override;
  HRESULT CapturePreview(CapturePreviewImageFormat format, std::shared_ptr<Stream> stream,
                         CapturePreviewCompletedHandler completed) override;
  HRESULT AddWebResourceRequestedFilter(const std::string& uri,
                                        WebResourceContext context) override;
  HRESULT RemoveWebResourceRequestedFilter(const std::string& uri,
                                           WebResourceContext context) override;
  HRESULT GetDevToolsProtocolEventReceiver(
      const std::string& event_name,
      std::shared_ptr<DevToolsProtocolEventReceiver>* receiver) override;
  HRESULT OpenDevToolsWindow() override;

#define TESSEL_FAKE_EVENT(Name, field, Handler)                          \
  HRESULT add_##Name(Handler h, EventRegistrationToken* token) override; \
  HRESULT remove_##Name(EventRegistrationToken token) override;
  TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_FAKE_EVENT)
  HRESULT add_DownloadStarting(DownloadStartingEventHandler h,
                               EventRegistrationToken* token) override;
  HRESULT remove_DownloadStarting(EventRegistrationToken token) override;

 private:
  HRESULT Begin(const std::string& operation, const std::string& args = {}) const;
  template <typename List, typename Handler>
  HRESULT Add(const char* name, List& list, Handler h, EventRegistrationToken* token);
  template <typename List>
  HRESULT Remove(const char* name, List& list, EventRegistrationToken token);
  void StartNavigation(std::string uri, bool from_string, std::string html, bool history_move);
  void RunNavigation(const std::string& uri, bool from_string, const std::string& html,
                     bool history_move, std::uint64_t navigation_id);
  std::string LoadDocument(const std::string& uri, bool* error_page);
  void ClearEvents();

  std::shared_ptr<FakeEngine> engine_;
  std::shared_ptr<FakeViewState> state_;
  int next_script_id_ = 1;
};

class FakeController : public EngineController, public ControllerEventLists {
 public:
  FakeController(std::shared_ptr<FakeEngine> engine, NativeWindowHandle parent);

  NativeWindowHandle parent_window;
  std::shared_ptr<FakeWebView> web_view;
  Rect bounds;
  bool visible = true;
  bool focused = false;
  double zoom_factor = 1.0;
  bool closed() const { return state_->closed; }

  // Takes the focus away, as clicking elsewhere would.
  void LoseFocus();

  HRESULT get_CoreWebView2(std::shared_ptr<EngineWebView>* value) override;
  HRESULT get_IsVisible(bool* value) override;
  HRESULT put_IsVisible(bool value) override;
  HRESULT get_Bounds(Rect* value) override;
  HRESULT put_Bounds(Rect value) override;
  HRESULT get_ZoomFactor(double* value) override;
  HRESULT put_ZoomFactor(double value) override;
  HRESULT MoveFocus(MoveFocusReason reason) override;
  HRESULT Close() override;
  TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_FAKE_EVENT)
#undef TESSEL_FAKE_EVENT

 private:
  HRESULT Begin(const std::string& operation, const std::string& args = {}) const;
  template <typename List, typename Handler>
  HRESULT Add(const char* name, List& list, Handler h, EventRegistrationToken* token);
  template <typename List>
  HRESULT Remove(const char* name, List& list, EventRegistrationToken token);

  std::shared_ptr<FakeEngine> engine_;
  std::shared_ptr<FakeViewState> state_;
};

class FakeEnvironment : public EngineEnvironment,
                        public std::enable_shared_from_this<FakeEnvironment> {
 public:
  explicit FakeEnvironment(std::shared_ptr<FakeEngine> engine) : engine_(std::move(engine)) {}

  HRESULT CreateCoreWebView2Controller(NativeWindowHandle parent_window,
                                       CreateControllerCompletedHandler completed) override;
  HRESULT CreateWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                    const std::string& reason_phrase, const std::string& headers,
                                    std::shared_ptr<WebResourceResponse>* response) override;
  HRESULT get_BrowserVersionString(std::string* version) override;

 private:
  std::shared_ptr<FakeEngine> engine_;
};

class FakeEngine : public std::enable_shared_from_this<FakeEngine> {
 public:
  FakeEngine() = default;
  ~FakeEngine();
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // --- configuration (set before the calls it affects) ---
  // Opening the loader library fails with kEFail.
  bool loader_missing = false;
  // What the creation completions report.
  HRESULT environment_result = kSOk;
  HRESULT controller_result = kSOk;
  // Report the environment from a thread of the engine's own instead of
  // through the UI queue.
  bool environment_on_engine_thread = false;
  std::string browser_version = "1.0.0-fake";
  std::uint32_t browser_process_id = 0;
  // ExecuteScript answers: script text -> JSON; others give "null".
  std::map<std::string, std::string> script_results;

  // Makes the operation `name` fail with `hr` from now on; kSOk clears it.
  // Names are "<Object>.<operation>": Library.Open,
  // Loader.CreateCoreWebView2Environment, Loader.GetCoreWebView2BrowserVersionString,
  // Environment.CreateCoreWebView2Controller, Controller.get_CoreWebView2,
  // Controller.put_Bounds, WebView.get_Settings, WebView.Navigate,
  // Settings.get_IsScriptEnabled, ... (every operation of the seam).
  void FailOperation(const std::string& name, HRESULT hr);
  // Logs the call `name` + `args` and answers the fault set for `name`.
  HRESULT Check(const std::string& name, const std::string& args = {});

  // --- observation ---
  // Every operation called, in order, as "<Object>.<operation>" with
  // arguments in parentheses for some ("Controller.put_Bounds(0,0,400,300)").
  std::vector<std::string> Calls() const;
  // The calls that start with `prefix`.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
  void ClearCalls();
  void Log(const std::string& call);

  int library_opens() const;
  std::vector<std::string> opened_paths() const;
  // The objects made last, while someone still holds them; null otherwise.
  std::shared_ptr<FakeEnvironment> LastEnvironment() const;
  std::shared_ptr<FakeController> LastController() const;
  std::shared_ptr<FakeWebView> LastWebView() const;
  // Controllers made so far, held or not.
  std::size_t ControllerCount() const;

  // The loader library "at" `path`.
  HRESULT OpenLibrary(const std::string& path, std::shared_ptr<EngineLoader>* loader);
  EngineLibraryOpener Opener();

  // Internal: object registration and engine threads.
  void Register(const std::shared_ptr<FakeEnvironment>& environment);
  void Register(const std::shared_ptr<FakeController>& controller);
  void RunOnEngineThread(std::function<void()> work);
  std::uint64_t NextNavigationId() { return ++navigation_ids_; }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, HRESULT> failures_;
  std::vector<std::string> calls_;
  std::vector<std::string> opened_paths_;
  // Weak: the objects hold the engine, and whoever uses them holds them.
  std::vector<std::weak_ptr<FakeEnvironment>> environments_;
  std::vector<std::weak_ptr<FakeController>> controllers_;
  std::vector<std::thread> threads_;
  std::uint64_t navigation_ids_ = 0;
};

std::shared_ptr<FakeEngine> MakeFakeEngine();

// Queues `procedure` on the current UI dispatcher; it runs later, never
// inside the caller. A refused post destroys it.
void PostToUi(std::function<void()> procedure);

}  // namespace tessel::platform
