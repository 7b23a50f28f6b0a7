// The signal handlers that raise the seam's events: loads and navigations,
// the address, new windows, permissions, script dialogs, keys, the web
// process, full screen, focus and downloads.
#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/engine.h"
#include "platform/engine_basics.h"
#include "platform/gtk/engine_webkit_core.h"
#include "platform/gtk/engine_webkit_uri.h"

namespace tessel::platform::webkit {
namespace {

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

// F12 and Ctrl+Shift+I, the keys that open the developer tools.
bool IsDevToolsKey(const GdkEventKey* event) {
  const guint mods = event->state & (GDK_CONTROL_MASK | GDK_SHIFT_MASK | GDK_MOD1_MASK);
  if (event->keyval == GDK_KEY_F12) return mods == 0;
  return (event->keyval == GDK_KEY_I || event->keyval == GDK_KEY_i) &&
         mods == (GDK_CONTROL_MASK | GDK_SHIFT_MASK);
}

enum class ReloadKind { kNone, kReload, kBypassCache };

// The engine's reload keys on Windows: F5 and Ctrl+R, and with Ctrl on F5
// or Shift on R, a reload past the cache.
ReloadKind ReloadKeyOf(const GdkEventKey* event) {
  const guint mods = event->state & (GDK_CONTROL_MASK | GDK_SHIFT_MASK | GDK_MOD1_MASK);
  if (event->keyval == GDK_KEY_F5) {
    if (mods == 0) return ReloadKind::kReload;
    if (mods == GDK_CONTROL_MASK || mods == GDK_SHIFT_MASK) return ReloadKind::kBypassCache;
  }
  if (event->keyval == GDK_KEY_r || event->keyval == GDK_KEY_R) {
    if (mods == GDK_CONTROL_MASK) return ReloadKind::kReload;
    if (mods == (GDK_CONTROL_MASK | GDK_SHIFT_MASK)) return ReloadKind::kBypassCache;
  }
  return ReloadKind::kNone;
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
  std::uint64_t document_id = 0;
  HRESULT get_IsErrorPage(bool* v) override { return Out(v, error_page); }
  HRESULT get_NavigationId(std::uint64_t* v) override { return Out(v, navigation_id); }
  HRESULT get_DocumentId(std::uint64_t* v) override { return Out(v, document_id); }
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

ViewCore* CoreOfDownload(WebKitDownload* download) {
  WebKitWebView* view = webkit_download_get_web_view(download);
  auto* core = view != nullptr ? static_cast<ViewCore*>(g_object_get_data(G_OBJECT(view), kCoreKey))
                               : nullptr;
  return core != nullptr && !core->closed() ? core : nullptr;
}

// --- page dialogs -------------------------------------------------------------------

// WebKit titles its own dialogs "JavaScript - <address>", which shows the
// private scheme's address to the user. Ours carry the application's name,
// which the main window gives GLib (g_set_application_name), and otherwise
// answer as WebKit's do: modal to the window, the same buttons, OK (or Leave)
// confirms, a prompt's text only with OK. They run without a loop of their
// own: the page waits for webkit_script_dialog_close.
struct PageDialog {
  WebKitScriptDialog* script;  // our reference, given up when the dialog goes
  WebKitScriptDialogType type;
  GtkWidget* entry;  // prompt only
};

void PageDialogResponse(GtkDialog* dialog, gint response, gpointer data) {
  const auto* state = static_cast<PageDialog*>(data);
  const bool ok = response == GTK_RESPONSE_OK;
  if (state->type == WEBKIT_SCRIPT_DIALOG_CONFIRM ||
      state->type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
    webkit_script_dialog_confirm_set_confirmed(state->script, ok ? TRUE : FALSE);
  } else if (state->type == WEBKIT_SCRIPT_DIALOG_PROMPT && ok) {
    webkit_script_dialog_prompt_set_text(state->script,
                                         gtk_entry_get_text(GTK_ENTRY(state->entry)));
  }
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

// However the dialog goes (answered, or with its window), the page goes on.
void PageDialogDestroyed(GtkWidget* /*dialog*/, gpointer data) {
  const auto* state = static_cast<PageDialog*>(data);
  webkit_script_dialog_close(state->script);
  webkit_script_dialog_unref(state->script);
  delete state;
}

// False when there is no window to be modal to or no name to show: WebKit's
// own dialog then.
bool ShowPageDialog(WebKitWebView* view, WebKitScriptDialog* script) {
  const char* title = g_get_application_name();
  GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view));
  if (title == nullptr || !gtk_widget_is_toplevel(top) || !GTK_IS_WINDOW(top)) return false;
  const WebKitScriptDialogType type = webkit_script_dialog_get_dialog_type(script);
  GtkWidget* dialog = gtk_message_dialog_new(
      GTK_WINDOW(top),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      type == WEBKIT_SCRIPT_DIALOG_ALERT ? GTK_MESSAGE_INFO : GTK_MESSAGE_QUESTION,
      GTK_BUTTONS_NONE, "%s", webkit_script_dialog_get_message(script));
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  GtkDialog* buttons = GTK_DIALOG(dialog);
  switch (type) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
      gtk_dialog_add_button(buttons, "_Cancel", GTK_RESPONSE_CANCEL);
      gtk_dialog_add_button(buttons, "_OK", GTK_RESPONSE_OK);
      gtk_dialog_set_default_response(buttons, GTK_RESPONSE_OK);
      break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
      gtk_dialog_add_button(buttons, "_Stay on Page", GTK_RESPONSE_CANCEL);
      gtk_dialog_add_button(buttons, "_Leave Page", GTK_RESPONSE_OK);
      gtk_dialog_set_default_response(buttons, GTK_RESPONSE_OK);
      break;
    default:
      gtk_dialog_add_button(buttons, "_Close", GTK_RESPONSE_CLOSE);
      gtk_dialog_set_default_response(buttons, GTK_RESPONSE_CLOSE);
      break;
  }
  GtkWidget* entry = nullptr;
  if (type == WEBKIT_SCRIPT_DIALOG_PROMPT) {
    entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), webkit_script_dialog_prompt_get_default_text(script));
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_box_pack_end(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))),
                     entry, FALSE, FALSE, 0);
  }
  auto* state = new PageDialog{webkit_script_dialog_ref(script), type, entry};
  g_signal_connect(dialog, "response", G_CALLBACK(PageDialogResponse), state);
  g_signal_connect(dialog, "destroy", G_CALLBACK(PageDialogDestroyed), state);
  gtk_widget_show_all(dialog);
  return true;
}

}  // namespace

