// The engine seam: what the web view component needs of a web engine. Each
// class stands for one engine object of WebView2 and keeps its operations
// one to one (same names, HRESULT results, add_/remove_ with 64-bit tokens),
// so the Windows adapter is a thin shell over the COM interfaces and the
// Linux adapter (WebKitGTK, a module loaded at run time) honours the same
// contract. No platform header belongs here.
//
// Rules for every method, unless its comment says otherwise:
// - Thread: the UI thread only (the thread that runs the toolkit's loop).
// - Results: an HRESULT, success when non-negative. Out-parameters are
//   written only on success; a null out-parameter gives kEPointer.
// - Ownership: objects are handed out as shared references and the engine
//   keeps its own; nothing handed out needs an explicit release. Strings are
//   UTF-8 and copied in and out.
// - Events: add_X stores the handler and writes a token that is non-zero and
//   unique among the live subscriptions of that object; remove_X with that
//   token drops exactly that handler; an unknown or already removed token
//   changes nothing and gives kSOk. Handlers run on the UI thread in the
//   order they were added; their HRESULT is ignored. Navigation, resource,
//   message, title and history events never run inside the call that caused
//   them; focus and zoom events may (as the toolkit's own signals do).
// - Completions: a call that returns success calls its completion exactly
//   once, later, never inside the call itself, on the UI thread unless the
//   method says otherwise; a call that fails never calls it.
// - After EngineController::Close the controller and its web view refuse
//   every operation with kEInvalidState and raise no more events; each
//   completion still pending is called once (with a failure when the work
//   could not finish).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tessel::platform {

// A COM result code: success when non-negative.
using HRESULT = std::int32_t;

// A subscription's token: add_X writes it, remove_X takes it back.
using EventRegistrationToken = std::int64_t;

// The native child window an engine view lives in: HWND on Windows; on GTK a
// GtkLayout* (the component's own child area, see native_view.h).
using NativeWindowHandle = void*;

inline constexpr HRESULT kSOk = 0;
inline constexpr HRESULT kSFalse = 1;
inline constexpr HRESULT kENotImpl = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT kENoInterface = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT kEPointer = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT kEAbort = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT kEFail = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kEUnexpected = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT kEAccessDenied = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT kEOutOfMemory = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT kEInvalidArg = static_cast<HRESULT>(0x80070057u);
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) and (ERROR_PATH_NOT_FOUND).
inline constexpr HRESULT kEFileNotFound = static_cast<HRESULT>(0x80070002u);
inline constexpr HRESULT kEPathNotFound = static_cast<HRESULT>(0x80070003u);
// HRESULT_FROM_WIN32(ERROR_INVALID_STATE): the object was closed.
inline constexpr HRESULT kEInvalidState = static_cast<HRESULT>(0x8007139Fu);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// The engine's enumerations, with WebView2's values. Engines may report
// values beyond the named ones; callers treat those as unknown.
enum class WebResourceContext : std::int32_t {
  kAll = 0,
  kDocument = 1,
  kStylesheet = 2,
  kImage = 3,
  kMedia = 4,
  kFont = 5,
  kScript = 6,
  kXmlHttpRequest = 7,
  kFetch = 8,
  kTextTrack = 9,
  kEventSource = 10,
  kWebSocket = 11,
  kManifest = 12,
  kSignedExchange = 13,
  kPing = 14,
  kCspViolationReport = 15,
  kOther = 16,
};
enum class PermissionState : std::int32_t { kDefault = 0, kAllow = 1, kDeny = 2 };
enum class PermissionKind : std::int32_t {
  kUnknownPermission = 0,
  kMicrophone = 1,
  kCamera = 2,
  kGeolocation = 3,
  kNotifications = 4,
  kOtherSensors = 5,
  kClipboardRead = 6,
};
enum class MoveFocusReason : std::int32_t { kProgrammatic = 0, kNext = 1, kPrevious = 2 };
enum class KeyEventKind : std::int32_t {
  kKeyDown = 0,
  kKeyUp = 1,
  kSystemKeyDown = 2,
  kSystemKeyUp = 3
};
enum class ProcessFailedKind : std::int32_t {
  kBrowserProcessExited = 0,
  kRenderProcessExited = 1,
  kRenderProcessUnresponsive = 2,
  kFrameRenderProcessExited = 3,
  kUnknownProcessExited = 9,
};
enum class WebErrorStatus : std::int32_t {
  kUnknown = 0,
  kCertificateIsInvalid = 5,
  kServerUnreachable = 6,
  kTimeout = 7,
  kConnectionAborted = 9,
  kCannotConnect = 12,
  kHostNameNotResolved = 13,
  kOperationCanceled = 14,
  kRedirectFailed = 15,
  kUnexpectedError = 16,
};
enum class CapturePreviewImageFormat : std::int32_t { kPng = 0, kJpeg = 1 };
enum class ScriptDialogKind : std::int32_t {
  kAlert = 0,
  kConfirm = 1,
  kPrompt = 2,
  kBeforeUnload = 3
};

