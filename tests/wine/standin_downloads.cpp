// The stand-in engine's downloads, and the newer view interfaces that carry
// them, kept as the engine keeps them:
// - DownloadStarting is raised from the message loop, with the page's
//   address and a default path in the default folder (TESSEL_STANDIN_DOWNLOADS,
//   else "tessel-standin-downloads" in the temp folder);
// - Cancel saves nothing; otherwise the file is written once the event and
//   every deferral taken on it are complete, at ResultFilePath (its folder
//   made when missing); without Handled the engine's own prompt shows
//   ("download-prompt" in the log);
// - the engine runs no nested message loop inside an event: one run by a
//   handler is a fault, as are writes to the arguments after the event and a
//   deferral let go without Complete;
// - TESSEL_STANDIN_OLDER_ENGINE set: an engine that predates these
//   interfaces, whose QueryInterface refuses them and which keeps its own
//   download handling.
// The view's newer interfaces are a tear-off of the view: ICoreWebView2's
// methods go to the view itself, identity (IUnknown) is the view's.
#include "standin_downloads.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/win32/wide_text.h"
#include "standin_support.h"

namespace tessel::standin {
namespace {

namespace wv = webview2;
using platform::Utf8FromWide;
using platform::WideFromUtf8;

const ::HRESULT kInvalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
constexpr ::HRESULT kLateWrite = static_cast<::HRESULT>(0x8000000EL);  // E_ILLEGAL_METHOD_CALL

bool OlderEngine() {
  return GetEnvironmentVariableW(L"TESSEL_STANDIN_OLDER_ENGINE", nullptr, 0) != 0;
}

std::wstring EnvironmentText(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size <= 1) return {};
  std::wstring value(size, L'\0');
  const DWORD written = GetEnvironmentVariableW(name, value.data(), size);
  value.resize(written < size ? written : 0);
  return value;
}

std::filesystem::path DefaultFolder() {
  const std::wstring chosen = EnvironmentText(L"TESSEL_STANDIN_DOWNLOADS");
  if (!chosen.empty()) return chosen;
  wchar_t temp[MAX_PATH + 1];
  const DWORD size = GetTempPathW(MAX_PATH + 1, temp);
  return std::filesystem::path(std::wstring(temp, size <= MAX_PATH ? size : 0)) /
         L"tessel-standin-downloads";
}

// One view's DownloadStarting subscribers; closed with the view.
struct Events {
  bool closed = false;
  Handlers<wv::ICoreWebView2DownloadStartingEventHandler> download_starting;
};

std::map<const void*, std::shared_ptr<Events>>& AllEvents() {
  static auto* events = new std::map<const void*, std::shared_ptr<Events>>;
  return *events;
}

std::shared_ptr<Events> EventsOf(const void* core) {
  auto& slot = AllEvents()[core];
  if (!slot) slot = std::make_shared<Events>();
  return slot;
}

// Handlers still running DownloadStarting: a task the loop runs meanwhile
// means a handler ran a message loop of its own inside the event.
int g_raising = 0;

class Operation final : public Object<wv::ICoreWebView2DownloadOperation> {
 public:
  Operation(std::wstring uri, std::wstring name)
      : Object("DownloadOperation"), uri_(std::move(uri)), name_(std::move(name)) {}
  const std::wstring& uri() const { return uri_; }

  void Settle(wv::COREWEBVIEW2_DOWNLOAD_STATE state,
              wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON reason, std::wstring path, INT64 bytes) {
    state_ = state;
    reason_ = reason;
    path_ = std::move(path);
    bytes_ = bytes;
    total_ = bytes;
    state_changed_.Raise(static_cast<wv::ICoreWebView2DownloadOperation*>(this),
                         static_cast<IUnknown*>(nullptr));
    // Nothing more happens to a settled download.
    state_changed_.Clear();
    bytes_changed_.Clear();
    end_time_changed_.Clear();
  }

