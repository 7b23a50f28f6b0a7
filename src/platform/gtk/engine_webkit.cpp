// The engine seam over WebKitGTK 4.1 (GTK 3), built as a module of its own
// and opened with dlopen (engine_library_linux.cpp).
//
// What pages see: the app's own pages are loaded from the private scheme
// "tessel-app://app/" (WebKitGTK refuses to take over "file:"), so inside a
// page location.href, document.URL and the origin show that address, while
// the component and everything above it see "file:///..." throughout
// (engine_webkit_uri.h). window.chrome.webview is a shim injected first at
// document start in every frame, over WebKit's script message handlers.
//
// Who posted a message: the script message handler lives in an isolated
// script world of our own, out of reach of page scripts. The shim hands each
// message to a relay script in that world (a DOM event on the frame's
// window), and the relay adds what it sees itself: the document's own
// address. A page can post anything, but cannot make a message look as if
// another document had sent it. As with WebView2, whose CoreWebView2 event
// carries the top-level document's messages only (a child frame's go to that
// frame's own event, which this seam does not have), the relay runs in the
// top-level frame alone, so child frames' messages are never raised. The
// source of a message is the address of the document that posted it, not
// the view's current address, which runs ahead during a navigation.
//
// Where WebKitGTK differs from WebView2, and what this module does:
// - WebResourceRequested is raised for the private scheme only: WebKitGTK
//   offers no way to intercept http(s) from the UI process. Its resource
//   context is guessed from the Accept header and the extension. A request
//   nobody answers is served from the file at that absolute path, or with a
//   404 "Not Found" page.
// - NavigationStarting is raised when the main frame starts loading (WebKit's
//   policy decisions do not tell the main frame from subframes); cancelling
//   stops the load, and NavigationCompleted reports kOperationCanceled.
//   FrameNavigationStarting/Completed are never raised.
// - MoveFocusRequested is never raised: GTK moves the focus out of the view
//   itself at the ends of the tab order.
// - get_BrowserProcessId gives 0: there is no browser process apart from
//   ours; Close ends the view's web process. No DevTools protocol (kENotImpl).
// - IsStatusBarEnabled and IsZoomControlEnabled are stored and read back
//   only (no status bar; GTK zooms only on request). IsScriptEnabled maps to
//   "enable-javascript-markup": page scripts stop, injected scripts and
//   ExecuteScript still run, as with WebView2.
// - Data folder: WEBVIEW2_USER_DATA_FOLDER when set, else nothing is kept.
// - The private scheme is registered as local, like "file:": pages of other
//   origins can neither load its addresses nor navigate to them. The
//   resource handler refuses a request whose Origin or Referer names another
//   origin as well.
// - DownloadStarting is raised when WebKit asks where to save; without a
//   handler, or when one cancels, the download is cancelled. A frame's
//   response that it cannot show is refused rather than downloaded.
#include "platform/gtk/engine_webkit.h"

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine.h"
#include "platform/engine_basics.h"
#include "platform/gtk/engine_webkit_uri.h"

namespace tessel::platform::webkit {
namespace {

constexpr char kMessageChannel[] = "tesselWebview";
// The isolated script world of the message channel and its relay.
constexpr char kBridgeWorld[] = "tessel-bridge";
constexpr char kCoreKey[] = "tessel-view-core";

// window.chrome.webview: postMessage sends the value as JSON (as WebView2
// does: JSON.stringify semantics, undefined as null); replies arrive as
// "message" events whose data is the parsed value. Posting dispatches the
// JSON text to the relay (kRelayScript); the built-ins are taken before any
// page script can replace them.
constexpr char kWebViewShim[] = R"JS((function () {
  'use strict';
  if (window.chrome && window.chrome.webview) return;
  var dispatch = EventTarget.prototype.dispatchEvent;
  var Custom = CustomEvent;
  var stringify = JSON.stringify;
  var self = window;
  var target = new EventTarget();
  var webview = {
    postMessage: function (message) {
      var json = stringify(message);
      dispatch.call(self, new Custom('tessel-webview-post',
                                     { detail: json === undefined ? 'null' : json }));
    },
    addEventListener: function (type, listener, options) {
      target.addEventListener(type, listener, options);
    },
    removeEventListener: function (type, listener, options) {
      target.removeEventListener(type, listener, options);
    }
  };
  Object.defineProperty(webview, '__tesselDeliver', {
    value: function (json) {
      target.dispatchEvent(new MessageEvent('message', { data: JSON.parse(json) }));
    }
  });
  Object.freeze(webview);
  if (!window.chrome) window.chrome = {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, enumerable: true });
})();)JS";

// Runs in kBridgeWorld, where page scripts cannot reach: its globals,
// location included, are its own and cannot be replaced by the page. Only the
// top-level frame relays; what it posts is its address, a line break (which
// a serialised address never holds) and the message's JSON, one string
// being the cheapest value to carry.
constexpr char kRelayScript[] = R"JS((function () {
  'use strict';
  if (window.top !== window.self) return;
  var channel = window.webkit.messageHandlers.tesselWebview;
  window.addEventListener('tessel-webview-post', function (event) {
    if (typeof event.detail !== 'string') return;
    channel.postMessage(location.href + '\n' + event.detail);
  }, true);
})();)JS";

template <typename Work>
void Safe(Work&& work) noexcept {
  try {
    work();
  } catch (...) {
    // Nothing may unwind into GLib.
  }
}

using Task = std::function<void()>;

gboolean RunTask(gpointer data) {
  Safe([&] { (*static_cast<Task*>(data))(); });
  return G_SOURCE_REMOVE;
}

void FreeTask(gpointer data) { delete static_cast<Task*>(data); }

// Runs `task` later on the main loop (GTK's UI thread). Any thread.
void PostToMain(Task task) {
  g_idle_add_full(G_PRIORITY_DEFAULT, RunTask, new Task(std::move(task)), FreeTask);
}

std::string EngineVersion() {
  return std::to_string(webkit_get_major_version()) + "." +
         std::to_string(webkit_get_minor_version()) + "." +
         std::to_string(webkit_get_micro_version());
}

template <typename T, typename V>
HRESULT Out(T* out, V&& value) {
  if (out == nullptr) return kEPointer;
  *out = std::forward<V>(value);
  return kSOk;
}

std::string Str(const char* text) { return text != nullptr ? text : ""; }

bool IsHeaderSafe(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

WebErrorStatus MapError(const GError* error) {
  if (error == nullptr) return WebErrorStatus::kUnknown;
  if (error->domain == WEBKIT_NETWORK_ERROR) {
    if (error->code == WEBKIT_NETWORK_ERROR_CANCELLED) return WebErrorStatus::kOperationCanceled;
    return WebErrorStatus::kUnexpectedError;
  }
  if (error->domain == WEBKIT_POLICY_ERROR) return WebErrorStatus::kOperationCanceled;
  if (error->domain == G_RESOLVER_ERROR) return WebErrorStatus::kHostNameNotResolved;
  if (error->domain == G_TLS_ERROR) return WebErrorStatus::kCertificateIsInvalid;
  if (error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_CANCELLED:
        return WebErrorStatus::kOperationCanceled;
      case G_IO_ERROR_TIMED_OUT:
        return WebErrorStatus::kTimeout;
      case G_IO_ERROR_CONNECTION_REFUSED:
        return WebErrorStatus::kCannotConnect;
      case G_IO_ERROR_CONNECTION_CLOSED:  // the same value as G_IO_ERROR_BROKEN_PIPE
        return WebErrorStatus::kConnectionAborted;
      case G_IO_ERROR_HOST_UNREACHABLE:
      case G_IO_ERROR_NETWORK_UNREACHABLE:
        return WebErrorStatus::kServerUnreachable;
      default:
        return WebErrorStatus::kUnexpectedError;
    }
  }
  return WebErrorStatus::kUnknown;
}

// Windows virtual-key codes for GDK key values; 0 for keys without one.
std::uint32_t VirtualKey(guint keyval) {
  if (keyval >= GDK_KEY_a && keyval <= GDK_KEY_z) return 'A' + (keyval - GDK_KEY_a);
  if (keyval >= GDK_KEY_A && keyval <= GDK_KEY_Z) return 'A' + (keyval - GDK_KEY_A);
  if (keyval >= GDK_KEY_0 && keyval <= GDK_KEY_9) return '0' + (keyval - GDK_KEY_0);
  if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) return 0x70 + (keyval - GDK_KEY_F1);
  if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9) return 0x60 + (keyval - GDK_KEY_KP_0);
  switch (keyval) {
    case GDK_KEY_BackSpace:
      return 0x08;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
      return 0x09;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
      return 0x0D;
    case GDK_KEY_Shift_L:
    case GDK_KEY_Shift_R:
      return 0x10;
    case GDK_KEY_Control_L:
    case GDK_KEY_Control_R:
      return 0x11;
    case GDK_KEY_Alt_L:
    case GDK_KEY_Alt_R:
      return 0x12;
    case GDK_KEY_Pause:
      return 0x13;
    case GDK_KEY_Caps_Lock:
      return 0x14;
    case GDK_KEY_Escape:
      return 0x1B;
    case GDK_KEY_space:
      return 0x20;
    case GDK_KEY_Page_Up:
      return 0x21;
    case GDK_KEY_Page_Down:
      return 0x22;
    case GDK_KEY_End:
      return 0x23;
    case GDK_KEY_Home:
      return 0x24;
    case GDK_KEY_Left:
      return 0x25;
    case GDK_KEY_Up:
      return 0x26;
    case GDK_KEY_Right:
      return 0x27;
    case GDK_KEY_Down:
      return 0x28;
    case GDK_KEY_Print:
      return 0x2C;
    case GDK_KEY_Insert:
      return 0x2D;
    case GDK_KEY_Delete:
      return 0x2E;
    case GDK_KEY_Super_L:
      return 0x5B;
    case GDK_KEY_Super_R:
      return 0x5C;
    case GDK_KEY_Menu:
      return 0x5D;
    case GDK_KEY_KP_Multiply:
      return 0x6A;
    case GDK_KEY_KP_Add:
      return 0x6B;
    case GDK_KEY_KP_Subtract:
      return 0x6D;
    case GDK_KEY_KP_Decimal:
      return 0x6E;
    case GDK_KEY_KP_Divide:
      return 0x6F;
    case GDK_KEY_Num_Lock:
      return 0x90;
    case GDK_KEY_Scroll_Lock:
      return 0x91;
    case GDK_KEY_semicolon:
      return 0xBA;
    case GDK_KEY_equal:
      return 0xBB;
    case GDK_KEY_comma:
      return 0xBC;
    case GDK_KEY_minus:
      return 0xBD;
    case GDK_KEY_period:
      return 0xBE;
    case GDK_KEY_slash:
      return 0xBF;
    case GDK_KEY_grave:
      return 0xC0;
    case GDK_KEY_bracketleft:
      return 0xDB;
    case GDK_KEY_backslash:
      return 0xDC;
    case GDK_KEY_bracketright:
      return 0xDD;
    case GDK_KEY_apostrophe:
      return 0xDE;
    default:
      return 0;
  }
}