// A rectangle in the native window's client coordinates (Windows RECT).
struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// One header line: name and value as sent.
using HttpHeader = std::pair<std::string, std::string>;

// ---------------------------------------------------------------------------
// Byte streams (IStream): response bodies, request bodies, captured pictures.
// Any thread, but one thread at a time.

enum class StreamSeek { kBegin = 0, kCurrent = 1, kEnd = 2 };

class Stream {
 public:
  virtual ~Stream() = default;
  // Reads up to `size` bytes at the position. *read (may be null) gets the
  // count: kSOk when all were read, kSFalse when the end came first.
  virtual HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) = 0;
  // Writes all `size` bytes at the position, growing the stream.
  virtual HRESULT Write(const void* data, std::uint32_t size, std::uint32_t* written) = 0;
  // Moves the position; a position before the start gives kEInvalidArg.
  virtual HRESULT Seek(std::int64_t move, StreamSeek origin, std::uint64_t* position) = 0;
  // Truncates or extends (with zero bytes) to `size`.
  virtual HRESULT SetSize(std::uint64_t size) = 0;
};

// ---------------------------------------------------------------------------
// Request and response objects (ICoreWebView2WebResourceRequest/Response and
// their header collections).

class HttpRequestHeaders {
 public:
  virtual ~HttpRequestHeaders() = default;
  // The first value of `name` (names compare without regard to ASCII case);
  // kEInvalidArg when absent.
  virtual HRESULT GetHeader(const std::string& name, std::string* value) = 0;
  // Every header named `name`, in order (the iterator of GetHeaders).
  virtual HRESULT GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) = 0;
  virtual HRESULT Contains(const std::string& name, bool* contains) = 0;
  // Replaces every header named `name` with one.
  virtual HRESULT SetHeader(const std::string& name, const std::string& value) = 0;
  virtual HRESULT RemoveHeader(const std::string& name) = 0;
  // Every header in order (the iterator of GetIterator).
  virtual HRESULT GetIterator(std::vector<HttpHeader>* headers) = 0;
};

class HttpResponseHeaders {
 public:
  virtual ~HttpResponseHeaders() = default;
  virtual HRESULT AppendHeader(const std::string& name, const std::string& value) = 0;
  virtual HRESULT Contains(const std::string& name, bool* contains) = 0;
  // The values of `name` joined with ", "; kEInvalidArg when absent.
  virtual HRESULT GetHeader(const std::string& name, std::string* value) = 0;
  virtual HRESULT GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) = 0;
  virtual HRESULT GetIterator(std::vector<HttpHeader>* headers) = 0;
};

class WebResourceRequest {
 public:
  virtual ~WebResourceRequest() = default;
  // The address as the component sees it ("file:///css/site.css").
  virtual HRESULT get_Uri(std::string* uri) = 0;
  virtual HRESULT put_Uri(const std::string& uri) = 0;
  virtual HRESULT get_Method(std::string* method) = 0;
  virtual HRESULT put_Method(const std::string& method) = 0;
  // The body; a null stream when the request has none.
  virtual HRESULT get_Content(std::shared_ptr<Stream>* content) = 0;
  virtual HRESULT put_Content(std::shared_ptr<Stream> content) = 0;
  virtual HRESULT get_Headers(std::shared_ptr<HttpRequestHeaders>* headers) = 0;
};