void ViewCore::ConnectSignals() {
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
  g_signal_connect(
      view_, "decide-policy",
      G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                     gpointer data) -> gboolean {
        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
          return CoreOf(data)->DecideNavigation(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        }
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
                     return CoreOf(data)->flags.default_context_menus_enabled ? FALSE : TRUE;
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
}

void ViewCore::ClearEvents() {
  WebViewEventLists::Clear();
  ControllerEventLists::Clear();
  download_starting.Clear();
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
      load_failed_ = false;
      failure_ = WebErrorStatus::kUnknown;
      // A history step was announced when it was decided, with its address.
      if (decided_navigation_id_ != 0) {
        navigation_id_ = std::exchange(decided_navigation_id_, 0);
        break;
      }
      navigation_id_ = ++last_navigation_id_;
      StartNavigation(false);
      break;
    case WEBKIT_LOAD_REDIRECTED:
      StartNavigation(true);
      break;
    case WEBKIT_LOAD_COMMITTED: {
      const std::string uri = FromEngineUri(Str(webkit_web_view_get_uri(view_)));
      const bool changed = uri != source;
      source = uri;
      DocumentCommitted();
      auto loading = std::make_shared<ContentLoadingArgs>();
      loading->error_page = load_failed_;
      loading->navigation_id = navigation_id_;
      loading->document_id = document_id_;
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
  return flags.built_in_error_page_enabled ? FALSE : TRUE;
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
  // WebKitGTK does not say which frame asks: the address stays empty.
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
  if (closed_) return FALSE;
  if (flags.default_script_dialogs_enabled) return ShowPageDialog(view_, dialog) ? TRUE : FALSE;
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

gboolean ViewCore::Key(GdkEventKey* event) {
  if (closed_) return FALSE;
  const gboolean handled = AcceleratorKey(event);
  if (handled || event->type != GDK_KEY_PRESS) return handled;
  // As the engine does on Windows when no handler kept the key.
  switch (ReloadKeyOf(event)) {
    case ReloadKind::kReload:
      webkit_web_view_reload(view_);
      return TRUE;
    case ReloadKind::kBypassCache:
      webkit_web_view_reload_bypass_cache(view_);
      return TRUE;
    case ReloadKind::kNone:
      break;
  }
  if (!IsDevToolsKey(event)) return FALSE;
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

// --- downloads ---------------------------------------------------------------------

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

gboolean ViewCore::DecideNavigation(WebKitNavigationPolicyDecision* decision) {
  // At its start WebKit still reports the address being left for a step
  // back or forward, so such a step is told here, where its own address is
  // known and it can still be refused. Our own GoBack and GoForward are the
  // host's and are told when they start, as other navigations are.
  if (closed_ || in_call_ > 0) return FALSE;
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(decision);
  if (action == nullptr ||
      webkit_navigation_action_get_navigation_type(action) != WEBKIT_NAVIGATION_TYPE_BACK_FORWARD) {
    return FALSE;
  }
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  auto args = std::make_shared<NavigationStartingArgs>();
  args->uri = FromEngineUri(Str(request != nullptr ? webkit_uri_request_get_uri(request) : ""));
  args->user_initiated = webkit_navigation_action_is_user_gesture(action) != FALSE;
  args->navigation_id = ++last_navigation_id_;
  Safe([&] { navigation_starting.Raise(std::shared_ptr<NavigationStartingEventArgs>(args)); });
  if (closed_ || args->cancel) {
    webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
    return TRUE;
  }
  decided_navigation_id_ = args->navigation_id;
  return FALSE;
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

}  // namespace tessel::platform::webkit
