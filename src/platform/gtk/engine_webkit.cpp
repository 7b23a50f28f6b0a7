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
#include <webkit2/webkit2.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/engine.h"
#include "platform/engine_basics.h"
#include "platform/gtk/engine_webkit_core.h"
#include "platform/gtk/engine_webkit_uri.h"

namespace tessel::platform::webkit {

namespace {

gboolean RunTask(gpointer data) {
  Safe([&] { (*static_cast<Task*>(data))(); });
  return G_SOURCE_REMOVE;
}

void FreeTask(gpointer data) { delete static_cast<Task*>(data); }

}  // namespace

void PostToMain(Task task) {
  g_idle_add_full(G_PRIORITY_DEFAULT, RunTask, new Task(std::move(task)), FreeTask);
}

EnvironmentCore::EnvironmentCore() {
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

void ViewCore::Open() {
  content_ = webkit_user_content_manager_new();
  OpenMessageChannel();

  WebKitSettings* settings = NewWebKitSettings();
  view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", environment_->context(),
                                       "user-content-manager", content_, "settings", settings,
                                       nullptr));
  g_object_unref(settings);
  g_object_ref_sink(view_);
  g_object_set_data(G_OBJECT(view_), kCoreKey, this);

  ConnectSignals();

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

namespace {

std::string EngineVersion() {
  return std::to_string(webkit_get_major_version()) + "." +
         std::to_string(webkit_get_minor_version()) + "." +
         std::to_string(webkit_get_micro_version());
}

// --- the seam's objects ------------------------------------------------------------

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

// The seam's add_X/remove_X over the view's own lists.
#define TESSEL_WEBKIT_EVENT(Name, field, Handler)                         \
  HRESULT add_##Name(Handler h, EventRegistrationToken* token) override { \
    if (core_->closed()) return kEInvalidState;                           \
    return core_->field.Add(std::move(h), token);                         \
  }                                                                       \
  HRESULT remove_##Name(EventRegistrationToken token) override {          \
    if (core_->closed()) return kEInvalidState;                           \
    return core_->field.Remove(token);                                    \
  }

class WebView : public EngineWebView {
 public:
  explicit WebView(std::shared_ptr<ViewCore> core)
      : core_(std::move(core)), settings_(MakeSettings(core_)) {}

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
    if (!core_->flags.web_message_enabled) return kEAccessDenied;
    DeliverWebMessage(core_->view(), json);
    return kSOk;
  }
  HRESULT PostWebMessageAsString(const std::string& text) override {
    return PostWebMessageAsJson(EncodeJsonString(text));
  }
  HRESULT PostWebMessageAsJsonToDocument(std::uint64_t document_id,
                                         const std::string& json) override {
    if (core_->closed()) return kEInvalidState;
    if (!IsJson(json)) return kEInvalidArg;
    if (!core_->flags.web_message_enabled) return kEAccessDenied;
    return core_->DeliverToDocument(document_id, json) ? kSOk : kSFalse;
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

  TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_WEBKIT_EVENT)
  TESSEL_WEBKIT_EVENT(DownloadStarting, download_starting, DownloadStartingEventHandler)

 private:
  HRESULT Simple(void (*operation)(WebKitWebView*)) {
    if (core_->closed()) return kEInvalidState;
    ViewCore::Call call(*core_);
    operation(core_->view());
    return kSOk;
  }

  std::shared_ptr<ViewCore> core_;
  std::shared_ptr<EngineSettings> settings_;
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

  TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_WEBKIT_EVENT)

 private:
  std::shared_ptr<ViewCore> core_;
  std::shared_ptr<WebView> web_view_;
};

#undef TESSEL_WEBKIT_EVENT

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