class WebResourceResponse {
 public:
  virtual ~WebResourceResponse() = default;
  // The body, read from its start when the response is delivered; a null
  // stream is an empty body.
  virtual HRESULT get_Content(std::shared_ptr<Stream>* content) = 0;
  virtual HRESULT put_Content(std::shared_ptr<Stream> content) = 0;
  virtual HRESULT get_Headers(std::shared_ptr<HttpResponseHeaders>* headers) = 0;
  virtual HRESULT get_StatusCode(int* status_code) = 0;
  virtual HRESULT put_StatusCode(int status_code) = 0;
  virtual HRESULT get_ReasonPhrase(std::string* reason) = 0;
  virtual HRESULT put_ReasonPhrase(const std::string& reason) = 0;
};

// ---------------------------------------------------------------------------
// Event arguments. An argument object is valid for as long as a reference to
// it is held; writes (cancel, handled, response, state) count only while the
// handler that received it runs.

class NavigationStartingEventArgs {
 public:
  virtual ~NavigationStartingEventArgs() = default;
  virtual HRESULT get_Uri(std::string* uri) = 0;
  virtual HRESULT get_IsUserInitiated(bool* user_initiated) = 0;
  virtual HRESULT get_IsRedirected(bool* redirected) = 0;
  virtual HRESULT get_RequestHeaders(std::shared_ptr<HttpRequestHeaders>* headers) = 0;
  virtual HRESULT get_Cancel(bool* cancel) = 0;
  // True stops the navigation; its NavigationCompleted then reports failure
  // with WebErrorStatus::kOperationCanceled.
  virtual HRESULT put_Cancel(bool cancel) = 0;
  virtual HRESULT get_NavigationId(std::uint64_t* navigation_id) = 0;
};

class NavigationCompletedEventArgs {
 public:
  virtual ~NavigationCompletedEventArgs() = default;
  virtual HRESULT get_IsSuccess(bool* success) = 0;
  virtual HRESULT get_WebErrorStatus(WebErrorStatus* status) = 0;
  virtual HRESULT get_NavigationId(std::uint64_t* navigation_id) = 0;
};

class ContentLoadingEventArgs {
 public:
  virtual ~ContentLoadingEventArgs() = default;
  virtual HRESULT get_IsErrorPage(bool* error_page) = 0;
  virtual HRESULT get_NavigationId(std::uint64_t* navigation_id) = 0;
  // The new top-level document's own id: non-zero, never used again by this
  // view, and new whenever a document becomes the top-level one (back and
  // forward included). Messages from it carry the same id. kENotImpl from an
  // engine that cannot tell documents apart.
  virtual HRESULT get_DocumentId(std::uint64_t* /*document_id*/) { return kENotImpl; }
};

class SourceChangedEventArgs {
 public:
  virtual ~SourceChangedEventArgs() = default;
  virtual HRESULT get_IsNewDocument(bool* new_document) = 0;
};

class NewWindowRequestedEventArgs {
 public:
  virtual ~NewWindowRequestedEventArgs() = default;
  virtual HRESULT get_Uri(std::string* uri) = 0;
  // True: the host took care of it and the engine opens no window.
  virtual HRESULT put_Handled(bool handled) = 0;
  virtual HRESULT get_Handled(bool* handled) = 0;
  virtual HRESULT get_IsUserInitiated(bool* user_initiated) = 0;
};

// ICoreWebView2DownloadStartingEventArgs (with the operation's address). The
// download is saved at ResultFilePath unless a handler sets Cancel; with no
// handler subscribed the engine cancels it, so nothing is saved where nobody
// chose.
class DownloadStartingEventArgs {
 public:
  virtual ~DownloadStartingEventArgs() = default;
  // The address downloaded from.
  virtual HRESULT get_Uri(std::string* uri) = 0;
  // The engine's suggestion, a full path whose file name the page or server
  // proposed.
  virtual HRESULT get_ResultFilePath(std::string* path) = 0;
  virtual HRESULT put_ResultFilePath(const std::string& path) = 0;
  virtual HRESULT get_Cancel(bool* cancel) = 0;
  virtual HRESULT put_Cancel(bool cancel) = 0;
};