bool IsExtendedKey(std::uint32_t virtual_key) {
  return (virtual_key >= 0x21 && virtual_key <= 0x28) || virtual_key == 0x2D ||
         virtual_key == 0x2E || virtual_key == 0x5B || virtual_key == 0x5C || virtual_key == 0x5D;
}

// --- event arguments ---------------------------------------------------------------

class NavigationStartingArgs : public NavigationStartingEventArgs {
 public:
  std::string uri;
  bool user_initiated = false;
  bool redirected = false;
  bool cancel = false;
  std::uint64_t navigation_id = 0;
  std::shared_ptr<BasicHttpHeaders> headers = std::make_shared<BasicHttpHeaders>();

  HRESULT get_Uri(std::string* v) override { return Out(v, uri); }
  HRESULT get_IsUserInitiated(bool* v) override { return Out(v, user_initiated); }
  HRESULT get_IsRedirected(bool* v) override { return Out(v, redirected); }
  HRESULT get_RequestHeaders(std::shared_ptr<HttpRequestHeaders>* v) override {
    return Out(v, headers);
  }
  HRESULT get_Cancel(bool* v) override { return Out(v, cancel); }
  HRESULT put_Cancel(bool v) override {
    cancel = v;
    return kSOk;
  }
  HRESULT get_NavigationId(std::uint64_t* v) override { return Out(v, navigation_id); }
};

class NavigationCompletedArgs : public NavigationCompletedEventArgs {
 public:
  bool success = true;
  WebErrorStatus status = WebErrorStatus::kUnknown;
  std::uint64_t navigation_id = 0;

  HRESULT get_IsSuccess(bool* v) override { return Out(v, success); }
  HRESULT get_WebErrorStatus(WebErrorStatus* v) override { return Out(v, status); }
  HRESULT get_NavigationId(std::uint64_t* v) override { return Out(v, navigation_id); }
};

class ContentLoadingArgs : public ContentLoadingEventArgs {
 public:
  bool error_page = false;
  std::uint64_t navigation_id = 0;
  HRESULT get_IsErrorPage(bool* v) override { return Out(v, error_page); }
  HRESULT get_NavigationId(std::uint64_t* v) override { return Out(v, navigation_id); }
};

class SourceChangedArgs : public SourceChangedEventArgs {
 public:
  bool new_document = true;
  HRESULT get_IsNewDocument(bool* v) override { return Out(v, new_document); }
};

class NewWindowRequestedArgs : public NewWindowRequestedEventArgs {
 public:
  std::string uri;
  bool handled = false;
  bool user_initiated = false;
  HRESULT get_Uri(std::string* v) override { return Out(v, uri); }
  HRESULT put_Handled(bool v) override {
    handled = v;
    return kSOk;
  }
  HRESULT get_Handled(bool* v) override { return Out(v, handled); }
  HRESULT get_IsUserInitiated(bool* v) override { return Out(v, user_initiated); }
};

class WebResourceRequestedArgs : public WebResourceRequestedEventArgs {
 public:
  std::shared_ptr<WebResourceRequest> request;
  std::shared_ptr<WebResourceResponse> response;
  WebResourceContext context = WebResourceContext::kOther;
  HRESULT get_Request(std::shared_ptr<WebResourceRequest>* v) override { return Out(v, request); }
  HRESULT get_Response(std::shared_ptr<WebResourceResponse>* v) override {
    return Out(v, response);
  }
  HRESULT put_Response(std::shared_ptr<WebResourceResponse> v) override {
    response = std::move(v);
    return kSOk;
  }
  HRESULT get_ResourceContext(WebResourceContext* v) override { return Out(v, context); }
};

class ScriptDialogOpeningArgs : public ScriptDialogOpeningEventArgs {
 public:
  std::string uri;
  ScriptDialogKind kind = ScriptDialogKind::kAlert;
  std::string message;
  std::string default_text;
  std::string result_text;
  bool accepted = false;
  HRESULT get_Uri(std::string* v) override { return Out(v, uri); }
  HRESULT get_Kind(ScriptDialogKind* v) override { return Out(v, kind); }
  HRESULT get_Message(std::string* v) override { return Out(v, message); }
  HRESULT Accept() override {
    accepted = true;
    return kSOk;
  }
  HRESULT get_DefaultText(std::string* v) override { return Out(v, default_text); }
  HRESULT get_ResultText(std::string* v) override { return Out(v, result_text); }
  HRESULT put_ResultText(const std::string& v) override {
    result_text = v;
    return kSOk;
  }
};

class PermissionRequestedArgs : public PermissionRequestedEventArgs {
 public:
  std::string uri;
  PermissionKind kind = PermissionKind::kUnknownPermission;
  PermissionState state = PermissionState::kDefault;
  HRESULT get_Uri(std::string* v) override { return Out(v, uri); }
  HRESULT get_PermissionKind(PermissionKind* v) override { return Out(v, kind); }
  HRESULT get_IsUserInitiated(bool* v) override { return Out(v, true); }
  HRESULT get_State(PermissionState* v) override { return Out(v, state); }
  HRESULT put_State(PermissionState v) override {
    state = v;
    return kSOk;
  }
};

class ProcessFailedArgs : public ProcessFailedEventArgs {
 public:
  ProcessFailedKind kind = ProcessFailedKind::kRenderProcessExited;
  HRESULT get_ProcessFailedKind(ProcessFailedKind* v) override { return Out(v, kind); }
};

class WebMessageReceivedArgs : public WebMessageReceivedEventArgs {
 public:
  std::string source;
  std::string json;
  HRESULT get_Source(std::string* v) override { return Out(v, source); }
  HRESULT get_WebMessageAsJson(std::string* v) override { return Out(v, json); }
  HRESULT TryGetWebMessageAsString(std::string* v) override {
    if (v == nullptr) return kEPointer;
    std::string text;
    if (!DecodeJsonString(json, &text)) return kEInvalidArg;
    *v = std::move(text);
    return kSOk;
  }
};

class DownloadStartingArgs : public DownloadStartingEventArgs {
 public:
  std::string uri;
  std::string result_file_path;
  bool cancel = false;
  HRESULT get_Uri(std::string* v) override { return Out(v, uri); }
  HRESULT get_ResultFilePath(std::string* v) override { return Out(v, result_file_path); }
  HRESULT put_ResultFilePath(const std::string& v) override {
    result_file_path = v;
    return kSOk;
  }
  HRESULT get_Cancel(bool* v) override { return Out(v, cancel); }
  HRESULT put_Cancel(bool v) override {
    cancel = v;
    return kSOk;
  }
};

class AcceleratorKeyPressedArgs : public AcceleratorKeyPressedEventArgs {
 public:
  KeyEventKind kind = KeyEventKind::kKeyDown;
  std::uint32_t virtual_key = 0;
  std::int32_t lparam = 0;
  bool handled = false;
  HRESULT get_KeyEventKind(KeyEventKind* v) override { return Out(v, kind); }
  HRESULT get_VirtualKey(std::uint32_t* v) override { return Out(v, virtual_key); }
  HRESULT get_KeyEventLParam(std::int32_t* v) override { return Out(v, lparam); }
  HRESULT get_Handled(bool* v) override { return Out(v, handled); }
  HRESULT put_Handled(bool v) override {
    handled = v;
    return kSOk;
  }
};

// --- the environment: one web context with the private scheme -------------------

void ServeRequest(WebKitURISchemeRequest* request, gpointer);
void DownloadStarted(WebKitWebContext* context, WebKitDownload* download, gpointer);

class EnvironmentCore {
 public:
  EnvironmentCore() {
    const char* folder = std::getenv("WEBVIEW2_USER_DATA_FOLDER");
    if (folder != nullptr && *folder != '\0') {
      gchar* data = g_build_filename(folder, "webkit", "data", nullptr);
      gchar* cache = g_build_filename(folder, "webkit", "cache", nullptr);
      WebKitWebsiteDataManager* manager = WEBKIT_WEBSITE_DATA_MANAGER(
          g_object_new(WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", data,
                       "base-cache-directory", cache, nullptr));
      context_ = webkit_web_context_new_with_website_data_manager(manager);
      g_object_unref(manager);
      g_free(data);
      g_free(cache);
    } else {
      context_ = webkit_web_context_new_ephemeral();
    }
    webkit_web_context_register_uri_scheme(context_, kAppScheme, ServeRequest, nullptr, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context_);
    webkit_security_manager_register_uri_scheme_as_secure(security, kAppScheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kAppScheme);
    // As local as "file:": a page of another origin can neither load the
    // app's addresses as resources or frames nor navigate to them.
    webkit_security_manager_register_uri_scheme_as_local(security, kAppScheme);
    g_signal_connect(context_, "download-started", G_CALLBACK(DownloadStarted), nullptr);
  }
  ~EnvironmentCore() { g_object_unref(context_); }
  EnvironmentCore(const EnvironmentCore&) = delete;
  EnvironmentCore& operator=(const EnvironmentCore&) = delete;