  ::HRESULT STDMETHODCALLTYPE
  add_BytesReceivedChanged(wv::ICoreWebView2BytesReceivedChangedEventHandler* handler,
                           ::EventRegistrationToken* token) override {
    STANDIN_ON_OWNER_THREAD();
    return bytes_changed_.Add(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_BytesReceivedChanged(::EventRegistrationToken token) override {
    STANDIN_ON_OWNER_THREAD();
    bytes_changed_.Remove(token);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE
  add_EstimatedEndTimeChanged(wv::ICoreWebView2EstimatedEndTimeChangedEventHandler* handler,
                              ::EventRegistrationToken* token) override {
    STANDIN_ON_OWNER_THREAD();
    return end_time_changed_.Add(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_EstimatedEndTimeChanged(::EventRegistrationToken token) override {
    STANDIN_ON_OWNER_THREAD();
    end_time_changed_.Remove(token);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE add_StateChanged(wv::ICoreWebView2StateChangedEventHandler* handler,
                                               ::EventRegistrationToken* token) override {
    STANDIN_ON_OWNER_THREAD();
    return state_changed_.Add(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_StateChanged(::EventRegistrationToken token) override {
    STANDIN_ON_OWNER_THREAD();
    state_changed_.Remove(token);
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(uri_, uri);
  }
  ::HRESULT STDMETHODCALLTYPE get_ContentDisposition(LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(L"attachment; filename=\"" + name_ + L"\"", value);
  }
  ::HRESULT STDMETHODCALLTYPE get_MimeType(LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(L"application/octet-stream", value);
  }
  ::HRESULT STDMETHODCALLTYPE get_TotalBytesToReceive(INT64* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(total_, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_BytesReceived(INT64* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(bytes_, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_EstimatedEndTime(LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(L"1970-01-01T00:00:00Z", value);
  }
  ::HRESULT STDMETHODCALLTYPE get_ResultFilePath(LPWSTR* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(path_, value);
  }
  ::HRESULT STDMETHODCALLTYPE get_State(wv::COREWEBVIEW2_DOWNLOAD_STATE* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(state_, value);
  }
  ::HRESULT STDMETHODCALLTYPE
  get_InterruptReason(wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(reason_, value);
  }
  // The download completes at once once decided, so only a download still
  // being decided has anything to stop.
  ::HRESULT STDMETHODCALLTYPE Cancel() override {
    STANDIN_ON_OWNER_THREAD();
    if (state_ == wv::COREWEBVIEW2_DOWNLOAD_STATE_IN_PROGRESS) cancelled_ = true;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE Pause() override {
    STANDIN_ON_OWNER_THREAD();
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE Resume() override {
    STANDIN_ON_OWNER_THREAD();
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_CanResume(BOOL* value) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue<BOOL>(FALSE, value);
  }
  bool cancelled() const { return cancelled_; }

 private:
  std::wstring uri_;
  std::wstring name_;
  std::wstring path_;
  wv::COREWEBVIEW2_DOWNLOAD_STATE state_ = wv::COREWEBVIEW2_DOWNLOAD_STATE_IN_PROGRESS;
  wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON reason_ =
      wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON_NONE;
  INT64 bytes_ = 0;
  INT64 total_ = -1;
  bool cancelled_ = false;
  Handlers<wv::ICoreWebView2BytesReceivedChangedEventHandler> bytes_changed_;
  Handlers<wv::ICoreWebView2EstimatedEndTimeChangedEventHandler> end_time_changed_;
  Handlers<wv::ICoreWebView2StateChangedEventHandler> state_changed_;
};

class DownloadDeferral final : public Object<wv::ICoreWebView2Deferral> {
 public:
  explicit DownloadDeferral(std::function<void()> resume)
      : Object("Deferral"), resume_(std::move(resume)) {}
  ~DownloadDeferral() override {
    if (resume_) Fault("a download's deferral was released without Complete");
  }
  ::HRESULT STDMETHODCALLTYPE Complete() override {
    STANDIN_ON_OWNER_THREAD();
    if (!resume_) return kInvalidState;
    Post(std::exchange(resume_, nullptr));
    return S_OK;
  }

 private:
  std::function<void()> resume_;
};

class StartingArgs final : public Object<wv::ICoreWebView2DownloadStartingEventArgs> {
 public:
  StartingArgs(Ref<Operation> operation, std::wstring path)
      : Object("DownloadStartingEventArgs"),
        operation_(std::move(operation)),
        path_(std::move(path)) {}
  Operation* operation() const { return operation_.Get(); }
  bool cancel() const { return cancel_ != FALSE; }
  bool handled() const { return handled_ != FALSE; }
  const std::wstring& path() const { return path_; }
  int taken = 0;
  bool sealed = false;
  std::function<void()> resume;

  ::HRESULT STDMETHODCALLTYPE
  get_DownloadOperation(wv::ICoreWebView2DownloadOperation** operation) override {
    STANDIN_ON_OWNER_THREAD();
    if (operation == nullptr) return E_POINTER;
    *operation = Ref<wv::ICoreWebView2DownloadOperation>::Borrow(operation_.Get()).Detach();
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(cancel_, cancel);
  }
  ::HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {
    STANDIN_ON_OWNER_THREAD();
    if (!Writable("a download's Cancel")) return kLateWrite;
    cancel_ = cancel;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_ResultFilePath(LPWSTR* path) override {
    STANDIN_ON_OWNER_THREAD();
    return OutString(path_, path);
  }
  ::HRESULT STDMETHODCALLTYPE put_ResultFilePath(LPCWSTR path) override {
    STANDIN_ON_OWNER_THREAD();
    if (path == nullptr) return E_POINTER;
    if (!Writable("a download's ResultFilePath")) return kLateWrite;
    path_ = path;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) override {
    STANDIN_ON_OWNER_THREAD();
    return OutValue(handled_, handled);
  }
  ::HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
    STANDIN_ON_OWNER_THREAD();
    if (!Writable("a download's Handled")) return kLateWrite;
    handled_ = handled;
    return S_OK;
  }
  ::HRESULT STDMETHODCALLTYPE GetDeferral(wv::ICoreWebView2Deferral** deferral) override {
    STANDIN_ON_OWNER_THREAD();
    if (deferral == nullptr) return E_POINTER;
    if (!Writable("a download's deferral")) return kLateWrite;
    ++taken;
    auto self = Ref<StartingArgs>::Borrow(this);
    *deferral = new DownloadDeferral([self] {
      if (--self->taken == 0 && self->resume) {
        self->sealed = true;
        std::exchange(self->resume, nullptr)();
      }
    });
    return S_OK;
  }

 private:
  bool Writable(const char* what) const {
    if (!sealed || taken > 0) return true;
    Fault(std::string(what) + " written after its event");
    return false;
  }

  Ref<Operation> operation_;
  std::wstring path_;
  BOOL cancel_ = FALSE;
  BOOL handled_ = FALSE;
};

// What the engine does once the download is decided: nothing when cancelled,
// else the file written where the path says.
void Finish(const Ref<StartingArgs>& args) {
  Operation* operation = args->operation();
  const std::string uri = Utf8FromWide(operation->uri());
  if (args->cancel() || operation->cancelled()) {
    Log("download-cancelled " + uri);
    operation->Settle(wv::COREWEBVIEW2_DOWNLOAD_STATE_INTERRUPTED,
                      wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON_USER_CANCELED, {}, 0);
    return;
  }
  // The engine's own prompt, which the runtime would have hidden with Handled.
  if (!args->handled()) Log("download-prompt " + uri);
  const std::filesystem::path path(args->path());
  if (!path.is_absolute() || !path.has_filename()) {
    Log("download-failed " + uri + " path=" + Utf8FromWide(args->path()));
    operation->Settle(wv::COREWEBVIEW2_DOWNLOAD_STATE_INTERRUPTED,
                      wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON_FILE_FAILED, args->path(), 0);
    return;
  }
  const std::string body = "stand-in download of " + uri + "\n";
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << body;
  out.close();
  if (!out) {
    Log("download-failed " + uri + " path=" + Utf8FromWide(args->path()));
    operation->Settle(wv::COREWEBVIEW2_DOWNLOAD_STATE_INTERRUPTED,
                      wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON_FILE_FAILED, args->path(), 0);
    return;
  }
  Log("download-saved " + uri + " path=" + Utf8FromWide(args->path()) +
      " handled=" + (args->handled() ? "1" : "0"));
  operation->Settle(wv::COREWEBVIEW2_DOWNLOAD_STATE_COMPLETED,
                    wv::COREWEBVIEW2_DOWNLOAD_INTERRUPT_REASON_NONE, args->path(),
                    static_cast<INT64>(body.size()));
}

// ICoreWebView2_4 as a tear-off of the view.
class NewerView final : public Object<wv::ICoreWebView2_4> {
 public:
  NewerView(Ref<wv::ICoreWebView2> view, std::shared_ptr<Events> events)
      : Object("CoreWebView2_4"), view_(std::move(view)), events_(std::move(events)) {}

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    STANDIN_ON_OWNER_THREAD();
    if (object == nullptr) return E_POINTER;
    if (IsNewerViewInterface(iid)) {
      *object = static_cast<wv::ICoreWebView2_4*>(this);
      AddRef();
      return S_OK;
    }
    return view_->QueryInterface(iid, object);
  }

  // ICoreWebView2: the view's own.
  ::HRESULT STDMETHODCALLTYPE get_Settings(wv::ICoreWebView2Settings** settings) override {
    return view_->get_Settings(settings);
  }
  ::HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override { return view_->get_Source(uri); }
  ::HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override { return view_->Navigate(uri); }
  ::HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR htmlContent) override {
    return view_->NavigateToString(htmlContent);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_NavigationStarting(wv::ICoreWebView2NavigationStartingEventHandler* eventHandler,
                         ::EventRegistrationToken* token) override {
    return view_->add_NavigationStarting(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_NavigationStarting(::EventRegistrationToken token) override {
    return view_->remove_NavigationStarting(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_ContentLoading(wv::ICoreWebView2ContentLoadingEventHandler* eventHandler,
                     ::EventRegistrationToken* token) override {
    return view_->add_ContentLoading(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_ContentLoading(::EventRegistrationToken token) override {
    return view_->remove_ContentLoading(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_SourceChanged(wv::ICoreWebView2SourceChangedEventHandler* eventHandler,
                    ::EventRegistrationToken* token) override {
    return view_->add_SourceChanged(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_SourceChanged(::EventRegistrationToken token) override {
    return view_->remove_SourceChanged(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_HistoryChanged(wv::ICoreWebView2HistoryChangedEventHandler* eventHandler,
                     ::EventRegistrationToken* token) override {
    return view_->add_HistoryChanged(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_HistoryChanged(::EventRegistrationToken token) override {
    return view_->remove_HistoryChanged(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_NavigationCompleted(wv::ICoreWebView2NavigationCompletedEventHandler* eventHandler,
                          ::EventRegistrationToken* token) override {
    return view_->add_NavigationCompleted(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_NavigationCompleted(::EventRegistrationToken token) override {
    return view_->remove_NavigationCompleted(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_FrameNavigationStarting(wv::ICoreWebView2NavigationStartingEventHandler* eventHandler,
                              ::EventRegistrationToken* token) override {
    return view_->add_FrameNavigationStarting(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_FrameNavigationStarting(::EventRegistrationToken token) override {
    return view_->remove_FrameNavigationStarting(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_FrameNavigationCompleted(wv::ICoreWebView2NavigationCompletedEventHandler* eventHandler,
                               ::EventRegistrationToken* token) override {
    return view_->add_FrameNavigationCompleted(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_FrameNavigationCompleted(::EventRegistrationToken token) override {
    return view_->remove_FrameNavigationCompleted(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_ScriptDialogOpening(wv::ICoreWebView2ScriptDialogOpeningEventHandler* eventHandler,
                          ::EventRegistrationToken* token) override {
    return view_->add_ScriptDialogOpening(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_ScriptDialogOpening(::EventRegistrationToken token) override {
    return view_->remove_ScriptDialogOpening(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_PermissionRequested(wv::ICoreWebView2PermissionRequestedEventHandler* eventHandler,
                          ::EventRegistrationToken* token) override {
    return view_->add_PermissionRequested(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_PermissionRequested(::EventRegistrationToken token) override {
    return view_->remove_PermissionRequested(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_ProcessFailed(wv::ICoreWebView2ProcessFailedEventHandler* eventHandler,
                    ::EventRegistrationToken* token) override {
    return view_->add_ProcessFailed(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_ProcessFailed(::EventRegistrationToken token) override {
    return view_->remove_ProcessFailed(token);
  }
  ::HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
      LPCWSTR javaScript,
      wv::ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) override {
    return view_->AddScriptToExecuteOnDocumentCreated(javaScript, handler);
  }
  ::HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR id) override {
    return view_->RemoveScriptToExecuteOnDocumentCreated(id);
  }
  ::HRESULT STDMETHODCALLTYPE ExecuteScript(
      LPCWSTR javaScript, wv::ICoreWebView2ExecuteScriptCompletedHandler* handler) override {
    return view_->ExecuteScript(javaScript, handler);
  }
  ::HRESULT STDMETHODCALLTYPE
  CapturePreview(wv::COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT imageFormat, IStream* imageStream,
                 wv::ICoreWebView2CapturePreviewCompletedHandler* handler) override {
    return view_->CapturePreview(imageFormat, imageStream, handler);
  }
  ::HRESULT STDMETHODCALLTYPE Reload() override { return view_->Reload(); }
  ::HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR webMessageAsJson) override {
    return view_->PostWebMessageAsJson(webMessageAsJson);
  }
  ::HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR webMessageAsString) override {
    return view_->PostWebMessageAsString(webMessageAsString);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_WebMessageReceived(wv::ICoreWebView2WebMessageReceivedEventHandler* handler,
                         ::EventRegistrationToken* token) override {
    return view_->add_WebMessageReceived(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_WebMessageReceived(::EventRegistrationToken token) override {
    return view_->remove_WebMessageReceived(token);
  }
  ::HRESULT STDMETHODCALLTYPE CallDevToolsProtocolMethod(
      LPCWSTR methodName, LPCWSTR parametersAsJson,
      wv::ICoreWebView2CallDevToolsProtocolMethodCompletedHandler* handler) override {
    return view_->CallDevToolsProtocolMethod(methodName, parametersAsJson, handler);
  }
  ::HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32* value) override {
    return view_->get_BrowserProcessId(value);
  }
  ::HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL* canGoBack) override {
    return view_->get_CanGoBack(canGoBack);
  }
  ::HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL* canGoForward) override {
    return view_->get_CanGoForward(canGoForward);
  }
  ::HRESULT STDMETHODCALLTYPE GoBack() override { return view_->GoBack(); }
  ::HRESULT STDMETHODCALLTYPE GoForward() override { return view_->GoForward(); }
  ::HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(
      LPCWSTR eventName, wv::ICoreWebView2DevToolsProtocolEventReceiver** receiver) override {
    return view_->GetDevToolsProtocolEventReceiver(eventName, receiver);
  }
  ::HRESULT STDMETHODCALLTYPE Stop() override { return view_->Stop(); }
  ::HRESULT STDMETHODCALLTYPE
  add_NewWindowRequested(wv::ICoreWebView2NewWindowRequestedEventHandler* eventHandler,
                         ::EventRegistrationToken* token) override {
    return view_->add_NewWindowRequested(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_NewWindowRequested(::EventRegistrationToken token) override {
    return view_->remove_NewWindowRequested(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_DocumentTitleChanged(wv::ICoreWebView2DocumentTitleChangedEventHandler* eventHandler,
                           ::EventRegistrationToken* token) override {
    return view_->add_DocumentTitleChanged(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_DocumentTitleChanged(::EventRegistrationToken token) override {
    return view_->remove_DocumentTitleChanged(token);
  }
  ::HRESULT STDMETHODCALLTYPE get_DocumentTitle(LPWSTR* title) override {
    return view_->get_DocumentTitle(title);
  }
  ::HRESULT STDMETHODCALLTYPE AddHostObjectToScript(LPCWSTR name, VARIANT* object) override {
    return view_->AddHostObjectToScript(name, object);
  }
  ::HRESULT STDMETHODCALLTYPE RemoveHostObjectFromScript(LPCWSTR name) override {
    return view_->RemoveHostObjectFromScript(name);
  }
  ::HRESULT STDMETHODCALLTYPE OpenDevToolsWindow() override { return view_->OpenDevToolsWindow(); }
  ::HRESULT STDMETHODCALLTYPE add_ContainsFullScreenElementChanged(
      wv::ICoreWebView2ContainsFullScreenElementChangedEventHandler* eventHandler,
      ::EventRegistrationToken* token) override {
    return view_->add_ContainsFullScreenElementChanged(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_ContainsFullScreenElementChanged(::EventRegistrationToken token) override {
    return view_->remove_ContainsFullScreenElementChanged(token);
  }
  ::HRESULT STDMETHODCALLTYPE
  get_ContainsFullScreenElement(BOOL* containsFullScreenElement) override {
    return view_->get_ContainsFullScreenElement(containsFullScreenElement);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_WebResourceRequested(wv::ICoreWebView2WebResourceRequestedEventHandler* eventHandler,
                           ::EventRegistrationToken* token) override {
    return view_->add_WebResourceRequested(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_WebResourceRequested(::EventRegistrationToken token) override {
    return view_->remove_WebResourceRequested(token);
  }
  ::HRESULT STDMETHODCALLTYPE AddWebResourceRequestedFilter(
      LPCWSTR uri, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT resourceContext) override {
    return view_->AddWebResourceRequestedFilter(uri, resourceContext);
  }
  ::HRESULT STDMETHODCALLTYPE RemoveWebResourceRequestedFilter(
      LPCWSTR uri, wv::COREWEBVIEW2_WEB_RESOURCE_CONTEXT resourceContext) override {
    return view_->RemoveWebResourceRequestedFilter(uri, resourceContext);
  }
  ::HRESULT STDMETHODCALLTYPE
  add_WindowCloseRequested(wv::ICoreWebView2WindowCloseRequestedEventHandler* eventHandler,
                           ::EventRegistrationToken* token) override {
    return view_->add_WindowCloseRequested(eventHandler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_WindowCloseRequested(::EventRegistrationToken token) override {
    return view_->remove_WindowCloseRequested(token);
  }
  // ICoreWebView2_2 and _3: not modelled; the runtime uses none of them.
  ::HRESULT STDMETHODCALLTYPE
  add_WebResourceResponseReceived(wv::ICoreWebView2WebResourceResponseReceivedEventHandler*,
                                  ::EventRegistrationToken*) override {
    return Unmodelled("add_WebResourceResponseReceived");
  }
  ::HRESULT STDMETHODCALLTYPE
  remove_WebResourceResponseReceived(::EventRegistrationToken) override {
    return Unmodelled("remove_WebResourceResponseReceived");
  }
  ::HRESULT STDMETHODCALLTYPE
  NavigateWithWebResourceRequest(wv::ICoreWebView2WebResourceRequest*) override {
    return Unmodelled("NavigateWithWebResourceRequest");
  }
  ::HRESULT STDMETHODCALLTYPE add_DOMContentLoaded(wv::ICoreWebView2DOMContentLoadedEventHandler*,
                                                   ::EventRegistrationToken*) override {
    return Unmodelled("add_DOMContentLoaded");
  }
  ::HRESULT STDMETHODCALLTYPE remove_DOMContentLoaded(::EventRegistrationToken) override {
    return Unmodelled("remove_DOMContentLoaded");
  }
  ::HRESULT STDMETHODCALLTYPE get_CookieManager(wv::ICoreWebView2CookieManager**) override {
    return Unmodelled("get_CookieManager");
  }
  ::HRESULT STDMETHODCALLTYPE get_Environment(wv::ICoreWebView2Environment**) override {
    return Unmodelled("get_Environment");
  }
  ::HRESULT STDMETHODCALLTYPE TrySuspend(wv::ICoreWebView2TrySuspendCompletedHandler*) override {
    return Unmodelled("TrySuspend");
  }
  ::HRESULT STDMETHODCALLTYPE Resume() override { return Unmodelled("Resume"); }
  ::HRESULT STDMETHODCALLTYPE get_IsSuspended(BOOL*) override {
    return Unmodelled("get_IsSuspended");
  }
  ::HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(
      LPCWSTR, LPCWSTR, wv::COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND) override {
    return Unmodelled("SetVirtualHostNameToFolderMapping");
  }
  ::HRESULT STDMETHODCALLTYPE ClearVirtualHostNameToFolderMapping(LPCWSTR) override {
    return Unmodelled("ClearVirtualHostNameToFolderMapping");
  }
  ::HRESULT STDMETHODCALLTYPE add_FrameCreated(wv::ICoreWebView2FrameCreatedEventHandler*,
                                               ::EventRegistrationToken*) override {
    return Unmodelled("add_FrameCreated");
  }
  ::HRESULT STDMETHODCALLTYPE remove_FrameCreated(::EventRegistrationToken) override {
    return Unmodelled("remove_FrameCreated");
  }

  ::HRESULT STDMETHODCALLTYPE
  add_DownloadStarting(wv::ICoreWebView2DownloadStartingEventHandler* handler,
                       ::EventRegistrationToken* token) override {
    STANDIN_ON_OWNER_THREAD();
    if (events_->closed) {
      Fault("add_DownloadStarting after Close");
      return kInvalidState;
    }
    return events_->download_starting.Add(handler, token);
  }
  ::HRESULT STDMETHODCALLTYPE remove_DownloadStarting(::EventRegistrationToken token) override {
    STANDIN_ON_OWNER_THREAD();
    events_->download_starting.Remove(token);
    return S_OK;
  }

 private:
  static ::HRESULT Unmodelled(const char* method) {
    Fault(std::string("CoreWebView2_4::") + method + " is not modelled");
    return E_NOTIMPL;
  }

  Ref<wv::ICoreWebView2> view_;
  std::shared_ptr<Events> events_;
};

}  // namespace

bool IsNewerViewInterface(REFIID iid) {
  return IsEqualIID(iid, wv::IID_ICoreWebView2_2) || IsEqualIID(iid, wv::IID_ICoreWebView2_3) ||
         IsEqualIID(iid, wv::IID_ICoreWebView2_4);
}

::HRESULT QueryNewerView(wv::ICoreWebView2* view, const void* core, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (OlderEngine()) return E_NOINTERFACE;
  auto tear_off = Ref<wv::ICoreWebView2_4>::Adopt(
      new NewerView(Ref<wv::ICoreWebView2>::Borrow(view), EventsOf(core)));
  return tear_off->QueryInterface(iid, object);
}

void StartDownload(const void* core, wv::ICoreWebView2* view, const std::string& source,
                   const std::string& rest) {
  const auto space = rest.find(' ');
  const std::string uri = rest.substr(0, space);
  std::string name = space == std::string::npos ? std::string() : rest.substr(space + 1);
  if (name.empty()) {
    const std::string path = uri.substr(0, uri.find_first_of("?#"));
    name = path.substr(path.find_last_of("/:") + 1);
  }
  if (name.empty()) name = "download";
  const std::filesystem::path default_path = DefaultFolder() / WideFromUtf8(name);
  auto operation = Ref<Operation>::Adopt(new Operation(WideFromUtf8(uri), WideFromUtf8(name)));
  auto args = Ref<StartingArgs>::Adopt(new StartingArgs(operation, default_path.wstring()));
  Log("download-starting " + uri + " from " + source);
  const auto events = EventsOf(core);
  if (OlderEngine() || events->download_starting.empty()) {
    Finish(args);
    return;
  }
  ++g_raising;
  Post([] {
    if (g_raising > 0) {
      Fault("a message loop ran inside DownloadStarting, where the engine would hang");
    }
  });
  events->download_starting.Raise(
      view, static_cast<wv::ICoreWebView2DownloadStartingEventArgs*>(args.Get()));
  --g_raising;
  if (args->taken == 0) {
    args->sealed = true;
    Finish(args);
    return;
  }
  args->resume = [args] { Finish(args); };
}

void ForgetDownloads(const void* core) {
  const auto found = AllEvents().find(core);
  if (found == AllEvents().end()) return;
  found->second->closed = true;
  found->second->download_starting.Clear();
  AllEvents().erase(found);
}

}  // namespace tessel::standin