class WebResourceRequestedEventArgs {
 public:
  virtual ~WebResourceRequestedEventArgs() = default;
  virtual HRESULT get_Request(std::shared_ptr<WebResourceRequest>* request) = 0;
  // Null until a handler puts one; then the engine answers with it instead
  // of loading the resource itself.
  virtual HRESULT get_Response(std::shared_ptr<WebResourceResponse>* response) = 0;
  virtual HRESULT put_Response(std::shared_ptr<WebResourceResponse> response) = 0;
  virtual HRESULT get_ResourceContext(WebResourceContext* context) = 0;
};

class ScriptDialogOpeningEventArgs {
 public:
  virtual ~ScriptDialogOpeningEventArgs() = default;
  virtual HRESULT get_Uri(std::string* uri) = 0;
  virtual HRESULT get_Kind(ScriptDialogKind* kind) = 0;
  virtual HRESULT get_Message(std::string* message) = 0;
  // OK for confirm and prompt (with ResultText), leave for beforeunload.
  virtual HRESULT Accept() = 0;
  virtual HRESULT get_DefaultText(std::string* text) = 0;
  virtual HRESULT get_ResultText(std::string* text) = 0;
  virtual HRESULT put_ResultText(const std::string& text) = 0;
};

class PermissionRequestedEventArgs {
 public:
  virtual ~PermissionRequestedEventArgs() = default;
  // The address of the frame that asks; empty when the engine cannot tell
  // which frame of the page asked.
  virtual HRESULT get_Uri(std::string* uri) = 0;
  virtual HRESULT get_PermissionKind(PermissionKind* kind) = 0;
  virtual HRESULT get_IsUserInitiated(bool* user_initiated) = 0;
  virtual HRESULT get_State(PermissionState* state) = 0;
  virtual HRESULT put_State(PermissionState state) = 0;
};

// kBrowserProcessExited: the engine has closed the view as Close would; it
// raises nothing more and work under way completes with a failure.
class ProcessFailedEventArgs {
 public:
  virtual ~ProcessFailedEventArgs() = default;
  virtual HRESULT get_ProcessFailedKind(ProcessFailedKind* kind) = 0;
};

class WebMessageReceivedEventArgs {
 public:
  virtual ~WebMessageReceivedEventArgs() = default;
  // The address of the document that posted.
  virtual HRESULT get_Source(std::string* source) = 0;
  // The id of the top-level document that posted (see
  // ContentLoadingEventArgs); kENotImpl from an engine that cannot tell.
  // Only the top-level document of the view itself can post: frames and
  // windows the page opened have no channel.
  virtual HRESULT get_DocumentId(std::uint64_t* /*document_id*/) { return kENotImpl; }
  // The posted value as JSON text (a posted string gives a JSON string).
  virtual HRESULT get_WebMessageAsJson(std::string* json) = 0;
  // The posted string itself; kEInvalidArg when the page posted a non-string.
  virtual HRESULT TryGetWebMessageAsString(std::string* text) = 0;
};

class MoveFocusRequestedEventArgs {
 public:
  virtual ~MoveFocusRequestedEventArgs() = default;
  virtual HRESULT get_Reason(MoveFocusReason* reason) = 0;
  virtual HRESULT get_Handled(bool* handled) = 0;
  virtual HRESULT put_Handled(bool handled) = 0;
};

class AcceleratorKeyPressedEventArgs {
 public:
  virtual ~AcceleratorKeyPressedEventArgs() = default;
  virtual HRESULT get_KeyEventKind(KeyEventKind* kind) = 0;
  // A Windows virtual-key code on every platform.
  virtual HRESULT get_VirtualKey(std::uint32_t* virtual_key) = 0;
  // The Windows key-message lParam (repeat count, scan code, flags): 32 bits.
  virtual HRESULT get_KeyEventLParam(std::int32_t* lparam) = 0;
  virtual HRESULT get_Handled(bool* handled) = 0;
  // True keeps the key from the page.
  virtual HRESULT put_Handled(bool handled) = 0;
};

class DevToolsProtocolEventReceivedEventArgs {
 public:
  virtual ~DevToolsProtocolEventReceivedEventArgs() = default;
  virtual HRESULT get_ParameterObjectAsJson(std::string* json) = 0;
};

