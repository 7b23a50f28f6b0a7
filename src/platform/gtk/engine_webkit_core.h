// What the files of the WebKitGTK engine module share: the main-loop
// helpers, the environment and one view's state. Private to the module.
// engine_webkit.cpp holds the seam's objects, engine_webkit_serving.cpp the
// private scheme, engine_webkit_messages.cpp the script message relay,
// engine_webkit_events.cpp the signal handlers that raise the seam's events,
// engine_webkit_settings.cpp the settings.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine.h"
#include "platform/engine_basics.h"

namespace tessel::platform::webkit {

inline constexpr char kMessageChannel[] = "tesselWebview";
// The isolated script world of the message channel and its relay.
inline constexpr char kBridgeWorld[] = "tessel-bridge";
inline constexpr char kCoreKey[] = "tessel-view-core";

template <typename Work>
void Safe(Work&& work) noexcept {
  try {
    work();
  } catch (...) {
    // Nothing may unwind into GLib.
  }
}

using Task = std::function<void()>;

// Runs `task` later on the main loop (GTK's UI thread). Any thread.
void PostToMain(Task task);

template <typename T, typename V>
HRESULT Out(T* out, V&& value) {
  if (out == nullptr) return kEPointer;
  *out = std::forward<V>(value);
  return kSOk;
}

inline std::string Str(const char* text) { return text != nullptr ? text : ""; }

// The private scheme's handler (engine_webkit_serving.cpp) and the context's
// download hook (engine_webkit_events.cpp).
void ServeRequest(WebKitURISchemeRequest* request, gpointer);
void DownloadStarted(WebKitWebContext* context, WebKitDownload* download, gpointer);

// --- the environment: one web context with the private scheme -------------------

class EnvironmentCore {
 public:
  EnvironmentCore();
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

// The events are its fields (WebViewEventLists, ControllerEventLists).
class ViewCore : public WebViewEventLists,
                 public ControllerEventLists,
                 public std::enable_shared_from_this<ViewCore> {
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

  // The settings WebKit does not keep (script_enabled and dev_tools_enabled
  // are WebKit's own and unused here).
  EngineFlags flags;

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

  EventList<DownloadStartingEventHandler> download_starting;

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

  // A new top-level document committed: it gets the next id and a key of
  // its own, handed to its relay.
  void DocumentCommitted();
  std::uint64_t document_id() const { return document_id_; }
  // The id of the document that holds `key`, among the last few.
  std::optional<std::uint64_t> DocumentOfKey(const std::string& key) const;
  // Hands `json` to the page's "message" listeners if the top-level document
  // is still `document_id`; false when it is not.
  bool DeliverToDocument(std::uint64_t document_id, const std::string& json);
  bool Serve(WebKitURISchemeRequest* request, const std::string& uri);
  gboolean DecideDestination(WebKitDownload* download, const gchar* suggested_name);
  gboolean DecideResponse(WebKitResponsePolicyDecision* decision);
  gboolean DecideNavigation(WebKitNavigationPolicyDecision* decision);

 private:
  void OpenMessageChannel();
  void ConnectSignals();
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
  std::uint64_t decided_navigation_id_ = 0;
  std::uint64_t document_id_ = 0;
  std::uint64_t last_document_id_ = 0;
  std::string document_key_;
  std::vector<std::pair<std::string, std::uint64_t>> recent_keys_;
  std::uint64_t last_navigation_id_ = 0;
  bool load_failed_ = false;
  WebErrorStatus failure_ = WebErrorStatus::kUnknown;
};

inline ViewCore* CoreOf(gpointer data) { return static_cast<ViewCore*>(data); }

// The settings every new view starts from (engine_webkit_settings.cpp).
WebKitSettings* NewWebKitSettings();
std::shared_ptr<EngineSettings> MakeSettings(std::shared_ptr<ViewCore> core);

// Hands `json` to the page's "message" listeners (engine_webkit_messages.cpp).
void DeliverWebMessage(WebKitWebView* view, const std::string& json);

}  // namespace tessel::platform::webkit