  WebKitWebContext* context() const { return context_; }

 private:
  WebKitWebContext* context_ = nullptr;
};

// An asynchronous call still waiting for WebKit. WebKit may never answer
// calls of a view that was closed, so Close completes them itself (kEAbort)
// and the late answer, if any, finds them done.
class PendingCall {
 public:
  virtual ~PendingCall() = default;
  virtual void Abort() = 0;
  bool done = false;
};

// --- one view: the state a controller and its web view share -----------------------

class ViewCore : public std::enable_shared_from_this<ViewCore> {
 public:
  ViewCore(std::shared_ptr<EnvironmentCore> environment, GtkWidget* parent)
      : environment_(std::move(environment)), parent_(GTK_WIDGET(g_object_ref(parent))) {}
  ~ViewCore() {
    Close();
    g_object_unref(parent_);
  }
  ViewCore(const ViewCore&) = delete;
  ViewCore& operator=(const ViewCore&) = delete;

  void Open();
  void Close();

  // While an operation of ours runs, WebKit may notify synchronously (the
  // address changes inside load_uri); such events are delivered afterwards.
  class Call {
   public:
    explicit Call(ViewCore& core) : core_(core) { ++core_.in_call_; }
    ~Call() { --core_.in_call_; }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    ViewCore& core_;
  };

  template <typename Raise>
  void Emit(Raise raise) {
    if (closed_) return;
    if (in_call_ == 0) {
      Safe(raise);
      return;
    }
    PostToMain([weak = weak_from_this(), raise] {
      auto core = weak.lock();
      if (core && !core->closed_) Safe(raise);
    });
  }

  bool closed() const { return closed_; }
  WebKitWebView* view() const { return view_; }
  GtkWidget* parent() const { return parent_; }

  // Settings that WebKit keeps elsewhere or not at all.
  bool web_message_enabled = true;
  bool default_script_dialogs_enabled = true;
  bool status_bar_enabled = true;
  bool default_context_menus_enabled = true;
  bool zoom_control_enabled = true;
  bool built_in_error_page_enabled = true;

  std::string source = "about:blank";
  bool contains_full_screen_element = false;
  Rect bounds;
  std::vector<ResourceFilter> filters;
  std::map<std::string, WebKitUserScript*> scripts;
  int next_script_id = 1;
  GCancellable* cancellable = g_cancellable_new();
  std::vector<std::shared_ptr<PendingCall>> pending;

  // Registers `call`; the returned pointer is the async callback's data.
  std::shared_ptr<PendingCall>* Track(std::shared_ptr<PendingCall> call) {
    std::erase_if(pending, [](const auto& p) { return p->done; });
    pending.push_back(call);
    return new std::shared_ptr<PendingCall>(std::move(call));
  }

  EventList<NavigationStartingEventHandler> navigation_starting;
  EventList<NavigationCompletedEventHandler> navigation_completed;
  EventList<SourceChangedEventHandler> source_changed;
  EventList<NotifyEventHandler> history_changed;
  EventList<ContentLoadingEventHandler> content_loading;
  EventList<NotifyEventHandler> document_title_changed;
  EventList<NewWindowRequestedEventHandler> new_window_requested;
  EventList<NavigationStartingEventHandler> frame_navigation_starting;
  EventList<NavigationCompletedEventHandler> frame_navigation_completed;
  EventList<WebResourceRequestedEventHandler> web_resource_requested;
  EventList<ScriptDialogOpeningEventHandler> script_dialog_opening;
  EventList<PermissionRequestedEventHandler> permission_requested;
  EventList<ProcessFailedEventHandler> process_failed;
  EventList<WebMessageReceivedEventHandler> web_message_received;
  EventList<NotifyEventHandler> contains_full_screen_element_changed;
  EventList<NotifyEventHandler> window_close_requested;
  EventList<DownloadStartingEventHandler> download_starting;
  EventList<NotifyEventHandler> zoom_factor_changed;
  EventList<MoveFocusRequestedEventHandler> move_focus_requested;
  EventList<NotifyEventHandler> got_focus;
  EventList<NotifyEventHandler> lost_focus;
  EventList<AcceleratorKeyPressedEventHandler> accelerator_key_pressed;

  // Signal handlers.
  void LoadChanged(WebKitLoadEvent event);
  gboolean LoadFailed(const GError* error);
  void UriChanged();
  GtkWidget* Create(WebKitNavigationAction* action);
  gboolean PermissionRequest(WebKitPermissionRequest* request);
  gboolean ScriptDialog(WebKitScriptDialog* dialog);
  void ScriptMessage(WebKitJavascriptResult* result);
  gboolean Key(GdkEventKey* event);
  gboolean AcceleratorKey(GdkEventKey* event);
  void ProcessTerminated();
  void Unresponsive();
  void FullScreen(bool entered);
  bool Serve(WebKitURISchemeRequest* request, const std::string& uri);
  gboolean DecideDestination(WebKitDownload* download, const gchar* suggested_name);
  gboolean DecideResponse(WebKitResponsePolicyDecision* decision);

 private:
  void ClearEvents();
  void StartNavigation(bool redirected);

  std::shared_ptr<EnvironmentCore> environment_;
  GtkWidget* parent_;
  WebKitWebView* view_ = nullptr;
  WebKitUserContentManager* content_ = nullptr;
  WebKitBackForwardList* history_ = nullptr;
  bool closed_ = false;
  int in_call_ = 0;
  std::uint64_t navigation_id_ = 0;
  std::uint64_t last_navigation_id_ = 0;
  bool load_failed_ = false;
  WebErrorStatus failure_ = WebErrorStatus::kUnknown;
};

ViewCore* CoreOf(gpointer data) { return static_cast<ViewCore*>(data); }

void ViewCore::Open() {
  content_ = webkit_user_content_manager_new();
  g_signal_connect(content_, "script-message-received::tesselWebview",
                   G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result,
                                  gpointer data) { CoreOf(data)->ScriptMessage(result); }),
                   this);
  // Only the relay's world sees the channel; the page's world has no
  // window.webkit.messageHandlers.tesselWebview.
  webkit_user_content_manager_register_script_message_handler_in_world(content_, kMessageChannel,
                                                                       kBridgeWorld);
  // First of all scripts, in every frame, before the page's own.
  WebKitUserScript* relay = webkit_user_script_new_for_world(
      kRelayScript, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kBridgeWorld, nullptr, nullptr);
  webkit_user_content_manager_add_script(content_, relay);
  webkit_user_script_unref(relay);
  WebKitUserScript* shim =
      webkit_user_script_new(kWebViewShim, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content_, shim);
  webkit_user_script_unref(shim);

  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_enable_developer_extras(settings, TRUE);
  // window.open reaches NewWindowRequested, where the host decides, as with
  // WebView2 (WebKit would otherwise block it without a user gesture).
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  // The private scheme is local; without this every one of its documents
  // would be an origin of its own path, and the app's pages could not fetch
  // their own files.
  webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
  view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", environment_->context(),
                                       "user-content-manager", content_, "settings", settings,
                                       nullptr));
  g_object_unref(settings);
  g_object_ref_sink(view_);
  g_object_set_data(G_OBJECT(view_), kCoreKey, this);

  g_signal_connect(view_, "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
                     Safe([&] { CoreOf(data)->LoadChanged(event); });
                   }),
                   this);
  g_signal_connect(
      view_, "load-failed",
      G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, gchar*, GError* error,
                     gpointer data) -> gboolean { return CoreOf(data)->LoadFailed(error); }),
      this);
  g_signal_connect(view_, "notify::uri", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                     Safe([&] { CoreOf(data)->UriChanged(); });
                   }),
                   this);
  g_signal_connect(view_, "notify::title", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                     auto* core = CoreOf(data);
                     core->Emit([core] { core->document_title_changed.Raise(); });
                   }),
                   this);
  g_signal_connect(view_, "notify::zoom-level",
                   G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                     if (!CoreOf(data)->closed()) CoreOf(data)->zoom_factor_changed.Raise();
                   }),
                   this);
  g_signal_connect(
      view_, "create",
      G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction* action, gpointer data) -> GtkWidget* {
        return CoreOf(data)->Create(action);
      }),
      this);
  g_signal_connect(view_, "decide-policy",
                   G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision,
                                  WebKitPolicyDecisionType type, gpointer data) -> gboolean {
                     if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
                     return CoreOf(data)->DecideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
                   }),
                   this);
  g_signal_connect(
      view_, "permission-request",
      G_CALLBACK(+[](WebKitWebView*, WebKitPermissionRequest* request, gpointer data) -> gboolean {
        return CoreOf(data)->PermissionRequest(request);
      }),
      this);
  g_signal_connect(
      view_, "script-dialog",
      G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) -> gboolean {
        return CoreOf(data)->ScriptDialog(dialog);
      }),
      this);
  g_signal_connect(view_, "web-process-terminated",
                   G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason,
                                  gpointer data) { CoreOf(data)->ProcessTerminated(); }),
                   this);
  g_signal_connect(
      view_, "notify::is-web-process-responsive",
      G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) { CoreOf(data)->Unresponsive(); }),
      this);
  g_signal_connect(view_, "enter-fullscreen",
                   G_CALLBACK(+[](WebKitWebView*, gpointer data) -> gboolean {
                     CoreOf(data)->FullScreen(true);
                     return FALSE;
                   }),
                   this);
  g_signal_connect(view_, "leave-fullscreen",
                   G_CALLBACK(+[](WebKitWebView*, gpointer data) -> gboolean {
                     CoreOf(data)->FullScreen(false);
                     return FALSE;
                   }),
                   this);
  g_signal_connect(view_, "close", G_CALLBACK(+[](WebKitWebView*, gpointer data) {
                     auto* core = CoreOf(data);
                     core->Emit([core] { core->window_close_requested.Raise(); });
                   }),
                   this);
  g_signal_connect(view_, "context-menu",
                   G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                  WebKitHitTestResult*, gpointer data) -> gboolean {
                     return CoreOf(data)->default_context_menus_enabled ? FALSE : TRUE;
                   }),
                   this);
  g_signal_connect(view_, "focus-in-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     if (!CoreOf(data)->closed()) CoreOf(data)->got_focus.Raise();
                     return FALSE;
                   }),
                   this);
  g_signal_connect(view_, "focus-out-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     if (!CoreOf(data)->closed()) CoreOf(data)->lost_focus.Raise();
                     return FALSE;
                   }),
                   this);
  auto key = +[](GtkWidget*, GdkEventKey* event, gpointer data) -> gboolean {
    return CoreOf(data)->Key(event);
  };
  g_signal_connect(view_, "key-press-event", G_CALLBACK(key), this);
  g_signal_connect(view_, "key-release-event", G_CALLBACK(key), this);

  history_ = webkit_web_view_get_back_forward_list(view_);
  g_signal_connect(
      history_, "changed",
      G_CALLBACK(+[](WebKitBackForwardList*, WebKitBackForwardListItem*, gpointer, gpointer data) {
        auto* core = CoreOf(data);
        core->Emit([core] { core->history_changed.Raise(); });
      }),
      this);

  GtkWidget* widget = GTK_WIDGET(view_);
  if (GTK_IS_LAYOUT(parent_)) {
    gtk_layout_put(GTK_LAYOUT(parent_), widget, 0, 0);
  } else if (GTK_IS_FIXED(parent_)) {
    gtk_fixed_put(GTK_FIXED(parent_), widget, 0, 0);
  } else {
    gtk_container_add(GTK_CONTAINER(parent_), widget);
  }
  gtk_widget_show(widget);
}