// Handlers. Events whose engine object carries no arguments take none.
template <typename Args>
using EventHandler = std::function<HRESULT(const std::shared_ptr<Args>& args)>;
using NotifyEventHandler = std::function<HRESULT()>;

using NavigationStartingEventHandler = EventHandler<NavigationStartingEventArgs>;
using NavigationCompletedEventHandler = EventHandler<NavigationCompletedEventArgs>;
using ContentLoadingEventHandler = EventHandler<ContentLoadingEventArgs>;
using SourceChangedEventHandler = EventHandler<SourceChangedEventArgs>;
using NewWindowRequestedEventHandler = EventHandler<NewWindowRequestedEventArgs>;
using WebResourceRequestedEventHandler = EventHandler<WebResourceRequestedEventArgs>;
using DownloadStartingEventHandler = EventHandler<DownloadStartingEventArgs>;
using ScriptDialogOpeningEventHandler = EventHandler<ScriptDialogOpeningEventArgs>;
using PermissionRequestedEventHandler = EventHandler<PermissionRequestedEventArgs>;
using ProcessFailedEventHandler = EventHandler<ProcessFailedEventArgs>;
using WebMessageReceivedEventHandler = EventHandler<WebMessageReceivedEventArgs>;
using MoveFocusRequestedEventHandler = EventHandler<MoveFocusRequestedEventArgs>;
using AcceleratorKeyPressedEventHandler = EventHandler<AcceleratorKeyPressedEventArgs>;
using DevToolsProtocolEventReceivedEventHandler =
    EventHandler<DevToolsProtocolEventReceivedEventArgs>;

// Completions.
class EngineEnvironment;
class EngineController;
using CreateEnvironmentCompletedHandler =
    std::function<void(HRESULT result, std::shared_ptr<EngineEnvironment> environment)>;
using CreateControllerCompletedHandler =
    std::function<void(HRESULT result, std::shared_ptr<EngineController> controller)>;
using ExecuteScriptCompletedHandler =
    std::function<void(HRESULT result, const std::string& result_as_json)>;
using AddScriptCompletedHandler = std::function<void(HRESULT result, const std::string& id)>;
using CapturePreviewCompletedHandler = std::function<void(HRESULT result)>;

// ---------------------------------------------------------------------------
// The engine objects.

class EngineSettings {
 public:
  virtual ~EngineSettings() = default;
  // Eight flags, all true on a new web view. A get returns what the last put
  // stored. A flag the engine cannot honour is stored and read back (see the
  // engine's own notes). Changes apply from the next navigation at the latest.
  virtual HRESULT get_IsScriptEnabled(bool* enabled) = 0;
  virtual HRESULT put_IsScriptEnabled(bool enabled) = 0;
  virtual HRESULT get_IsWebMessageEnabled(bool* enabled) = 0;
  virtual HRESULT put_IsWebMessageEnabled(bool enabled) = 0;
  virtual HRESULT get_AreDefaultScriptDialogsEnabled(bool* enabled) = 0;
  virtual HRESULT put_AreDefaultScriptDialogsEnabled(bool enabled) = 0;
  virtual HRESULT get_IsStatusBarEnabled(bool* enabled) = 0;
  virtual HRESULT put_IsStatusBarEnabled(bool enabled) = 0;
  virtual HRESULT get_AreDevToolsEnabled(bool* enabled) = 0;
  virtual HRESULT put_AreDevToolsEnabled(bool enabled) = 0;
  virtual HRESULT get_AreDefaultContextMenusEnabled(bool* enabled) = 0;
  virtual HRESULT put_AreDefaultContextMenusEnabled(bool enabled) = 0;
  virtual HRESULT get_IsZoomControlEnabled(bool* enabled) = 0;
  virtual HRESULT put_IsZoomControlEnabled(bool enabled) = 0;
  virtual HRESULT get_IsBuiltInErrorPageEnabled(bool* enabled) = 0;
  virtual HRESULT put_IsBuiltInErrorPageEnabled(bool enabled) = 0;
};

// DevTools protocol events of one name. Engines without the protocol refuse
// to hand out a receiver (kENotImpl).
class DevToolsProtocolEventReceiver {
 public:
  virtual ~DevToolsProtocolEventReceiver() = default;
  virtual HRESULT add_DevToolsProtocolEventReceived(DevToolsProtocolEventReceivedEventHandler h,
                                                    EventRegistrationToken* token) = 0;
  virtual HRESULT remove_DevToolsProtocolEventReceived(EventRegistrationToken token) = 0;
};

