#include "shared/edge_ex.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

#if defined(__SSE__) || defined(_M_X64) || defined(_M_AMD64)
#include <xmmintrin.h>
#endif

#include "platform/engine_basics.h"
#include "platform/engine_process.h"
#include "platform/ui_dispatch.h"

namespace tessel::shared {

using platform::kEFail;
using platform::kEPointer;
using platform::kSOk;

namespace {

// --- module-level state ------------------------------------------------------

// The engine runs script and graphics code that expects the floating-point
// exceptions masked (as on the engine's own threads); the UI thread that
// loads this module gets the same: all six SSE exception masks set.
bool MaskFloatingPointExceptions() {
#if defined(__SSE__) || defined(_M_X64) || defined(_M_AMD64)
  _mm_setcsr(_mm_getcsr() | 0x1F80u);
  return true;
#else
  return false;
#endif
}
[[maybe_unused]] const bool g_fpu_masked = MaskFloatingPointExceptions();

struct LoaderState {
  std::mutex mutex;
  std::string path;
  platform::EngineLibraryOpener opener;
  std::shared_ptr<platform::EngineLoader> loader;

  // At process end the library is let go and the path cleared. The module
  // itself is not unloaded: engine libraries register types that cannot be
  // unregistered.
  ~LoaderState() {
    loader.reset();
    path.clear();
  }
};

LoaderState& Loader() {
  static LoaderState state;
  return state;
}

// The loader, opened by the first call that needs it. kEFail when it cannot
// be opened; the next call tries again.
HRESULT GetLoader(std::shared_ptr<platform::EngineLoader>* loader) {
  LoaderState& state = Loader();
  std::lock_guard lock(state.mutex);
  if (!state.loader) {
    std::shared_ptr<platform::EngineLoader> opened;
    HRESULT hr = kEFail;
    try {
      hr = state.opener ? state.opener(state.path, &opened)
                        : platform::OpenNativeEngineLibrary(state.path, &opened);
    } catch (...) {
      hr = kEFail;
    }
    if (platform::Failed(hr) || !opened) return kEFail;
    state.loader = std::move(opened);
  }
  *loader = state.loader;
  return kSOk;
}

std::mutex g_exception_handler_mutex;
TApplicationExceptionHandler g_exception_handler;

void ReportException(const std::exception& error) {
  TApplicationExceptionHandler handler;
  {
    std::lock_guard lock(g_exception_handler_mutex);
    handler = g_exception_handler;
  }
  try {
    if (handler) {
      handler(error);
      return;
    }
    if (const auto* edge = dynamic_cast<const EEdgeError*>(&error)) {
      std::fprintf(stderr, "EEdgeError: %s (0x%08X)\n", edge->what(),
                   static_cast<unsigned>(edge->ErrorCode()));
    } else {
      std::fprintf(stderr, "%s\n", error.what());
    }
  } catch (...) {
    // The last resort must not throw either.
  }
}

// Runs `work`, handing whatever it throws to the application's handler:
// nothing may unwind into the engine or the toolkit.
template <typename Work>
void Guarded(Work&& work) noexcept {
  try {
    work();
  } catch (const std::exception& error) {
    ReportException(error);
  } catch (...) {
    ReportException(std::runtime_error("Unknown exception in a web view callback"));
  }
}

// Trunc toward zero, kept inside the coordinate range.
std::int32_t TruncCoordinate(double value) {
  if (std::isnan(value)) return 0;
  value = std::trunc(value);
  if (value <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
    return std::numeric_limits<std::int32_t>::min();
  }
  if (value >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(value);
}

bool IsBlank(const std::string& text) {
  for (unsigned char c : text) {
    if (c > 0x20) return false;
  }
  return true;
}

}  // namespace

std::string LoadResString(const TResStringRec& res) { return std::string(res.text); }

void SetLoaderLibraryPath(const std::string& path) {
  LoaderState& state = Loader();
  std::lock_guard lock(state.mutex);
  state.path = path;
}

std::string LoaderLibraryPath() {
  LoaderState& state = Loader();
  std::lock_guard lock(state.mutex);
  return state.path;
}

void SetEngineLibraryOpener(platform::EngineLibraryOpener opener) {
  LoaderState& state = Loader();
  std::lock_guard lock(state.mutex);
  state.opener = std::move(opener);
  state.loader.reset();
}

void SetApplicationExceptionHandler(TApplicationExceptionHandler handler) {
  std::lock_guard lock(g_exception_handler_mutex);
  g_exception_handler = std::move(handler);
}

// --- construction ----------------------------------------------------------------

TCustomEdgeBrowser::TCustomEdgeBrowser(std::unique_ptr<platform::NativeView> view)
    : FView(std::move(view)) {
  if (!FView) throw std::invalid_argument("TCustomEdgeBrowser needs a native view");
  FView->SetClient(this);
}

TCustomEdgeBrowser::~TCustomEdgeBrowser() {
  JoinWorker();
  Guarded([this] { CloseWebView(); });
  FAlive.reset();
  FView->SetClient(nullptr);
}

bool TCustomEdgeBrowser::RecordResult(HRESULT hr) {
  std::lock_guard lock(FCritSec);
  FLastErrorCode = hr;
  return platform::Succeeded(hr);
}

HRESULT TCustomEdgeBrowser::LastErrorCode() const {
  std::lock_guard lock(FCritSec);
  return FLastErrorCode;
}

void TCustomEdgeBrowser::SetParent(platform::NativeWindowHandle parent) {
  FView->SetParent(parent);
  if (parent != nullptr) CreateWebView();
}

// --- creation ----------------------------------------------------------------------

void TCustomEdgeBrowser::CreateWebView() {
  if (FWebView || FBrowserControlState == TBrowserControlState::Creating) return;
  FBrowserControlState = TBrowserControlState::Creating;
  InitializeWebView(true);
}

void TCustomEdgeBrowser::ReinitializeWebView() { InitializeWebView(false); }

void TCustomEdgeBrowser::InitializeWebView(bool on_worker) {
  // The engine objects belong to the UI thread, so closing them and resetting
  // the fields happens here; only the loader call goes to the worker.
  CloseWebView();
  FSizeRatio = 1.0;
  FWebViewFocusEventActive = false;
  const std::uint64_t generation = ++FCreationGeneration;
  // The library is opened here, on the UI thread: opening GTK's libraries
  // (dlopen) on another thread while the UI thread uses GModule deadlocks in
  // the dynamic loader. A failure is still reported from the worker, so the
  // callback comes from the loop, never inside this call.
  std::shared_ptr<platform::EngineLoader> loader;
  const HRESULT opened = GetLoader(&loader);
  if (!on_worker) {
    CallLoader(opened, loader, generation);
    return;
  }
  // Binds the UI thread to the dispatcher before any other thread asks.
  platform::CurrentUiDispatcher();
  JoinWorker();
  try {
    FWorker = std::thread(
        [this, opened, loader, generation]() mutable { CallLoader(opened, loader, generation); });
  } catch (const std::system_error&) {
    CallLoader(opened, loader, generation);
  }
}

void TCustomEdgeBrowser::JoinWorker() {
  if (FWorker.joinable()) FWorker.join();
}

// On the worker thread (or the UI thread for a re-initialization). Touches
// only the lock-guarded result and the loader.
void TCustomEdgeBrowser::CallLoader(HRESULT opened,
                                    const std::shared_ptr<platform::EngineLoader>& loader,
                                    std::uint64_t generation) {
  HRESULT hr = opened;
  if (platform::Succeeded(hr)) {
    std::weak_ptr<int> alive = FAlive;
    try {
      hr = loader->CreateCoreWebView2Environment(
          [alive, this, generation](HRESULT result,
                                    std::shared_ptr<platform::EngineEnvironment> environment) {
            // Any thread: hand over to the UI thread before touching anything.
            Guarded([&] {
              platform::RunOnUiThread([alive, this, generation, result,
                                       environment = std::move(environment)]() mutable {
                if (alive.expired()) return;
                Guarded([&] {
                  CreateEnvironmentCompleted(result, std::move(environment), generation);
                });
              });
            });
          });
    } catch (...) {
      hr = kEFail;
    }
  }
  RecordResult(hr);
  if (platform::Failed(hr)) ReportCreationResult(hr, generation);
}

void TCustomEdgeBrowser::ReportCreationResult(HRESULT hr, std::uint64_t generation) {
  std::weak_ptr<int> alive = FAlive;
  platform::RunOnUiThread([alive, this, hr, generation] {
    if (alive.expired() || generation != FCreationGeneration) return;
    Guarded([&] {
      if (auto callback = FOnCreateWebViewCompleted) callback(this, hr);
    });
  });
}

void TCustomEdgeBrowser::CreateEnvironmentCompleted(
    HRESULT AResult, std::shared_ptr<platform::EngineEnvironment> environment,
    std::uint64_t generation) {
  if (generation != FCreationGeneration) return;
  if (platform::Succeeded(AResult) && !environment) AResult = kEPointer;
  if (!RecordResult(AResult)) {
    // The state stays as it is (Creating after CreateWebView).
    ReportCreationResult(AResult, generation);
    return;
  }
  FWebViewEnvironment = std::move(environment);
  std::weak_ptr<int> alive = FAlive;
  HRESULT hr = kEFail;
  try {
    hr = FWebViewEnvironment->CreateCoreWebView2Controller(
        FView->Handle(),
        [alive, this, generation](HRESULT result,
                                  std::shared_ptr<platform::EngineController> controller) {
          Guarded([&] {
            platform::RunOnUiThread([alive, this, generation, result,
                                     controller = std::move(controller)]() mutable {
              if (alive.expired()) {
                // Nobody will ever close it otherwise.
                if (controller) controller->Close();
                return;
              }
              Guarded([&] {
                CreateCoreWebView2ControllerCompleted(result, std::move(controller), generation);
              });
            });
          });
        });
  } catch (...) {
    hr = kEFail;
  }
  // A refusal here would otherwise leave the component waiting for a
  // completion that never comes; it ends the creation like a failed one.
  if (!RecordResult(hr)) CreationFailed();
}

void TCustomEdgeBrowser::CreateCoreWebView2ControllerCompleted(
    HRESULT AResult, std::shared_ptr<platform::EngineController> controller,
    std::uint64_t generation) {
  if (generation != FCreationGeneration) {
    if (controller) controller->Close();
    return;
  }
  if (platform::Succeeded(AResult) && !controller) AResult = kEPointer;
  if (!RecordResult(AResult)) return CreationFailed();
  FWebViewController = std::move(controller);

  FWebView.reset();
  std::shared_ptr<platform::EngineWebView> web_view;
  HRESULT hr = FWebViewController->get_CoreWebView2(&web_view);
  if (platform::Succeeded(hr) && !web_view) hr = kEPointer;
  if (!RecordResult(hr)) return CreationFailed();
  FWebView = std::move(web_view);

  FWebViewSettings.reset();
  std::shared_ptr<platform::EngineSettings> settings;
  hr = FWebView->get_Settings(&settings);
  if (platform::Succeeded(hr) && !settings) hr = kEPointer;
  if (!RecordResult(hr)) return CreationFailed();
  FWebViewSettings = std::move(settings);

  FBrowserControlState = TBrowserControlState::Created;
  std::weak_ptr<int> alive = FAlive;
  if (auto callback = FOnCreateWebViewCompleted) {
    Guarded([&] { callback(this, AResult); });
    if (alive.expired()) return;  // the callback destroyed the component
  }
  // The callback may have closed the view: then there is nothing to listen to.
  if (FWebView && FWebViewController) {
    SubscribeEvents();
    Resized();
  }
  if (!FLastURL.empty()) Navigate(FLastURL);
}

void TCustomEdgeBrowser::CreationFailed() {
  FBrowserControlState = TBrowserControlState::Failed;
  const HRESULT code = LastErrorCode();
  if (auto callback = FOnCreateWebViewCompleted) {
    Guarded([&] { callback(this, code); });
    return;
  }
  // Raised from the loop itself, where no caller of the component can catch it.
  const bool posted = platform::CurrentUiDispatcher().Post(
      [code] { ReportException(EEdgeError::CreateRes(SCreateWebViewFailed, code)); });
  if (!posted) ReportException(EEdgeError::CreateRes(SCreateWebViewFailed, code));
}

void TCustomEdgeBrowser::SubscribeEvents() {
  using namespace platform;
  auto& web_view = *FWebView;
  auto& controller = *FWebViewController;
  // Every engine event is answered with success; the work runs guarded.
  auto notify = [this](void (TCustomEdgeBrowser::*method)()) {
    return [this, method]() -> HRESULT {
      Guarded([&] { (this->*method)(); });
      return kSOk;
    };
  };
  auto with = [this](auto method) {
    return [this, method](const auto& args) -> HRESULT {
      Guarded([&] { (this->*method)(args); });
      return kSOk;
    };
  };
  web_view.add_NavigationStarting(
      [this](const std::shared_ptr<NavigationStartingEventArgs>& args) -> HRESULT {
        Guarded([&] { NavigationStarting(false, args); });
        return kSOk;
      },
      &FNavigationStartingToken);
  web_view.add_NavigationCompleted(
      [this](const std::shared_ptr<NavigationCompletedEventArgs>& args) -> HRESULT {
        Guarded([&] { NavigationCompleted(false, args); });
        return kSOk;
      },
      &FNavigationCompletedToken);
  web_view.add_SourceChanged(with(&TCustomEdgeBrowser::SourceChanged), &FSourceChangedToken);
  web_view.add_HistoryChanged(notify(&TCustomEdgeBrowser::HistoryChanged), &FHistoryChangedToken);
  web_view.add_ContentLoading(with(&TCustomEdgeBrowser::ContentLoading), &FContentLoadingToken);
  web_view.add_DocumentTitleChanged(notify(&TCustomEdgeBrowser::DocumentTitleChanged),
                                    &FDocumentTitleChangedToken);
  web_view.add_NewWindowRequested(with(&TCustomEdgeBrowser::NewWindowRequested),
                                  &FNewWindowRequestedToken);
  web_view.add_FrameNavigationStarting(
      [this](const std::shared_ptr<NavigationStartingEventArgs>& args) -> HRESULT {
        Guarded([&] { NavigationStarting(true, args); });
        return kSOk;
      },
      &FFrameNavigationStartingToken);
  web_view.add_FrameNavigationCompleted(
      [this](const std::shared_ptr<NavigationCompletedEventArgs>& args) -> HRESULT {
        Guarded([&] { NavigationCompleted(true, args); });
        return kSOk;
      },
      &FFrameNavigationCompletedToken);
  web_view.add_WebResourceRequested(with(&TCustomEdgeBrowser::WebResourceRequested),
                                    &FWebResourceRequestedToken);
  web_view.add_ScriptDialogOpening(with(&TCustomEdgeBrowser::ScriptDialogOpening),
                                   &FScriptDialogOpeningToken);
  web_view.add_PermissionRequested(with(&TCustomEdgeBrowser::PermissionRequested),
                                   &FPermissionRequestedToken);
  web_view.add_ProcessFailed(with(&TCustomEdgeBrowser::ProcessFailed), &FProcessFailedToken);
  web_view.add_WebMessageReceived(with(&TCustomEdgeBrowser::WebMessageReceived),
                                  &FWebMessageReceivedToken);
  web_view.add_ContainsFullScreenElementChanged(
      notify(&TCustomEdgeBrowser::ContainsFullScreenElementChanged),
      &FContainsFullScreenElementChangedToken);
  web_view.add_WindowCloseRequested(notify(&TCustomEdgeBrowser::WindowCloseRequested),
                                    &FWindowCloseRequestedToken);
  controller.add_ZoomFactorChanged(notify(&TCustomEdgeBrowser::ZoomFactorChanged),
                                   &FZoomFactorChangedToken);
  controller.add_MoveFocusRequested(with(&TCustomEdgeBrowser::MoveFocusRequested),
                                    &FMoveFocusRequestedToken);
  controller.add_AcceleratorKeyPressed(with(&TCustomEdgeBrowser::AcceleratorKeyPressed),
                                       &FAcceleratorKeyPressedToken);
  controller.add_GotFocus(notify(&TCustomEdgeBrowser::GotFocus), &FGotFocusToken);
  controller.add_LostFocus(notify(&TCustomEdgeBrowser::LostFocus), &FLostFocusToken);
}

void TCustomEdgeBrowser::CloseWebView() {
  if (auto web_view = FWebView) {
    web_view->remove_NavigationStarting(FNavigationStartingToken);
    web_view->remove_NavigationCompleted(FNavigationCompletedToken);
    web_view->remove_SourceChanged(FSourceChangedToken);
    web_view->remove_HistoryChanged(FHistoryChangedToken);
    web_view->remove_ContentLoading(FContentLoadingToken);
    web_view->remove_DocumentTitleChanged(FDocumentTitleChangedToken);
    web_view->remove_NewWindowRequested(FNewWindowRequestedToken);
    web_view->remove_FrameNavigationStarting(FFrameNavigationStartingToken);
    web_view->remove_FrameNavigationCompleted(FFrameNavigationCompletedToken);
    web_view->remove_WebResourceRequested(FWebResourceRequestedToken);
    web_view->remove_ScriptDialogOpening(FScriptDialogOpeningToken);
    web_view->remove_PermissionRequested(FPermissionRequestedToken);
    web_view->remove_ProcessFailed(FProcessFailedToken);
    web_view->remove_WebMessageReceived(FWebMessageReceivedToken);
    web_view->remove_WindowCloseRequested(FWindowCloseRequestedToken);
    web_view->remove_ContainsFullScreenElementChanged(FContainsFullScreenElementChangedToken);
    for (const auto& [name, token] : FDevToolsProtocolEventReceivedTokenMap) {
      std::shared_ptr<platform::DevToolsProtocolEventReceiver> receiver;
      if (RecordResult(web_view->GetDevToolsProtocolEventReceiver(name, &receiver)) && receiver) {
        receiver->remove_DevToolsProtocolEventReceived(token);
      }
    }
    FDevToolsProtocolEventReceivedTokenMap.clear();
    FWebView.reset();
  }
  if (auto controller = FWebViewController) {
    controller->remove_AcceleratorKeyPressed(FAcceleratorKeyPressedToken);
    controller->remove_GotFocus(FGotFocusToken);
    controller->remove_LostFocus(FLostFocusToken);
    controller->remove_MoveFocusRequested(FMoveFocusRequestedToken);
    controller->remove_ZoomFactorChanged(FZoomFactorChangedToken);
    controller->Close();
    FWebViewController.reset();
  }
}

void TCustomEdgeBrowser::CloseBrowserProcess() {
  const std::uint32_t process_id = BrowserProcessID();
  CloseWebView();
  if (process_id != 0) platform::WaitForProcessOrTerminate(process_id, 2000, 1);
}

void TCustomEdgeBrowser::ReinitializeWebViewWithNewBrowser() {
  CloseBrowserProcess();
  ReinitializeWebView();
}

// --- operations ------------------------------------------------------------------

void TCustomEdgeBrowser::Navigate(const std::string& AUrl) {
  if (FWebView) {
    RecordResult(FWebView->Navigate(AUrl));
  } else if (!IsBlank(AUrl)) {
    FLastURL = AUrl;
  }
}

void TCustomEdgeBrowser::NavigateToString(const std::string& AHTMLContent) {
  if (FWebView) RecordResult(FWebView->NavigateToString(AHTMLContent));
}

void TCustomEdgeBrowser::ExecuteScript(const std::string& JavaScript) {
  if (!FWebView) return;
  std::weak_ptr<int> alive = FAlive;
  FWebView->ExecuteScript(JavaScript, [alive, this](HRESULT result, const std::string& json) {
    Guarded([&] {
      platform::RunOnUiThread([alive, this, result, json] {
        if (alive.expired()) return;
        Guarded([&] {
          if (auto callback = FOnExecuteScript) callback(this, result, json);
        });
      });
    });
  });
}

void TCustomEdgeBrowser::AddWebResourceRequestedFilter(
    const std::string& URL, platform::WebResourceContext ResourceContext) {
  if (FWebView) RecordResult(FWebView->AddWebResourceRequestedFilter(URL, ResourceContext));
}

void TCustomEdgeBrowser::RemoveWebResourceRequestedFilter(
    const std::string& URL, platform::WebResourceContext ResourceContext) {
  if (FWebView) RecordResult(FWebView->RemoveWebResourceRequestedFilter(URL, ResourceContext));
}

void TCustomEdgeBrowser::GoBack() {
  if (FWebView) RecordResult(FWebView->GoBack());
}
void TCustomEdgeBrowser::GoForward() {
  if (FWebView) RecordResult(FWebView->GoForward());
}
void TCustomEdgeBrowser::Refresh() {
  if (FWebView) RecordResult(FWebView->Reload());
}
void TCustomEdgeBrowser::Stop() {
  if (FWebView) RecordResult(FWebView->Stop());
}

void TCustomEdgeBrowser::SetFocus() {
  FView->Focus();
  MoveFocusProgrammatic();
}

void TCustomEdgeBrowser::MoveFocusProgrammatic() {
  if (FWebViewController) {
    RecordResult(FWebViewController->MoveFocus(platform::MoveFocusReason::kProgrammatic));
  }
}

void TCustomEdgeBrowser::CapturePreview(const std::string& AFilename,
                                        TPreviewFormat PreviewFormat) {
  if (!FWebView) return;
  std::shared_ptr<platform::Stream> stream;
  if (!RecordResult(platform::CreateFileStream(AFilename, &stream))) return;
  CapturePreviewInto(std::move(stream), PreviewFormat);
}

void TCustomEdgeBrowser::CapturePreview(std::shared_ptr<platform::Stream> Stream,
                                        TPreviewFormat PreviewFormat) {
  if (!FWebView) return;
  if (!Stream) {
    RecordResult(kEPointer);
    return;
  }
  Stream->Seek(0, platform::StreamSeek::kBegin, nullptr);
  CapturePreviewInto(std::move(Stream), PreviewFormat);
}

void TCustomEdgeBrowser::CapturePreviewInto(std::shared_ptr<platform::Stream> stream,
                                            TPreviewFormat format) {
  std::weak_ptr<int> alive = FAlive;
  const auto image_format = format == TPreviewFormat::JPEG
                                ? platform::CapturePreviewImageFormat::kJpeg
                                : platform::CapturePreviewImageFormat::kPng;
  RecordResult(
      FWebView->CapturePreview(image_format, std::move(stream), [alive, this](HRESULT result) {
        Guarded([&] {
          platform::RunOnUiThread([alive, this, result] {
            if (alive.expired()) return;
            Guarded([&] {
              if (auto callback = FOnCapturePreviewCompleted) callback(this, result);
            });
          });
        });
      }));
}

void TCustomEdgeBrowser::SubscribeToCDPEvent(const std::string& CDPEventName) {
  if (!FWebView) return;
  std::shared_ptr<platform::DevToolsProtocolEventReceiver> receiver;
  if (!RecordResult(FWebView->GetDevToolsProtocolEventReceiver(CDPEventName, &receiver)) ||
      !receiver) {
    return;
  }
  auto known = FDevToolsProtocolEventReceivedTokenMap.find(CDPEventName);
  if (known != FDevToolsProtocolEventReceivedTokenMap.end()) {
    receiver->remove_DevToolsProtocolEventReceived(known->second);
  }
  EventRegistrationToken token = 0;
  receiver->add_DevToolsProtocolEventReceived(
      [this,
       CDPEventName](const std::shared_ptr<platform::DevToolsProtocolEventReceivedEventArgs>& args)
          -> HRESULT {
        Guarded([&] {
          auto callback = FOnDevToolsProtocolEventReceived;
          if (!callback) return;
          std::string json;
          args->get_ParameterObjectAsJson(&json);
          callback(this, CDPEventName, json);
        });
        return kSOk;
      },
      &token);
  FDevToolsProtocolEventReceivedTokenMap[CDPEventName] = token;
}

// --- properties --------------------------------------------------------------------

void TCustomEdgeBrowser::SetSizeRatio(double ratio) {
  FSizeRatio = ratio;
  Resized();
}

bool TCustomEdgeBrowser::WebViewCreated() const {
  return FWebViewEnvironment && FWebViewController && FWebView && FWebViewSettings;
}

std::string TCustomEdgeBrowser::DocumentTitle() {
  if (!FWebView) return {};
  std::string title;
  return RecordResult(FWebView->get_DocumentTitle(&title)) ? title : std::string();
}

std::string TCustomEdgeBrowser::LocationURL() {
  if (!FWebView) return {};
  std::string source;
  RecordResult(FWebView->get_Source(&source));
  return platform::EqualsIgnoreAsciiCase(source, "about:blank") ? std::string() : source;
}

double TCustomEdgeBrowser::ZoomFactor() {
  if (!FWebViewController) return 0.0;
  double zoom = 0.0;
  return RecordResult(FWebViewController->get_ZoomFactor(&zoom)) ? zoom : 0.0;
}

void TCustomEdgeBrowser::SetZoomFactor(double value) {
  if (FWebViewController) RecordResult(FWebViewController->put_ZoomFactor(value));
}

std::string TCustomEdgeBrowser::BrowserVersionInfo() {
  std::string version;
  HRESULT hr = kEFail;
  if (FWebView) {
    if (FWebViewEnvironment) hr = FWebViewEnvironment->get_BrowserVersionString(&version);
  } else {
    std::shared_ptr<platform::EngineLoader> loader;
    hr = GetLoader(&loader);
    if (platform::Succeeded(hr)) hr = loader->GetCoreWebView2BrowserVersionString(&version);
  }
  return RecordResult(hr) ? version : std::string();
}

std::uint32_t TCustomEdgeBrowser::BrowserProcessID() {
  if (!FWebView) return 0;
  std::uint32_t process_id = 0;
  return RecordResult(FWebView->get_BrowserProcessId(&process_id)) ? process_id : 0;
}

bool TCustomEdgeBrowser::CanGoBack() {
  bool value = false;
  return FWebView && RecordResult(FWebView->get_CanGoBack(&value)) && value;
}

bool TCustomEdgeBrowser::CanGoForward() {
  bool value = false;
  return FWebView && RecordResult(FWebView->get_CanGoForward(&value)) && value;
}

bool TCustomEdgeBrowser::ContainsFullScreenElement() {
  bool value = false;
  return FWebView && RecordResult(FWebView->get_ContainsFullScreenElement(&value)) && value;
}

bool TCustomEdgeBrowser::ReadSetting(HRESULT (platform::EngineSettings::*getter)(bool*)) {
  if (!FWebViewSettings) throw EEdgeError::CreateRes(SWebViewNotInstantiated, kEFail);
  bool value = false;
  if (!RecordResult(((*FWebViewSettings).*getter)(&value))) {
    throw EEdgeError::CreateRes(SWebViewNotInstantiated, kEFail);
  }
  return value;
}

void TCustomEdgeBrowser::WriteSetting(HRESULT (platform::EngineSettings::*setter)(bool),
                                      bool value) {
  if (!FWebViewSettings) throw EEdgeError::CreateRes(SWebViewNotInstantiated, kEFail);
  RecordResult(((*FWebViewSettings).*setter)(value));
}

#define TESSEL_TYPED_SETTING(Property, Engine)                    \
  bool TCustomEdgeBrowser::Property() {                           \
    return ReadSetting(&platform::EngineSettings::get_##Engine);  \
  }                                                               \
  void TCustomEdgeBrowser::Set##Property(bool value) {            \
    WriteSetting(&platform::EngineSettings::put_##Engine, value); \
  }
TESSEL_TYPED_SETTING(BuiltInErrorPageEnabled, IsBuiltInErrorPageEnabled)
TESSEL_TYPED_SETTING(DefaultContextMenusEnabled, AreDefaultContextMenusEnabled)
TESSEL_TYPED_SETTING(DefaultScriptDialogsEnabled, AreDefaultScriptDialogsEnabled)
TESSEL_TYPED_SETTING(DevToolsEnabled, AreDevToolsEnabled)
TESSEL_TYPED_SETTING(ScriptEnabled, IsScriptEnabled)
TESSEL_TYPED_SETTING(StatusBarEnabled, IsStatusBarEnabled)
TESSEL_TYPED_SETTING(WebMessageEnabled, IsWebMessageEnabled)
TESSEL_TYPED_SETTING(ZoomControlEnabled, IsZoomControlEnabled)
#undef TESSEL_TYPED_SETTING

// --- the toolkit's notifications ------------------------------------------------

void TCustomEdgeBrowser::HandleCreated() {
  // A new native window while a web view exists (an ancestor was re-created):
  // the old view cannot follow, so the engine objects are made anew.
  Guarded([this] {
    if (FWebView) ReinitializeWebView();
  });
}

void TCustomEdgeBrowser::Resized() {
  if (!FWebViewController) return;
  // The engine's put_Bounds does not throw; nothing here can.
  platform::Rect bounds = FView->ClientRect();
  const double width = static_cast<double>(bounds.right) - bounds.left;
  const double height = static_cast<double>(bounds.bottom) - bounds.top;
  bounds.right = TruncCoordinate(width * FSizeRatio + bounds.left);
  bounds.bottom = TruncCoordinate(height * FSizeRatio + bounds.top);
  RecordResult(FWebViewController->put_Bounds(bounds));
}

void TCustomEdgeBrowser::VisibleChanged() {
  if (FWebViewController) RecordResult(FWebViewController->put_IsVisible(FView->Visible()));
}

void TCustomEdgeBrowser::SystemCommand(std::uint32_t command) {
  if (!FWebViewController) return;
  switch (command & 0xFFF0u) {
    case platform::kScMinimize:
      RecordResult(FWebViewController->put_IsVisible(false));
      break;
    case platform::kScRestore:
      RecordResult(FWebViewController->put_IsVisible(true));
      break;
    default:
      break;
  }
}

void TCustomEdgeBrowser::FocusEntered() {
  Guarded([this] { DoEnter(); });
}
void TCustomEdgeBrowser::FocusLeft() {
  Guarded([this] { DoExit(); });
}

void TCustomEdgeBrowser::DoEnter() {
  if (auto callback = FOnEnter) callback(this);
  if (!FWebViewFocusEventActive) MoveFocusProgrammatic();
}

void TCustomEdgeBrowser::DoExit() {
  if (auto callback = FOnExit) callback(this);
}

// --- engine events -----------------------------------------------------------------

void TCustomEdgeBrowser::GotFocus() {
  // Passes the focus on to the control without pushing it back into the engine.
  struct Active {
    bool& flag;
    explicit Active(bool& f) : flag(f) { flag = true; }
    ~Active() { flag = false; }
  } active(FWebViewFocusEventActive);
  DoEnter();
}

void TCustomEdgeBrowser::LostFocus() { DoExit(); }

void TCustomEdgeBrowser::MoveFocusRequested(
    const std::shared_ptr<platform::MoveFocusRequestedEventArgs>& args) {
  auto reason = platform::MoveFocusReason::kProgrammatic;
  if (!RecordResult(args->get_Reason(&reason))) return;
  if (reason == platform::MoveFocusReason::kNext) {
    FView->SelectNext(true);
  } else if (reason == platform::MoveFocusReason::kPrevious) {
    FView->SelectNext(false);
  }
}

void TCustomEdgeBrowser::AcceleratorKeyPressed(
    const std::shared_ptr<platform::AcceleratorKeyPressedEventArgs>& args) {
  auto kind = platform::KeyEventKind::kKeyDown;
  std::uint32_t virtual_key = 0;
  std::int32_t lparam = 0;
  if (!RecordResult(args->get_KeyEventKind(&kind))) return;
  if (!RecordResult(args->get_VirtualKey(&virtual_key))) return;
  if (!RecordResult(args->get_KeyEventLParam(&lparam))) return;
  if (!FView->HasParentForm()) return;
  platform::KeyMessage message;
  switch (kind) {
    case platform::KeyEventKind::kKeyDown:
      message.message = platform::kWmKeyDown;
      break;
    case platform::KeyEventKind::kKeyUp:
      message.message = platform::kWmKeyUp;
      break;
    case platform::KeyEventKind::kSystemKeyDown:
      message.message = platform::kWmSysKeyDown;
      break;
    case platform::KeyEventKind::kSystemKeyUp:
      message.message = platform::kWmSysKeyUp;
      break;
    default:
      return;
  }
  message.wparam = virtual_key;
  message.lparam = static_cast<std::int64_t>(lparam);
  if (FView->IsShortCut(message)) args->put_Handled(true);
}

void TCustomEdgeBrowser::ContainsFullScreenElementChanged() {
  auto callback = FOnContainsFullScreenElementChanged;
  if (!callback || !FWebView) return;
  bool contains = false;
  if (!RecordResult(FWebView->get_ContainsFullScreenElement(&contains))) return;
  callback(this, contains);
}

void TCustomEdgeBrowser::ContentLoading(
    const std::shared_ptr<platform::ContentLoadingEventArgs>& args) {
  auto callback = FOnContentLoading;
  if (!callback) return;
  bool error_page = false;
  std::uint64_t navigation_id = 0;
  std::uint64_t document_id = 0;
  args->get_IsErrorPage(&error_page);
  args->get_NavigationId(&navigation_id);
  if (platform::Failed(args->get_DocumentId(&document_id))) document_id = 0;
  callback(this, error_page, navigation_id, document_id);
}

void TCustomEdgeBrowser::DocumentTitleChanged() {
  auto callback = FOnDocumentTitleChanged;
  if (!callback) return;
  callback(this, DocumentTitle());
}

void TCustomEdgeBrowser::NavigationStarting(
    bool frame, const std::shared_ptr<platform::NavigationStartingEventArgs>& args) {
  auto callback = frame ? FOnFrameNavigationStarting : FOnNavigationStarting;
  if (!callback) return;
  TNavigationStartingEventArgs wrapper(args);
  callback(this, wrapper);
}

void TCustomEdgeBrowser::NavigationCompleted(
    bool frame, const std::shared_ptr<platform::NavigationCompletedEventArgs>& args) {
  auto callback = frame ? FOnFrameNavigationCompleted : FOnNavigationCompleted;
  if (!callback) return;
  bool success = false;
  auto status = platform::WebErrorStatus::kUnknown;
  args->get_IsSuccess(&success);
  args->get_WebErrorStatus(&status);
  callback(this, success, status);
}

void TCustomEdgeBrowser::HistoryChanged() {
  if (auto callback = FOnHistoryChanged) callback(this);
}

void TCustomEdgeBrowser::NewWindowRequested(
    const std::shared_ptr<platform::NewWindowRequestedEventArgs>& args) {
  auto callback = FOnNewWindowRequested;
  if (!callback) return;
  TNewWindowRequestedEventArgs wrapper(args);
  callback(this, wrapper);
}

void TCustomEdgeBrowser::PermissionRequested(
    const std::shared_ptr<platform::PermissionRequestedEventArgs>& args) {
  auto callback = FOnPermissionRequested;
  if (!callback) return;
  TPermissionRequestedEventArgs wrapper(args);
  callback(this, wrapper);
}

void TCustomEdgeBrowser::ProcessFailed(
    const std::shared_ptr<platform::ProcessFailedEventArgs>& args) {
  auto callback = FOnProcessFailed;
  if (!callback) return;
  auto kind = platform::ProcessFailedKind::kBrowserProcessExited;
  args->get_ProcessFailedKind(&kind);
  callback(this, kind);
}

void TCustomEdgeBrowser::ScriptDialogOpening(
    const std::shared_ptr<platform::ScriptDialogOpeningEventArgs>& args) {
  auto callback = FOnScriptDialogOpening;
  if (!callback) return;
  TScriptDialogOpeningEventArgs wrapper(args);
  callback(this, wrapper);
}

void TCustomEdgeBrowser::SourceChanged(
    const std::shared_ptr<platform::SourceChangedEventArgs>& args) {
  auto callback = FOnSourceChanged;
  if (!callback) return;
  bool new_document = false;
  args->get_IsNewDocument(&new_document);
  callback(this, new_document);
}

void TCustomEdgeBrowser::WebMessageReceived(
    const std::shared_ptr<platform::WebMessageReceivedEventArgs>& args) {
  auto callback = FOnWebMessageReceived;
  if (!callback) return;
  TWebMessageReceivedEventArgs wrapper(args);
  callback(this, wrapper);
}

void TCustomEdgeBrowser::WebResourceRequested(
    const std::shared_ptr<platform::WebResourceRequestedEventArgs>& args) {
  auto callback = FOnWebResourceRequested;
  if (!callback) return;
  TWebResourceRequestedEventArgs wrapper(args);
  callback(this, wrapper);
}

void TCustomEdgeBrowser::WindowCloseRequested() {
  if (auto callback = FOnWindowCloseRequested) callback(this);
}

void TCustomEdgeBrowser::ZoomFactorChanged() {
  auto callback = FOnZoomFactorChanged;
  if (!callback) return;
  callback(this, ZoomFactor());
}

}  // namespace tessel::shared