void ViewCore::ClearEvents() {
  navigation_starting.Clear();
  navigation_completed.Clear();
  source_changed.Clear();
  history_changed.Clear();
  content_loading.Clear();
  document_title_changed.Clear();
  new_window_requested.Clear();
  frame_navigation_starting.Clear();
  frame_navigation_completed.Clear();
  web_resource_requested.Clear();
  script_dialog_opening.Clear();
  permission_requested.Clear();
  process_failed.Clear();
  web_message_received.Clear();
  contains_full_screen_element_changed.Clear();
  window_close_requested.Clear();
  download_starting.Clear();
  zoom_factor_changed.Clear();
  move_focus_requested.Clear();
  got_focus.Clear();
  lost_focus.Clear();
  accelerator_key_pressed.Clear();
}

void ViewCore::Close() {
  if (closed_) return;
  closed_ = true;
  // Pending script results and pictures finish now, with kEAbort, from the
  // loop (not inside Close).
  g_cancellable_cancel(cancellable);
  for (auto& call : pending) {
    if (call->done) continue;
    call->done = true;
    PostToMain([call] { call->Abort(); });
  }
  pending.clear();
  ClearEvents();
  if (history_ != nullptr) g_signal_handlers_disconnect_by_data(history_, this);
  if (view_ != nullptr) {
    g_signal_handlers_disconnect_by_data(view_, this);
    g_object_set_data(G_OBJECT(view_), kCoreKey, nullptr);
    webkit_web_view_stop_loading(view_);
    // Taking the view out of its window ends its page and web process.
    gtk_widget_destroy(GTK_WIDGET(view_));
    g_object_unref(view_);
    view_ = nullptr;
  }
  if (content_ != nullptr) {
    g_signal_handlers_disconnect_by_data(content_, this);
    webkit_user_content_manager_unregister_script_message_handler_in_world(
        content_, kMessageChannel, kBridgeWorld);
    for (auto& [id, script] : scripts) webkit_user_script_unref(script);
    scripts.clear();
    g_object_unref(content_);
    content_ = nullptr;
  }
  g_object_unref(cancellable);
  cancellable = nullptr;
}

void ViewCore::StartNavigation(bool redirected) {
  auto args = std::make_shared<NavigationStartingArgs>();
  args->uri = FromEngineUri(Str(webkit_web_view_get_uri(view_)));
  args->redirected = redirected;
  args->navigation_id = navigation_id_;
  const std::uint64_t id = navigation_id_;
  Emit([this, args, id] {
    navigation_starting.Raise(std::shared_ptr<NavigationStartingEventArgs>(args));
    if (args->cancel && !closed_ && navigation_id_ == id) webkit_web_view_stop_loading(view_);
  });
}

void ViewCore::LoadChanged(WebKitLoadEvent event) {
  if (closed_) return;
  switch (event) {
    case WEBKIT_LOAD_STARTED:
      navigation_id_ = ++last_navigation_id_;
      load_failed_ = false;
      failure_ = WebErrorStatus::kUnknown;
      StartNavigation(false);
      break;
    case WEBKIT_LOAD_REDIRECTED:
      StartNavigation(true);
      break;
    case WEBKIT_LOAD_COMMITTED: {
      const std::string uri = FromEngineUri(Str(webkit_web_view_get_uri(view_)));
      const bool changed = uri != source;
      source = uri;
      auto loading = std::make_shared<ContentLoadingArgs>();
      loading->error_page = load_failed_;
      loading->navigation_id = navigation_id_;
      Emit([this, changed, loading] {
        if (changed) {
          source_changed.Raise(
              std::shared_ptr<SourceChangedEventArgs>(std::make_shared<SourceChangedArgs>()));
        }
        content_loading.Raise(std::shared_ptr<ContentLoadingEventArgs>(loading));
      });
      break;
    }
    case WEBKIT_LOAD_FINISHED: {
      auto completed = std::make_shared<NavigationCompletedArgs>();
      completed->success = !load_failed_;
      completed->status = load_failed_ ? failure_ : WebErrorStatus::kUnknown;
      completed->navigation_id = navigation_id_;
      Emit([this, completed] {
        navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
      });
      break;
    }
  }
}

gboolean ViewCore::LoadFailed(const GError* error) {
  if (closed_) return FALSE;
  load_failed_ = true;
  failure_ = MapError(error);
  // Without the built-in error page the view shows nothing for the failure.
  return built_in_error_page_enabled ? FALSE : TRUE;
}

void ViewCore::UriChanged() {
  // Inside our own calls and during loads the address is provisional; a new
  // document's address is taken when it commits. What remains is a change
  // within the document (fragment, history.pushState).
  if (closed_ || in_call_ > 0 || webkit_web_view_is_loading(view_)) return;
  const std::string uri = FromEngineUri(Str(webkit_web_view_get_uri(view_)));
  if (uri == source) return;
  source = uri;
  Emit([this] {
    auto args = std::make_shared<SourceChangedArgs>();
    args->new_document = false;
    source_changed.Raise(std::shared_ptr<SourceChangedEventArgs>(args));
  });
}

GtkWidget* ViewCore::Create(WebKitNavigationAction* action) {
  if (closed_) return nullptr;
  auto args = std::make_shared<NewWindowRequestedArgs>();
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  args->uri = FromEngineUri(Str(request != nullptr ? webkit_uri_request_get_uri(request) : ""));
  args->user_initiated = webkit_navigation_action_is_user_gesture(action) != FALSE;
  new_window_requested.Raise(std::shared_ptr<NewWindowRequestedEventArgs>(args));
  if (args->handled || closed_) return nullptr;
  // Unhandled: a plain window of the engine's own, as WebView2 opens one.
  GtkWidget* popup = webkit_web_view_new_with_related_view(view_);
  g_signal_connect(popup, "ready-to-show", G_CALLBACK(+[](WebKitWebView* popup_view, gpointer) {
                     GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
                     gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
                     gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(popup_view));
                     gtk_widget_show_all(window);
                   }),
                   nullptr);
  g_signal_connect(popup, "close", G_CALLBACK(+[](WebKitWebView* popup_view, gpointer) {
                     gtk_widget_destroy(gtk_widget_get_toplevel(GTK_WIDGET(popup_view)));
                   }),
                   nullptr);
  return popup;
}

gboolean ViewCore::PermissionRequest(WebKitPermissionRequest* request) {
  if (closed_) return FALSE;
  auto args = std::make_shared<PermissionRequestedArgs>();
  args->uri = source;
  if (WEBKIT_IS_GEOLOCATION_PERMISSION_REQUEST(request)) {
    args->kind = PermissionKind::kGeolocation;
  } else if (WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request)) {
    args->kind = PermissionKind::kNotifications;
  } else if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
    auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
    args->kind = webkit_user_media_permission_is_for_video_device(media)
                     ? PermissionKind::kCamera
                     : PermissionKind::kMicrophone;
  } else if (WEBKIT_IS_CLIPBOARD_PERMISSION_REQUEST(request)) {
    args->kind = PermissionKind::kClipboardRead;
  }
  permission_requested.Raise(std::shared_ptr<PermissionRequestedEventArgs>(args));
  switch (args->state) {
    case PermissionState::kAllow:
      webkit_permission_request_allow(request);
      return TRUE;
    case PermissionState::kDeny:
      webkit_permission_request_deny(request);
      return TRUE;
    default:
      return FALSE;  // WebKit's own answer
  }
}

gboolean ViewCore::ScriptDialog(WebKitScriptDialog* dialog) {
  if (closed_ || default_script_dialogs_enabled) return FALSE;
  auto args = std::make_shared<ScriptDialogOpeningArgs>();
  args->uri = source;
  args->message = Str(webkit_script_dialog_get_message(dialog));
  const WebKitScriptDialogType type = webkit_script_dialog_get_dialog_type(dialog);
  switch (type) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
      args->kind = ScriptDialogKind::kConfirm;
      break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
      args->kind = ScriptDialogKind::kPrompt;
      args->default_text = Str(webkit_script_dialog_prompt_get_default_text(dialog));
      break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
      args->kind = ScriptDialogKind::kBeforeUnload;
      break;
    default:
      args->kind = ScriptDialogKind::kAlert;
      break;
  }
  script_dialog_opening.Raise(std::shared_ptr<ScriptDialogOpeningEventArgs>(args));
  if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM || type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
    webkit_script_dialog_confirm_set_confirmed(dialog, args->accepted ? TRUE : FALSE);
  } else if (type == WEBKIT_SCRIPT_DIALOG_PROMPT && args->accepted) {
    webkit_script_dialog_prompt_set_text(dialog, args->result_text.c_str());
  }
  return TRUE;  // the host's answer stands; no dialog of WebKit's
}