// ICoreWebView2.
class EngineWebView {
 public:
  virtual ~EngineWebView() = default;

  virtual HRESULT get_Settings(std::shared_ptr<EngineSettings>* settings) = 0;
  // The current document's address ("about:blank" before the first
  // navigation and after NavigateToString).
  virtual HRESULT get_Source(std::string* uri) = 0;
  // Starts a navigation; kEInvalidArg when `uri` is not an absolute address.
  virtual HRESULT Navigate(const std::string& uri) = 0;
  virtual HRESULT NavigateToString(const std::string& html) = 0;
  virtual HRESULT Reload() = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT GoBack() = 0;
  virtual HRESULT GoForward() = 0;
  virtual HRESULT get_CanGoBack(bool* can_go_back) = 0;
  virtual HRESULT get_CanGoForward(bool* can_go_forward) = 0;
  // Empty when the document has no title.
  virtual HRESULT get_DocumentTitle(std::string* title) = 0;
  // 0 when the engine has no browser process apart from this one.
  virtual HRESULT get_BrowserProcessId(std::uint32_t* process_id) = 0;
  virtual HRESULT get_ContainsFullScreenElement(bool* contains) = 0;

  // Runs `java_script` in every frame of every later document before the
  // document's own scripts, in the order added. The completion gets an id for
  // RemoveScriptToExecuteOnDocumentCreated.
  virtual HRESULT AddScriptToExecuteOnDocumentCreated(const std::string& java_script,
                                                      AddScriptCompletedHandler completed) = 0;
  virtual HRESULT RemoveScriptToExecuteOnDocumentCreated(const std::string& id) = 0;
  // Runs `java_script` in the top-level document; the completion gets the
  // value of its last expression as JSON, "null" when it is undefined, not
  // serialisable or the script threw.
  virtual HRESULT ExecuteScript(const std::string& java_script,
                                ExecuteScriptCompletedHandler completed) = 0;
  // Delivers `json` to the top-level document's window.chrome.webview
  // "message" listeners as event.data (parsed). kEInvalidArg when `json` is
  // not JSON.
  virtual HRESULT PostWebMessageAsJson(const std::string& json) = 0;
  // The same with a string value.
  virtual HRESULT PostWebMessageAsString(const std::string& text) = 0;
  // PostWebMessageAsJson, delivered only while the document `document_id`
  // (see ContentLoadingEventArgs) is the top-level document: kSFalse, and
  // nothing delivered, once another document has taken its place, even one
  // the engine has begun to show but not yet reported.
  virtual HRESULT PostWebMessageAsJsonToDocument(std::uint64_t /*document_id*/,
                                                 const std::string& /*json*/) {
    return kENotImpl;
  }
  // Writes a picture of the visible view to `stream` at its position.
  virtual HRESULT CapturePreview(CapturePreviewImageFormat format, std::shared_ptr<Stream> stream,
                                 CapturePreviewCompletedHandler completed) = 0;
  // WebResourceRequested is raised for requests whose address matches a
  // filter: `*` matches any run of characters, `?` one character, letters
  // without regard to ASCII case; context kAll matches every kind.
  virtual HRESULT AddWebResourceRequestedFilter(const std::string& uri,
                                                WebResourceContext context) = 0;
  // Removes one filter added with the same arguments; kEInvalidArg when none.
  virtual HRESULT RemoveWebResourceRequestedFilter(const std::string& uri,
                                                   WebResourceContext context) = 0;
  virtual HRESULT GetDevToolsProtocolEventReceiver(
      const std::string& event_name, std::shared_ptr<DevToolsProtocolEventReceiver>* receiver) = 0;
  virtual HRESULT OpenDevToolsWindow() = 0;

  virtual HRESULT add_NavigationStarting(NavigationStartingEventHandler handler,
                                         EventRegistrationToken* token) = 0;
  virtual HRESULT remove_NavigationStarting(EventRegistrationToken token) = 0;
  virtual HRESULT add_NavigationCompleted(NavigationCompletedEventHandler handler,
                                          EventRegistrationToken* token) = 0;
  virtual HRESULT remove_NavigationCompleted(EventRegistrationToken token) = 0;
  virtual HRESULT add_SourceChanged(SourceChangedEventHandler handler,
                                    EventRegistrationToken* token) = 0;
  virtual HRESULT remove_SourceChanged(EventRegistrationToken token) = 0;
  virtual HRESULT add_HistoryChanged(NotifyEventHandler handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_HistoryChanged(EventRegistrationToken token) = 0;
  virtual HRESULT add_ContentLoading(ContentLoadingEventHandler handler,
                                     EventRegistrationToken* token) = 0;
  virtual HRESULT remove_ContentLoading(EventRegistrationToken token) = 0;
  virtual HRESULT add_DocumentTitleChanged(NotifyEventHandler handler,
                                           EventRegistrationToken* token) = 0;
  virtual HRESULT remove_DocumentTitleChanged(EventRegistrationToken token) = 0;
  virtual HRESULT add_NewWindowRequested(NewWindowRequestedEventHandler handler,
                                         EventRegistrationToken* token) = 0;
  virtual HRESULT remove_NewWindowRequested(EventRegistrationToken token) = 0;
  virtual HRESULT add_FrameNavigationStarting(NavigationStartingEventHandler handler,
                                              EventRegistrationToken* token) = 0;
  virtual HRESULT remove_FrameNavigationStarting(EventRegistrationToken token) = 0;
  virtual HRESULT add_FrameNavigationCompleted(NavigationCompletedEventHandler handler,
                                               EventRegistrationToken* token) = 0;
  virtual HRESULT remove_FrameNavigationCompleted(EventRegistrationToken token) = 0;
  virtual HRESULT add_WebResourceRequested(WebResourceRequestedEventHandler handler,
                                           EventRegistrationToken* token) = 0;
  virtual HRESULT remove_WebResourceRequested(EventRegistrationToken token) = 0;
  virtual HRESULT add_ScriptDialogOpening(ScriptDialogOpeningEventHandler handler,
                                          EventRegistrationToken* token) = 0;
  virtual HRESULT remove_ScriptDialogOpening(EventRegistrationToken token) = 0;
  virtual HRESULT add_PermissionRequested(PermissionRequestedEventHandler handler,
                                          EventRegistrationToken* token) = 0;
  virtual HRESULT remove_PermissionRequested(EventRegistrationToken token) = 0;
  virtual HRESULT add_ProcessFailed(ProcessFailedEventHandler handler,
                                    EventRegistrationToken* token) = 0;
  virtual HRESULT remove_ProcessFailed(EventRegistrationToken token) = 0;
  virtual HRESULT add_WebMessageReceived(WebMessageReceivedEventHandler handler,
                                         EventRegistrationToken* token) = 0;
  virtual HRESULT remove_WebMessageReceived(EventRegistrationToken token) = 0;
  virtual HRESULT add_ContainsFullScreenElementChanged(NotifyEventHandler handler,
                                                       EventRegistrationToken* token) = 0;
  virtual HRESULT remove_ContainsFullScreenElementChanged(EventRegistrationToken token) = 0;
  virtual HRESULT add_WindowCloseRequested(NotifyEventHandler handler,
                                           EventRegistrationToken* token) = 0;
  virtual HRESULT remove_WindowCloseRequested(EventRegistrationToken token) = 0;
  // A page started a download (ICoreWebView2_4). An engine that cannot
  // raise it refuses the subscription with kENotImpl.
  // By value like every add_X, so the override can keep the handler.
  virtual HRESULT add_DownloadStarting(
      DownloadStartingEventHandler /*handler*/,  // NOLINT(performance-unnecessary-value-param)
      EventRegistrationToken* /*token*/) {
    return kENotImpl;
  }
  virtual HRESULT remove_DownloadStarting(EventRegistrationToken /*token*/) { return kENotImpl; }
};

// ICoreWebView2Controller: hosts one web view inside a native window.
class EngineController {
 public:
  virtual ~EngineController() = default;