void ViewCore::ScriptMessage(WebKitJavascriptResult* result) {
  if (closed_ || !web_message_enabled || result == nullptr) return;
  // Only the relay can post here: the top-level document's address, "\n",
  // then the message's JSON.
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (value == nullptr || !jsc_value_is_string(value)) return;
  gchar* text = jsc_value_to_string(value);
  std::string posted = Str(text);
  g_free(text);
  const std::size_t end_of_source = posted.find('\n');
  if (end_of_source == std::string::npos) return;
  // A string cut inside an emoji is an ordinary text, not a reason to drop
  // the message.
  std::string json = WithoutLoneSurrogates(std::string_view(posted).substr(end_of_source + 1));
  // The shim sends JSON; anything else reached the relay by other means.
  if (!IsJson(json)) return;
  auto args = std::make_shared<WebMessageReceivedArgs>();
  args->source = FromEngineUri(std::string_view(posted).substr(0, end_of_source));
  args->json = std::move(json);
  Emit([this, args] {
    web_message_received.Raise(std::shared_ptr<WebMessageReceivedEventArgs>(args));
  });
}

// F12 and Ctrl+Shift+I, the keys that open the developer tools.
bool IsDevToolsKey(const GdkEventKey* event) {
  const guint mods = event->state & (GDK_CONTROL_MASK | GDK_SHIFT_MASK | GDK_MOD1_MASK);
  if (event->keyval == GDK_KEY_F12) return mods == 0;
  return (event->keyval == GDK_KEY_I || event->keyval == GDK_KEY_i) &&
         mods == (GDK_CONTROL_MASK | GDK_SHIFT_MASK);
}

gboolean ViewCore::Key(GdkEventKey* event) {
  if (closed_) return FALSE;
  const gboolean handled = AcceleratorKey(event);
  if (handled || event->type != GDK_KEY_PRESS || !IsDevToolsKey(event)) return handled;
  // As the engine does on Windows: the keys open the inspector whenever
  // developer tools are allowed, context menu or not.
  if (webkit_settings_get_enable_developer_extras(webkit_web_view_get_settings(view_)) == FALSE) {
    return FALSE;
  }
  webkit_web_inspector_show(webkit_web_view_get_inspector(view_));
  return TRUE;
}

gboolean ViewCore::AcceleratorKey(GdkEventKey* event) {
  if (accelerator_key_pressed.empty()) return FALSE;
  const std::uint32_t virtual_key = VirtualKey(event->keyval);
  if (virtual_key == 0) return FALSE;
  const bool control = (event->state & GDK_CONTROL_MASK) != 0;
  const bool alt = (event->state & GDK_MOD1_MASK) != 0;
  const gunichar character = gdk_keyval_to_unicode(event->keyval);
  const bool types_character = character >= 0x20 && character != 0x7F;
  if (!control && !alt && types_character) return FALSE;
  const bool press = event->type == GDK_KEY_PRESS;
  auto args = std::make_shared<AcceleratorKeyPressedArgs>();
  args->kind = alt ? (press ? KeyEventKind::kSystemKeyDown : KeyEventKind::kSystemKeyUp)
                   : (press ? KeyEventKind::kKeyDown : KeyEventKind::kKeyUp);
  args->virtual_key = virtual_key;
  // As Windows fills a key message's lParam: repeat count 1, scan code,
  // extended-key flag, context (Alt) flag, previous state and transition.
  std::uint32_t lparam =
      1u | ((static_cast<std::uint32_t>(event->hardware_keycode - 8) & 0xFFu) << 16);
  if (IsExtendedKey(virtual_key)) lparam |= 1u << 24;
  if (alt) lparam |= 1u << 29;
  if (!press) lparam |= (1u << 30) | (1u << 31);
  args->lparam = static_cast<std::int32_t>(lparam);
  accelerator_key_pressed.Raise(std::shared_ptr<AcceleratorKeyPressedEventArgs>(args));
  return args->handled ? TRUE : FALSE;
}

void ViewCore::ProcessTerminated() {
  Emit([this] {
    process_failed.Raise(
        std::shared_ptr<ProcessFailedEventArgs>(std::make_shared<ProcessFailedArgs>()));
  });
}

void ViewCore::Unresponsive() {
  if (closed_ || webkit_web_view_get_is_web_process_responsive(view_)) return;
  Emit([this] {
    auto args = std::make_shared<ProcessFailedArgs>();
    args->kind = ProcessFailedKind::kRenderProcessUnresponsive;
    process_failed.Raise(std::shared_ptr<ProcessFailedEventArgs>(args));
  });
}

void ViewCore::FullScreen(bool entered) {
  if (closed_) return;
  contains_full_screen_element = entered;
  Emit([this] { contains_full_screen_element_changed.Raise(); });
}

// --- the private scheme ------------------------------------------------------------