  virtual HRESULT get_CoreWebView2(std::shared_ptr<EngineWebView>* web_view) = 0;
  virtual HRESULT get_IsVisible(bool* visible) = 0;
  virtual HRESULT put_IsVisible(bool visible) = 0;
  // The view's rectangle inside the native window; an empty or inverted
  // rectangle shows nothing.
  virtual HRESULT get_Bounds(Rect* bounds) = 0;
  virtual HRESULT put_Bounds(Rect bounds) = 0;
  // 1.0 is 100 %. A factor that is not positive gives kEInvalidArg.
  virtual HRESULT get_ZoomFactor(double* zoom_factor) = 0;
  virtual HRESULT put_ZoomFactor(double zoom_factor) = 0;
  // Gives the keyboard focus to the view.
  virtual HRESULT MoveFocus(MoveFocusReason reason) = 0;
  // Removes the view from its window and frees the engine's resources; see
  // the rules at the top of this file. A second Close gives kSOk.
  virtual HRESULT Close() = 0;

  virtual HRESULT add_ZoomFactorChanged(NotifyEventHandler handler,
                                        EventRegistrationToken* token) = 0;
  virtual HRESULT remove_ZoomFactorChanged(EventRegistrationToken token) = 0;
  // Raised when the user tabs out of the view at either end.
  virtual HRESULT add_MoveFocusRequested(MoveFocusRequestedEventHandler handler,
                                         EventRegistrationToken* token) = 0;
  virtual HRESULT remove_MoveFocusRequested(EventRegistrationToken token) = 0;
  virtual HRESULT add_GotFocus(NotifyEventHandler handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_GotFocus(EventRegistrationToken token) = 0;
  virtual HRESULT add_LostFocus(NotifyEventHandler handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_LostFocus(EventRegistrationToken token) = 0;
  // Raised for keys pressed with Ctrl or Alt, and keys that type no
  // character, before the page sees them.
  virtual HRESULT add_AcceleratorKeyPressed(AcceleratorKeyPressedEventHandler handler,
                                            EventRegistrationToken* token) = 0;
  virtual HRESULT remove_AcceleratorKeyPressed(EventRegistrationToken token) = 0;
};

// ICoreWebView2Environment: one engine instance with its data folder.
class EngineEnvironment {
 public:
  virtual ~EngineEnvironment() = default;
  // Creates a controller whose view lives in `parent_window`.
  virtual HRESULT CreateCoreWebView2Controller(NativeWindowHandle parent_window,
                                               CreateControllerCompletedHandler completed) = 0;
  // A response for WebResourceRequestedEventArgs::put_Response. `content` may
  // be null (empty body); `headers` holds "Name: value" lines separated by
  // CR LF or LF. Any thread.
  virtual HRESULT CreateWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                            const std::string& reason_phrase,
                                            const std::string& headers,
                                            std::shared_ptr<WebResourceResponse>* response) = 0;
  virtual HRESULT get_BrowserVersionString(std::string* version) = 0;
};

// The loader library's exports.
class EngineLoader {
 public:
  virtual ~EngineLoader() = default;
  // CreateCoreWebView2Environment: any thread. Returns at once; on success
  // the completion is called once, on a thread of the engine's choosing,
  // with the result and (on success) the environment. The engine reads its
  // data folder from WEBVIEW2_USER_DATA_FOLDER when that is set.
  virtual HRESULT CreateCoreWebView2Environment(CreateEnvironmentCompletedHandler completed) = 0;
  // The installed engine's version; kEFileNotFound when none is installed.
  // Any thread.
  virtual HRESULT GetCoreWebView2BrowserVersionString(std::string* version) = 0;
};

// Opens the loader library at `path` (LoadLibraryW on Windows, dlopen of the
// engine module on Linux). Any thread. kEFail when it cannot be loaded or is
// not an engine library; *loader is then untouched. A library once opened
// stays loaded until the process ends.
using EngineLibraryOpener =
    std::function<HRESULT(const std::string& path, std::shared_ptr<EngineLoader>* loader)>;

// The platform's opener (chosen by CMake).
HRESULT OpenNativeEngineLibrary(const std::string& path, std::shared_ptr<EngineLoader>* loader);

// Version of this header's layout; an engine module built against another
// version is refused.
inline constexpr int kEngineAbiVersion = 2;

}  // namespace tessel::platform