void FinishWith(WebKitURISchemeRequest* request, GInputStream* body, gint64 length, int status,
                const std::string& reason, const std::string& content_type,
                const std::vector<HttpHeader>& headers) {
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(body, length);
  webkit_uri_scheme_response_set_status(response, static_cast<guint>(status),
                                        reason.empty() ? nullptr : reason.c_str());
  if (!content_type.empty())
    webkit_uri_scheme_response_set_content_type(response, content_type.c_str());
  SoupMessageHeaders* soup_headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  for (const auto& [name, value] : headers) {
    if (!name.empty() && IsHeaderSafe(name) && IsHeaderSafe(value)) {
      soup_message_headers_append(soup_headers, name.c_str(), value.c_str());
    }
  }
  webkit_uri_scheme_response_set_http_headers(response, soup_headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
}

void FinishWithBytes(WebKitURISchemeRequest* request, std::string body, int status,
                     const std::string& reason, const std::string& content_type,
                     const std::vector<HttpHeader>& headers) {
  const auto length = static_cast<gint64>(body.size());
  GBytes* bytes = g_bytes_new(body.data(), body.size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  FinishWith(request, stream, length, status, reason, content_type, headers);
  g_object_unref(stream);
}

// A GInputStream over a seam stream. WebKit reads a body as it needs it, on
// a GIO worker thread, so a big body is never in memory whole and the UI
// thread does not wait for it.
struct SeamInputStream {
  GInputStream parent;
  std::shared_ptr<Stream>* stream;  // null once closed
};
struct SeamInputStreamClass {
  GInputStreamClass parent_class;
};
gpointer g_seam_input_stream_parent = nullptr;

gssize SeamRead(GInputStream* base, void* buffer, gsize count, GCancellable* cancellable,
                GError** error) {
  auto* self = reinterpret_cast<SeamInputStream*>(base);
  if (g_cancellable_set_error_if_cancelled(cancellable, error)) return -1;
  std::uint32_t read = 0;
  const auto want = static_cast<std::uint32_t>(std::min<gsize>(count, gsize{1} << 20));
  if (self->stream == nullptr || Failed((*self->stream)->Read(buffer, want, &read))) {
    // Damaged data found late: the load fails rather than ending short.
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, "The response body cannot be read");
    return -1;
  }
  return static_cast<gssize>(read);
}

gboolean SeamClose(GInputStream* base, GCancellable*, GError**) {
  auto* self = reinterpret_cast<SeamInputStream*>(base);
  delete self->stream;
  self->stream = nullptr;
  return TRUE;
}

void SeamFinalize(GObject* object) {
  SeamClose(G_INPUT_STREAM(object), nullptr, nullptr);
  G_OBJECT_CLASS(g_seam_input_stream_parent)->finalize(object);
}

GType SeamInputStreamType() {
  static gsize type = 0;
  if (g_once_init_enter(&type)) {
    const GType registered = g_type_register_static_simple(
        G_TYPE_INPUT_STREAM, "TesselSeamInputStream", sizeof(SeamInputStreamClass),
        [](gpointer klass, gpointer) {
          g_seam_input_stream_parent = g_type_class_peek_parent(klass);
          G_INPUT_STREAM_CLASS(klass)->read_fn = SeamRead;
          G_INPUT_STREAM_CLASS(klass)->close_fn = SeamClose;
          G_OBJECT_CLASS(klass)->finalize = SeamFinalize;
        },
        sizeof(SeamInputStream), nullptr, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type, registered);
  }
  return static_cast<GType>(type);
}

GInputStream* NewSeamInputStream(std::shared_ptr<Stream> stream) {
  auto* self = static_cast<SeamInputStream*>(g_object_new(SeamInputStreamType(), nullptr));
  self->stream = new std::shared_ptr<Stream>(std::move(stream));
  return G_INPUT_STREAM(self);
}

// What the engine does with a request nobody answered: the file at that
// absolute path, or a not-found page.
void ServeFromDisk(WebKitURISchemeRequest* request, const std::string& uri) {
  const auto path = FilePathOfUri(uri);
  if (path) {
    GFile* file = g_file_new_for_path(path->c_str());
    GFileInfo* info =
        g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_TYPE "," G_FILE_ATTRIBUTE_STANDARD_SIZE,
                          G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
    GFileInputStream* stream = nullptr;
    if (info != nullptr && g_file_info_get_file_type(info) == G_FILE_TYPE_REGULAR) {
      stream = g_file_read(file, nullptr, nullptr);
    }
    if (stream != nullptr) {
      gchar* guessed = g_content_type_guess(path->c_str(), nullptr, 0, nullptr);
      gchar* mime = guessed != nullptr ? g_content_type_get_mime_type(guessed) : nullptr;
      FinishWith(request, G_INPUT_STREAM(stream), g_file_info_get_size(info), 200, "OK", Str(mime),
                 {});
      g_free(mime);
      g_free(guessed);
      g_object_unref(stream);
      g_object_unref(info);
      g_object_unref(file);
      return;
    }
    if (info != nullptr) g_object_unref(info);
    g_object_unref(file);
  }
  gchar* escaped = g_markup_escape_text(path ? path->c_str() : uri.c_str(), -1);
  std::string page =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Not Found</title></head>"
      "<body><h1>Not Found</h1><p>The file <code>" +
      Str(escaped) + "</code> was not found.</p></body></html>";
  g_free(escaped);
  FinishWithBytes(request, std::move(page), 404, "Not Found", "text/html; charset=utf-8", {});
}

bool ViewCore::Serve(WebKitURISchemeRequest* request, const std::string& uri) {
  SoupMessageHeaders* soup_headers = webkit_uri_scheme_request_get_http_headers(request);
  std::vector<HttpHeader> headers;
  std::string accept;
  if (soup_headers != nullptr) {
    SoupMessageHeadersIter it;
    const char* name = nullptr;
    const char* value = nullptr;
    soup_message_headers_iter_init(&it, soup_headers);
    while (soup_message_headers_iter_next(&it, &name, &value)) {
      headers.emplace_back(Str(name), Str(value));
      if (g_ascii_strcasecmp(name, "Accept") == 0) accept = Str(value);
    }
  }
  const WebResourceContext context = GuessResourceContext(uri, accept);
  if (web_resource_requested.empty() || !FiltersMatch(filters, uri, context)) return false;

  std::shared_ptr<Stream> content;
  if (GInputStream* body = webkit_uri_scheme_request_get_http_body(request)) {
    std::string bytes;
    char buffer[16384];
    gssize read = 0;
    while ((read = g_input_stream_read(body, buffer, sizeof buffer, nullptr, nullptr)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(read));
    }
    g_object_unref(body);
    content = MakeMemoryStream(std::move(bytes));
  }
  auto args = std::make_shared<WebResourceRequestedArgs>();
  args->request = std::make_shared<BasicWebResourceRequest>(
      uri, Str(webkit_uri_scheme_request_get_http_method(request)), std::move(headers), content);
  args->context = context;
  web_resource_requested.Raise(std::shared_ptr<WebResourceRequestedEventArgs>(args));
  const auto response = args->response;
  if (!response) return false;

  std::shared_ptr<Stream> response_body;
  std::string body;
  response->get_Content(&response_body);
  // Small bodies are taken whole now; big ones are read as WebKit asks.
  constexpr std::uint64_t kStreamBodyFrom = std::uint64_t{1} << 20;
  std::uint64_t body_size = 0;
  const bool streamed =
      response_body && Succeeded(response_body->Seek(0, StreamSeek::kEnd, &body_size)) &&
      body_size >= kStreamBodyFrom && body_size <= static_cast<std::uint64_t>(G_MAXINT64) &&
      Succeeded(response_body->Seek(0, StreamSeek::kBegin, nullptr));
  if (!streamed && response_body && Failed(ReadWholeStream(response_body.get(), &body))) {
    body.clear();
  }
  int status = 200;
  response->get_StatusCode(&status);
  if (status < 100 || status > 999) status = 500;
  std::string reason;
  response->get_ReasonPhrase(&reason);
  std::vector<HttpHeader> response_headers;
  std::shared_ptr<HttpResponseHeaders> header_collection;
  if (Succeeded(response->get_Headers(&header_collection)) && header_collection) {
    header_collection->GetIterator(&response_headers);
  }
  std::string content_type;
  for (const auto& [name, value] : response_headers) {
    if (g_ascii_strcasecmp(name.c_str(), "Content-Type") == 0) {
      content_type = value.substr(0, value.find(';'));
      break;
    }
  }
  if (streamed) {
    GInputStream* stream = NewSeamInputStream(std::move(response_body));
    FinishWith(request, stream, static_cast<gint64>(body_size), status,
               IsHeaderSafe(reason) ? reason : std::string(), content_type, response_headers);
    g_object_unref(stream);
    return true;
  }
  FinishWithBytes(request, std::move(body), status, IsHeaderSafe(reason) ? reason : std::string(),
                  content_type, response_headers);
  return true;
}

// A request that names a document of another origin as its sender (by its
// Origin or Referer). The scheme being local keeps such pages out already;
// this keeps them out should an engine version let one through.
bool FromForeignDocument(WebKitURISchemeRequest* request) {
  SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
  if (headers == nullptr) return false;
  const std::string_view app_origin(kAppRoot, sizeof kAppRoot - 2);  // without the last '/'
  const char* origin = soup_message_headers_get_one(headers, "Origin");
  if (origin != nullptr && !EqualsIgnoreAsciiCase(origin, app_origin)) return true;
  const char* referer = soup_message_headers_get_one(headers, "Referer");
  return referer != nullptr && !StartsWithIgnoreAsciiCase(referer, kAppRoot);
}

void ServeRequest(WebKitURISchemeRequest* request, gpointer) {
  Safe([&] {
    if (FromForeignDocument(request)) {
      GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "Not allowed");
      webkit_uri_scheme_request_finish_error(request, error);
      g_error_free(error);
      return;
    }
    const std::string uri = FromEngineUri(Str(webkit_uri_scheme_request_get_uri(request)));
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
    auto* core = view != nullptr
                     ? static_cast<ViewCore*>(g_object_get_data(G_OBJECT(view), kCoreKey))
                     : nullptr;
    bool served = false;
    if (core != nullptr && !core->closed()) served = core->Serve(request, uri);
    if (!served) ServeFromDisk(request, uri);
  });
}

// --- downloads ---------------------------------------------------------------------

ViewCore* CoreOfDownload(WebKitDownload* download) {
  WebKitWebView* view = webkit_download_get_web_view(download);
  auto* core = view != nullptr ? static_cast<ViewCore*>(g_object_get_data(G_OBJECT(view), kCoreKey))
                               : nullptr;
  return core != nullptr && !core->closed() ? core : nullptr;
}

// WebKit would save a download into the downloads folder without asking; the
// host decides each one instead, and whatever it does not take is cancelled.
void DownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) {
  Safe([&] {
    if (CoreOfDownload(download) == nullptr) {
      webkit_download_cancel(download);
      return;
    }
    g_signal_connect(download, "decide-destination",
                     G_CALLBACK(+[](WebKitDownload* d, gchar* suggested, gpointer) -> gboolean {
                       ViewCore* core = CoreOfDownload(d);
                       if (core == nullptr) {
                         webkit_download_cancel(d);
                         return TRUE;
                       }
                       return core->DecideDestination(d, suggested);
                     }),
                     nullptr);
  });
}

gboolean ViewCore::DecideDestination(WebKitDownload* download, const gchar* suggested_name) {
  auto args = std::make_shared<DownloadStartingArgs>();
  Safe([&] {
    WebKitURIRequest* request = webkit_download_get_request(download);
    args->uri = FromEngineUri(Str(request != nullptr ? webkit_uri_request_get_uri(request) : ""));
    const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    gchar* path =
        g_build_filename(folder != nullptr ? folder : g_get_home_dir(),
                         suggested_name != nullptr ? suggested_name : "download", nullptr);
    args->result_file_path = Str(path);
    g_free(path);
    // Decided now: the host may ask the user, and WebKit waits for the answer.
    if (download_starting.empty()) {
      args->cancel = true;
    } else {
      download_starting.Raise(std::shared_ptr<DownloadStartingEventArgs>(args));
    }
  });
  gchar* destination = nullptr;
  if (!closed_ && !args->cancel && !args->result_file_path.empty()) {
    destination = g_filename_to_uri(args->result_file_path.c_str(), nullptr, nullptr);
  }
  if (destination == nullptr) {
    webkit_download_cancel(download);
    return TRUE;
  }
  // The user chose this path in a dialog that asked before replacing a file.
  webkit_download_set_allow_overwrite(download, TRUE);
  webkit_download_set_destination(download, destination);
  g_free(destination);
  return TRUE;
}

gboolean ViewCore::DecideResponse(WebKitResponsePolicyDecision* decision) {
  if (closed_) return FALSE;
  // What a frame cannot show would become a download; a frame inside the
  // page gets none (the top-level document's are the host's to decide).
  if (webkit_response_policy_decision_is_main_frame_main_resource(decision) ||
      webkit_response_policy_decision_is_mime_type_supported(decision)) {
    return FALSE;
  }
  webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
  return TRUE;
}

// --- the seam's objects ------------------------------------------------------------

class Settings : public EngineSettings {
 public:
  explicit Settings(std::shared_ptr<ViewCore> core) : core_(std::move(core)) {}

  HRESULT get_IsScriptEnabled(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_settings_get_enable_javascript_markup(WebKitSettingsOf()) != FALSE);
  }
  HRESULT put_IsScriptEnabled(bool v) override {
    if (core_->closed()) return kEInvalidState;
    webkit_settings_set_enable_javascript_markup(WebKitSettingsOf(), v ? TRUE : FALSE);
    return kSOk;
  }
  HRESULT get_AreDevToolsEnabled(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_settings_get_enable_developer_extras(WebKitSettingsOf()) != FALSE);
  }
  HRESULT put_AreDevToolsEnabled(bool v) override {
    if (core_->closed()) return kEInvalidState;
    webkit_settings_set_enable_developer_extras(WebKitSettingsOf(), v ? TRUE : FALSE);
    return kSOk;
  }
#define TESSEL_STORED_SETTING(Name, field)      \
  HRESULT get_##Name(bool* v) override {        \
    if (core_->closed()) return kEInvalidState; \
    return Out(v, core_->field);                \
  }                                             \
  HRESULT put_##Name(bool v) override {         \
    if (core_->closed()) return kEInvalidState; \
    core_->field = v;                           \
    return kSOk;                                \
  }
  TESSEL_STORED_SETTING(IsWebMessageEnabled, web_message_enabled)
  TESSEL_STORED_SETTING(AreDefaultScriptDialogsEnabled, default_script_dialogs_enabled)
  TESSEL_STORED_SETTING(IsStatusBarEnabled, status_bar_enabled)
  TESSEL_STORED_SETTING(AreDefaultContextMenusEnabled, default_context_menus_enabled)
  TESSEL_STORED_SETTING(IsZoomControlEnabled, zoom_control_enabled)
  TESSEL_STORED_SETTING(IsBuiltInErrorPageEnabled, built_in_error_page_enabled)
#undef TESSEL_STORED_SETTING

 private:
  WebKitSettings* WebKitSettingsOf() const { return webkit_web_view_get_settings(core_->view()); }
  std::shared_ptr<ViewCore> core_;
};

struct ScriptCall : PendingCall {
  explicit ScriptCall(ExecuteScriptCompletedHandler handler) : completed(std::move(handler)) {}
  void Abort() override {
    Safe([&] { completed(kEAbort, "null"); });
  }
  ExecuteScriptCompletedHandler completed;
};

// Takes the callback's data; null when the call was already completed.
template <typename Call>
std::shared_ptr<Call> Claim(gpointer data) {
  std::unique_ptr<std::shared_ptr<PendingCall>> owned(
      static_cast<std::shared_ptr<PendingCall>*>(data));
  if ((*owned)->done) return nullptr;
  (*owned)->done = true;
  return std::static_pointer_cast<Call>(*owned);
}

void ScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  HRESULT hr = kSOk;
  std::string json = "null";
  if (value == nullptr) {
    // A script that threw gives "null" as with WebView2; a closed view aborts.
    if (error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) hr = kEAbort;
    g_clear_error(&error);
  } else {
    gchar* text = jsc_value_to_json(value, 0);
    if (text != nullptr) json = text;
    g_free(text);
    g_object_unref(value);
  }
  if (auto call = Claim<ScriptCall>(data)) Safe([&] { call->completed(hr, json); });
}

struct CaptureCall : PendingCall {
  CaptureCall(CapturePreviewImageFormat image_format, std::shared_ptr<Stream> target,
              CapturePreviewCompletedHandler handler)
      : format(image_format), stream(std::move(target)), completed(std::move(handler)) {}
  void Abort() override {
    Safe([&] {
      if (completed) completed(kEAbort);
    });
  }
  CapturePreviewImageFormat format;
  std::shared_ptr<Stream> stream;
  CapturePreviewCompletedHandler completed;
};

cairo_status_t AppendPng(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

HRESULT Encode(cairo_surface_t* surface, CapturePreviewImageFormat format, std::string* bytes) {
  if (format == CapturePreviewImageFormat::kJpeg) {
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, width, height);
    if (pixbuf == nullptr) return kEFail;
    gchar* buffer = nullptr;
    gsize size = 0;
    const gboolean saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr,
                                                     "quality", "90", nullptr);
    g_object_unref(pixbuf);
    if (!saved) return kEFail;
    bytes->assign(buffer, size);
    g_free(buffer);
    return kSOk;
  }
  return cairo_surface_write_to_png_stream(surface, AppendPng, bytes) == CAIRO_STATUS_SUCCESS
             ? kSOk
             : kEFail;
}

void CaptureFinished(GObject* source, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  cairo_surface_t* surface =
      webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
  auto call = Claim<CaptureCall>(data);
  if (!call) {
    if (surface != nullptr) cairo_surface_destroy(surface);
    g_clear_error(&error);
    return;
  }
  HRESULT hr = kEFail;
  if (surface == nullptr) {
    if (error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) hr = kEAbort;
    g_clear_error(&error);
  } else {
    std::string bytes;
    hr = Encode(surface, call->format, &bytes);
    cairo_surface_destroy(surface);
    if (Succeeded(hr)) {
      if (bytes.size() > 0xFFFFFFFFu) {
        hr = kEOutOfMemory;
      } else {
        hr = call->stream->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), nullptr);
      }
    }
  }
  Safe([&] {
    if (call->completed) call->completed(hr);
  });
}

class WebView : public EngineWebView {
 public:
  explicit WebView(std::shared_ptr<ViewCore> core)
      : core_(std::move(core)), settings_(std::make_shared<Settings>(core_)) {}

  HRESULT get_Settings(std::shared_ptr<EngineSettings>* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, settings_);
  }
  HRESULT get_Source(std::string* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, core_->source);
  }
  HRESULT Navigate(const std::string& uri) override {
    if (core_->closed()) return kEInvalidState;
    if (g_uri_peek_scheme(uri.c_str()) == nullptr) return kEInvalidArg;
    ViewCore::Call call(*core_);
    webkit_web_view_load_uri(core_->view(), ToEngineUri(uri).c_str());
    return kSOk;
  }
  HRESULT NavigateToString(const std::string& html) override {
    if (core_->closed()) return kEInvalidState;
    ViewCore::Call call(*core_);
    webkit_web_view_load_html(core_->view(), html.c_str(), nullptr);
    return kSOk;
  }
  HRESULT Reload() override { return Simple(webkit_web_view_reload); }
  HRESULT Stop() override { return Simple(webkit_web_view_stop_loading); }
  HRESULT GoBack() override { return Simple(webkit_web_view_go_back); }
  HRESULT GoForward() override { return Simple(webkit_web_view_go_forward); }
  HRESULT get_CanGoBack(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_web_view_can_go_back(core_->view()) != FALSE);
  }
  HRESULT get_CanGoForward(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_web_view_can_go_forward(core_->view()) != FALSE);
  }
  HRESULT get_DocumentTitle(std::string* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, Str(webkit_web_view_get_title(core_->view())));
  }
  HRESULT get_BrowserProcessId(std::uint32_t* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, 0u);
  }
  HRESULT get_ContainsFullScreenElement(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, core_->contains_full_screen_element);
  }

  HRESULT AddScriptToExecuteOnDocumentCreated(const std::string& java_script,
                                              AddScriptCompletedHandler completed) override {
    if (core_->closed()) return kEInvalidState;
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(core_->view());
    WebKitUserScript* script =
        webkit_user_script_new(java_script.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    const std::string id = std::to_string(core_->next_script_id++);
    core_->scripts[id] = script;
    if (completed) PostToMain([completed = std::move(completed), id] { completed(kSOk, id); });
    return kSOk;
  }
  HRESULT RemoveScriptToExecuteOnDocumentCreated(const std::string& id) override {
    if (core_->closed()) return kEInvalidState;
    auto it = core_->scripts.find(id);
    if (it != core_->scripts.end()) {
      webkit_user_content_manager_remove_script(
          webkit_web_view_get_user_content_manager(core_->view()), it->second);
      webkit_user_script_unref(it->second);
      core_->scripts.erase(it);
    }
    return kSOk;
  }
  HRESULT ExecuteScript(const std::string& java_script,
                        ExecuteScriptCompletedHandler completed) override {
    if (core_->closed()) return kEInvalidState;
    auto* call = core_->Track(std::make_shared<ScriptCall>(
        completed ? std::move(completed)
                  : ExecuteScriptCompletedHandler([](HRESULT, const std::string&) {})));
    webkit_web_view_evaluate_javascript(core_->view(), java_script.c_str(),
                                        static_cast<gssize>(java_script.size()), nullptr, nullptr,
                                        core_->cancellable, ScriptFinished, call);
    return kSOk;
  }
  HRESULT PostWebMessageAsJson(const std::string& json) override {
    if (core_->closed()) return kEInvalidState;
    if (!IsJson(json)) return kEInvalidArg;
    if (!core_->web_message_enabled) return kEAccessDenied;
    // The JSON travels as a string literal and is parsed by the page, so it
    // is never evaluated as code.
    const std::string script =
        "window.chrome && window.chrome.webview && window.chrome.webview.__tesselDeliver(" +
        EncodeJsonString(json) + ");";
    webkit_web_view_evaluate_javascript(core_->view(), script.c_str(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    return kSOk;
  }
  HRESULT PostWebMessageAsString(const std::string& text) override {
    return PostWebMessageAsJson(EncodeJsonString(text));
  }
  HRESULT CapturePreview(CapturePreviewImageFormat format, std::shared_ptr<Stream> stream,
                         CapturePreviewCompletedHandler completed) override {
    if (core_->closed()) return kEInvalidState;
    if (!stream) return kEPointer;
    auto* call = core_->Track(
        std::make_shared<CaptureCall>(format, std::move(stream), std::move(completed)));
    webkit_web_view_get_snapshot(core_->view(), WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                 WEBKIT_SNAPSHOT_OPTIONS_NONE, core_->cancellable, CaptureFinished,
                                 call);
    return kSOk;
  }
  HRESULT AddWebResourceRequestedFilter(const std::string& uri,
                                        WebResourceContext context) override {
    if (core_->closed()) return kEInvalidState;
    core_->filters.push_back({uri, context});
    return kSOk;
  }
  HRESULT RemoveWebResourceRequestedFilter(const std::string& uri,
                                           WebResourceContext context) override {
    if (core_->closed()) return kEInvalidState;
    auto& filters = core_->filters;
    for (auto it = filters.begin(); it != filters.end(); ++it) {
      if (it->uri == uri && it->context == context) {
        filters.erase(it);
        return kSOk;
      }
    }
    return kEInvalidArg;
  }
  HRESULT GetDevToolsProtocolEventReceiver(
      const std::string&, std::shared_ptr<DevToolsProtocolEventReceiver>*) override {
    return core_->closed() ? kEInvalidState : kENotImpl;
  }
  HRESULT OpenDevToolsWindow() override {
    if (core_->closed()) return kEInvalidState;
    if (!webkit_settings_get_enable_developer_extras(webkit_web_view_get_settings(core_->view()))) {
      return kEAccessDenied;
    }
    webkit_web_inspector_show(webkit_web_view_get_inspector(core_->view()));
    return kSOk;
  }

#define TESSEL_WEBKIT_EVENT(Name, list, Handler)                          \
  HRESULT add_##Name(Handler h, EventRegistrationToken* token) override { \
    if (core_->closed()) return kEInvalidState;                           \
    return core_->list.Add(std::move(h), token);                          \
  }                                                                       \
  HRESULT remove_##Name(EventRegistrationToken token) override {          \
    if (core_->closed()) return kEInvalidState;                           \
    return core_->list.Remove(token);                                     \
  }
  TESSEL_WEBKIT_EVENT(NavigationStarting, navigation_starting, NavigationStartingEventHandler)
  TESSEL_WEBKIT_EVENT(NavigationCompleted, navigation_completed, NavigationCompletedEventHandler)
  TESSEL_WEBKIT_EVENT(SourceChanged, source_changed, SourceChangedEventHandler)
  TESSEL_WEBKIT_EVENT(HistoryChanged, history_changed, NotifyEventHandler)
  TESSEL_WEBKIT_EVENT(ContentLoading, content_loading, ContentLoadingEventHandler)
  TESSEL_WEBKIT_EVENT(DocumentTitleChanged, document_title_changed, NotifyEventHandler)
  TESSEL_WEBKIT_EVENT(NewWindowRequested, new_window_requested, NewWindowRequestedEventHandler)
  TESSEL_WEBKIT_EVENT(FrameNavigationStarting, frame_navigation_starting,
                      NavigationStartingEventHandler)
  TESSEL_WEBKIT_EVENT(FrameNavigationCompleted, frame_navigation_completed,
                      NavigationCompletedEventHandler)
  TESSEL_WEBKIT_EVENT(WebResourceRequested, web_resource_requested,
                      WebResourceRequestedEventHandler)
  TESSEL_WEBKIT_EVENT(ScriptDialogOpening, script_dialog_opening, ScriptDialogOpeningEventHandler)
  TESSEL_WEBKIT_EVENT(PermissionRequested, permission_requested, PermissionRequestedEventHandler)
  TESSEL_WEBKIT_EVENT(ProcessFailed, process_failed, ProcessFailedEventHandler)
  TESSEL_WEBKIT_EVENT(WebMessageReceived, web_message_received, WebMessageReceivedEventHandler)
  TESSEL_WEBKIT_EVENT(ContainsFullScreenElementChanged, contains_full_screen_element_changed,
                      NotifyEventHandler)
  TESSEL_WEBKIT_EVENT(WindowCloseRequested, window_close_requested, NotifyEventHandler)
  TESSEL_WEBKIT_EVENT(DownloadStarting, download_starting, DownloadStartingEventHandler)
#undef TESSEL_WEBKIT_EVENT

 private:
  HRESULT Simple(void (*operation)(WebKitWebView*)) {
    if (core_->closed()) return kEInvalidState;
    ViewCore::Call call(*core_);
    operation(core_->view());
    return kSOk;
  }

  std::shared_ptr<ViewCore> core_;
  std::shared_ptr<Settings> settings_;
};

class Controller : public EngineController {
 public:
  explicit Controller(std::shared_ptr<ViewCore> core)
      : core_(std::move(core)), web_view_(std::make_shared<WebView>(core_)) {}
  ~Controller() override { core_->Close(); }
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  HRESULT get_CoreWebView2(std::shared_ptr<EngineWebView>* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, web_view_);
  }
  HRESULT get_IsVisible(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, gtk_widget_get_visible(GTK_WIDGET(core_->view())) != FALSE);
  }
  HRESULT put_IsVisible(bool v) override {
    if (core_->closed()) return kEInvalidState;
    gtk_widget_set_visible(GTK_WIDGET(core_->view()), v ? TRUE : FALSE);
    return kSOk;
  }
  HRESULT get_Bounds(Rect* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, core_->bounds);
  }
  HRESULT put_Bounds(Rect bounds) override {
    if (core_->closed()) return kEInvalidState;
    if (bounds == core_->bounds) return kSOk;  // no relayout loop through size-allocate
    core_->bounds = bounds;
    GtkWidget* widget = GTK_WIDGET(core_->view());
    const int width = bounds.right > bounds.left ? bounds.right - bounds.left : 0;
    const int height = bounds.bottom > bounds.top ? bounds.bottom - bounds.top : 0;
    GtkWidget* parent = core_->parent();
    if (GTK_IS_LAYOUT(parent)) {
      gtk_layout_move(GTK_LAYOUT(parent), widget, bounds.left, bounds.top);
    } else if (GTK_IS_FIXED(parent)) {
      gtk_fixed_move(GTK_FIXED(parent), widget, bounds.left, bounds.top);
    }
    // An empty rectangle shows nothing.
    gtk_widget_set_child_visible(widget, width > 0 && height > 0);
    gtk_widget_set_size_request(widget, width, height);
    // The layout allocates its children at their requested size, but a new
    // request made while the layout itself is being allocated (the
    // component resizes from its size-allocate handler) would wait for a
    // relayout that never comes; so the view is allocated here as well.
    if (GTK_IS_LAYOUT(parent) && gtk_widget_get_realized(parent) && width > 0 && height > 0) {
      GtkRequisition ignored;
      gtk_widget_get_preferred_size(widget, &ignored, nullptr);
      GtkAllocation allocation{bounds.left, bounds.top, width, height};
      gtk_widget_size_allocate(widget, &allocation);
    }
    return kSOk;
  }
  HRESULT get_ZoomFactor(double* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_web_view_get_zoom_level(core_->view()));
  }
  HRESULT put_ZoomFactor(double v) override {
    if (core_->closed()) return kEInvalidState;
    if (!(v > 0.0)) return kEInvalidArg;
    webkit_web_view_set_zoom_level(core_->view(), v);
    return kSOk;
  }
  HRESULT MoveFocus(MoveFocusReason reason) override {
    if (core_->closed()) return kEInvalidState;
    GtkWidget* widget = GTK_WIDGET(core_->view());
    if (reason == MoveFocusReason::kNext || reason == MoveFocusReason::kPrevious) {
      gtk_widget_child_focus(
          widget, reason == MoveFocusReason::kNext ? GTK_DIR_TAB_FORWARD : GTK_DIR_TAB_BACKWARD);
    } else {
      gtk_widget_grab_focus(widget);
    }
    return kSOk;
  }
  HRESULT Close() override {
    core_->Close();
    return kSOk;
  }

#define TESSEL_WEBKIT_CONTROLLER_EVENT(Name, list, Handler)               \
  HRESULT add_##Name(Handler h, EventRegistrationToken* token) override { \
    if (core_->closed()) return kEInvalidState;                           \
    return core_->list.Add(std::move(h), token);                          \
  }                                                                       \
  HRESULT remove_##Name(EventRegistrationToken token) override {          \
    if (core_->closed()) return kEInvalidState;                           \
    return core_->list.Remove(token);                                     \
  }
  TESSEL_WEBKIT_CONTROLLER_EVENT(ZoomFactorChanged, zoom_factor_changed, NotifyEventHandler)
  TESSEL_WEBKIT_CONTROLLER_EVENT(MoveFocusRequested, move_focus_requested,
                                 MoveFocusRequestedEventHandler)
  TESSEL_WEBKIT_CONTROLLER_EVENT(GotFocus, got_focus, NotifyEventHandler)
  TESSEL_WEBKIT_CONTROLLER_EVENT(LostFocus, lost_focus, NotifyEventHandler)
  TESSEL_WEBKIT_CONTROLLER_EVENT(AcceleratorKeyPressed, accelerator_key_pressed,
                                 AcceleratorKeyPressedEventHandler)
#undef TESSEL_WEBKIT_CONTROLLER_EVENT

 private:
  std::shared_ptr<ViewCore> core_;
  std::shared_ptr<WebView> web_view_;
};

class Environment : public EngineEnvironment {
 public:
  Environment() : core_(std::make_shared<EnvironmentCore>()) {}

  HRESULT CreateCoreWebView2Controller(NativeWindowHandle parent_window,
                                       CreateControllerCompletedHandler completed) override {
    if (!completed) return kEPointer;
    if (parent_window == nullptr || !GTK_IS_CONTAINER(parent_window)) return kEInvalidArg;
    auto core = std::make_shared<ViewCore>(core_, GTK_WIDGET(parent_window));
    core->Open();
    auto controller = std::make_shared<Controller>(std::move(core));
    PostToMain([completed = std::move(completed), controller]() mutable {
      completed(kSOk, std::move(controller));
    });
    return kSOk;
  }
  HRESULT CreateWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                    const std::string& reason_phrase, const std::string& headers,
                                    std::shared_ptr<WebResourceResponse>* response) override {
    return MakeWebResourceResponse(std::move(content), status_code, reason_phrase, headers,
                                   response);
  }
  HRESULT get_BrowserVersionString(std::string* version) override {
    return Out(version, EngineVersion());
  }

 private:
  std::shared_ptr<EnvironmentCore> core_;
};

class Loader : public EngineLoader {
 public:
  HRESULT CreateCoreWebView2Environment(CreateEnvironmentCompletedHandler completed) override {
    if (!completed) return kEPointer;
    // WebKit objects belong to GTK's thread: made there, reported from there.
    PostToMain([completed = std::move(completed)] {
      if (gdk_display_get_default() == nullptr) {
        completed(kEFail, nullptr);  // GTK has no display
        return;
      }
      completed(kSOk, std::make_shared<Environment>());
    });
    return kSOk;
  }
  HRESULT GetCoreWebView2BrowserVersionString(std::string* version) override {
    return Out(version, EngineVersion());
  }
};

}  // namespace
}  // namespace tessel::platform::webkit

extern "C" __attribute__((visibility("default"))) int TesselEngineAbiVersion() {
  return tessel::platform::kEngineAbiVersion;
}

extern "C" __attribute__((visibility("default"))) void TesselEngineCreateLoader(
    std::shared_ptr<tessel::platform::EngineLoader>* loader) {
  if (loader != nullptr) *loader = std::make_shared<tessel::platform::webkit::Loader>();
}
