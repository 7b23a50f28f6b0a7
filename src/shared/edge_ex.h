// The web view component: the one place that talks to the web engine. It
// owns the engine's four objects (environment, controller, web view,
// settings), creates them asynchronously as soon as it is given a parent,
// forwards the engine's events to callbacks, exposes the engine's settings
// and state as properties, and reports failures through EEdgeError.
//
// Written once against the engine seam (platform/engine.h) and the native
// child window (platform/native_view.h); the engine is opened at run time
// through the loader library path (SetLoaderLibraryPath).
//
// Threads: everything runs on the UI thread except the loader call of a
// creation (CreateCoreWebView2Environment), which runs on a short-lived
// worker thread; every completion comes back through
// platform::RunOnUiThread. The loader library itself is opened on the UI
// thread (dlopen of GTK's libraries on another thread can deadlock against
// GModule), and engine objects are touched on the UI thread only. No
// exception leaves an engine callback: what a callback throws goes to the
// application's exception handler.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "platform/engine.h"
#include "platform/native_view.h"

namespace tessel::shared {

using platform::EventRegistrationToken;
using platform::HRESULT;

enum class TBrowserControlState { None = 0, Creating = 1, Created = 2, Failed = 3 };
enum class TPreviewFormat { PNG = 0, JPEG = 1 };

// A message of the program's string table.
struct TResStringRec {
  std::string_view text;
};
std::string LoadResString(const TResStringRec& res);

inline constexpr TResStringRec SCreateWebViewFailed{"Failed to create Edge browser control"};
inline constexpr TResStringRec SWebViewNotInstantiated{"WebView2 not instantiated"};

class EEdgeError : public std::runtime_error {
 public:
  EEdgeError(const std::string& Message, HRESULT ErrorCode)
      : std::runtime_error(Message), FErrorCode(ErrorCode) {}
  static EEdgeError Create(const std::string& Message, HRESULT ErrorCode) {
    return EEdgeError(Message, ErrorCode);
  }
  static EEdgeError CreateRes(const TResStringRec& ResStringRec, HRESULT ErrorCode) {
    return EEdgeError(LoadResString(ResStringRec), ErrorCode);
  }
  HRESULT ErrorCode() const { return FErrorCode; }

 private:
  HRESULT FErrorCode;
};

// --- module-level state (one per process) -------------------------------------

// The loader library's path: on Windows the extracted WebView2 loader, on
// Linux the engine module (libtessel-engine-webkit.so). Empty until start-up
// stores it. Any thread.
void SetLoaderLibraryPath(const std::string& path);
std::string LoaderLibraryPath();

// How the loader library is opened; empty restores the platform's
// (platform::OpenNativeEngineLibrary). Installing an opener also forgets the
// library opened so far, so the next call that needs it opens it anew.
// Tests only.
void SetEngineLibraryOpener(platform::EngineLibraryOpener opener);

// Where exceptions go that nobody can catch: what a callback throws while the
// component serves an engine callback, and the creation failure raised when
// no OnCreateWebViewCompleted is set. The default writes the message to
// stderr. Runs on the UI thread.
using TApplicationExceptionHandler = std::function<void(const std::exception& error)>;
void SetApplicationExceptionHandler(TApplicationExceptionHandler handler);

// --- event argument wrappers ----------------------------------------------------

// Holds the engine's argument object for one callback.
template <typename Args>
class TEventArgsWrapper {
 public:
  explicit TEventArgsWrapper(std::shared_ptr<Args> args) : FArgsInterface(std::move(args)) {}
  TEventArgsWrapper(const TEventArgsWrapper&) = delete;
  TEventArgsWrapper& operator=(const TEventArgsWrapper&) = delete;
  const std::shared_ptr<Args>& ArgsInterface() const { return FArgsInterface; }

 private:
  std::shared_ptr<Args> FArgsInterface;
};

class TNavigationStartingEventArgs
    : public TEventArgsWrapper<platform::NavigationStartingEventArgs> {
  using TEventArgsWrapper::TEventArgsWrapper;
};
class TNewWindowRequestedEventArgs
    : public TEventArgsWrapper<platform::NewWindowRequestedEventArgs> {
  using TEventArgsWrapper::TEventArgsWrapper;
};
class TPermissionRequestedEventArgs
    : public TEventArgsWrapper<platform::PermissionRequestedEventArgs> {
  using TEventArgsWrapper::TEventArgsWrapper;
};
class TScriptDialogOpeningEventArgs
    : public TEventArgsWrapper<platform::ScriptDialogOpeningEventArgs> {
  using TEventArgsWrapper::TEventArgsWrapper;
};
class TWebMessageReceivedEventArgs
    : public TEventArgsWrapper<platform::WebMessageReceivedEventArgs> {
  using TEventArgsWrapper::TEventArgsWrapper;
};
class TWebResourceRequestedEventArgs
    : public TEventArgsWrapper<platform::WebResourceRequestedEventArgs> {
  using TEventArgsWrapper::TEventArgsWrapper;
};

// --- callbacks --------------------------------------------------------------------

class TCustomEdgeBrowser;
using TNotifyEvent = std::function<void(TCustomEdgeBrowser* Sender)>;
using TWebViewStatusEvent = std::function<void(TCustomEdgeBrowser* Sender, HRESULT AResult)>;
using TContainsFullScreenElementChangedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, bool ContainsFullScreenElement)>;
// DocumentID: the engine's id of the new top-level document (0 when the
// engine cannot tell).
using TContentLoadingEvent =
    std::function<void(TCustomEdgeBrowser* Sender, bool IsErrorPage, std::uint64_t NavigationID,
                       std::uint64_t DocumentID)>;
using TDevToolsProtocolEventReceivedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, const std::string& CDPEventName,
                       const std::string& AParameterObjectAsJson)>;
using TDocumentTitleChangedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, const std::string& ADocumentTitle)>;
using TExecuteScriptEvent = std::function<void(TCustomEdgeBrowser* Sender, HRESULT AResult,
                                               const std::string& AResultObjectAsJson)>;
using TNavigationStartingEvent =
    std::function<void(TCustomEdgeBrowser* Sender, TNavigationStartingEventArgs& Args)>;
using TNavigationCompletedEvent = std::function<void(TCustomEdgeBrowser* Sender, bool IsSuccess,
                                                     platform::WebErrorStatus WebErrorStatus)>;
using THistoryChangedEvent = std::function<void(TCustomEdgeBrowser* Sender)>;
using TNewWindowRequestedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, TNewWindowRequestedEventArgs& Args)>;
using TPermissionRequestedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, TPermissionRequestedEventArgs& Args)>;
using TProcessFailedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, platform::ProcessFailedKind ProcessFailedKind)>;
using TScriptDialogOpeningEvent =
    std::function<void(TCustomEdgeBrowser* Sender, TScriptDialogOpeningEventArgs& Args)>;
using TSourceChangedEvent = std::function<void(TCustomEdgeBrowser* Sender, bool IsNewDocument)>;
using TWebMessageReceivedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, TWebMessageReceivedEventArgs& Args)>;
using TWebResourceRequestedEvent =
    std::function<void(TCustomEdgeBrowser* Sender, TWebResourceRequestedEventArgs& Args)>;
using TZoomFactorChangedEvent = std::function<void(TCustomEdgeBrowser* Sender, double AZoomFactor)>;

// --- the component ------------------------------------------------------------------

class TCustomEdgeBrowser : private platform::NativeViewClient {
 public:
  // Construction: the state is None, every other field empty, false or
  // zero. `view` is the component's windowed control; it must not be null.
  explicit TCustomEdgeBrowser(std::unique_ptr<platform::NativeView> view);
  // Runs CloseWebView, waits for a creation's worker thread to end, and drops
  // every completion still on its way.
  ~TCustomEdgeBrowser() override;
  TCustomEdgeBrowser(const TCustomEdgeBrowser&) = delete;
  TCustomEdgeBrowser& operator=(const TCustomEdgeBrowser&) = delete;

  // The windowed control (bounds, parent, visibility are the toolkit's).
  platform::NativeView& View() const { return *FView; }

  // Being given a parent: places the control, then, when `parent` is not
  // null, CreateWebView.
  void SetParent(platform::NativeWindowHandle parent);
  platform::NativeWindowHandle Parent() const { return FView->Parent(); }
  // Shows or hides the control (the visibility-changed behaviour follows).
  void SetVisible(bool visible) { FView->SetVisible(visible); }
  bool Visible() const { return FView->Visible(); }

  // --- operations ---
  void CreateWebView();
  void CloseWebView();
  void ReinitializeWebView();
  void CloseBrowserProcess();
  void ReinitializeWebViewWithNewBrowser();
  void Navigate(const std::string& AUrl);
  void NavigateToString(const std::string& AHTMLContent);
  void ExecuteScript(const std::string& JavaScript);
  void AddWebResourceRequestedFilter(const std::string& URL,
                                     platform::WebResourceContext ResourceContext);
  void RemoveWebResourceRequestedFilter(const std::string& URL,
                                        platform::WebResourceContext ResourceContext);
  void GoBack();
  void GoForward();
  void Refresh();
  void Stop();
  void SetFocus();
  void CapturePreview(const std::string& AFilename,
                      TPreviewFormat PreviewFormat = TPreviewFormat::PNG);
  void CapturePreview(std::shared_ptr<platform::Stream> Stream,
                      TPreviewFormat PreviewFormat = TPreviewFormat::PNG);
  void SubscribeToCDPEvent(const std::string& CDPEventName);

  // --- properties ---
  TBrowserControlState BrowserControlState() const { return FBrowserControlState; }
  HRESULT LastErrorCode() const;
  const std::string& LastURL() const { return FLastURL; }
  void SetLastURL(const std::string& url) { FLastURL = url; }
  double SizeRatio() const { return FSizeRatio; }
  void SetSizeRatio(double ratio);
  bool WebViewCreated() const;
  std::shared_ptr<platform::EngineWebView> DefaultInterface() const { return FWebView; }
  std::shared_ptr<platform::EngineSettings> SettingsInterface() const { return FWebViewSettings; }
  std::shared_ptr<platform::EngineEnvironment> EnvironmentInterface() const {
    return FWebViewEnvironment;
  }
  std::shared_ptr<platform::EngineController> ControllerInterface() const {
    return FWebViewController;
  }
  std::string DocumentTitle();
  std::string LocationURL();
  double ZoomFactor();
  void SetZoomFactor(double value);
  std::string BrowserVersionInfo();
  std::uint32_t BrowserProcessID();
  bool CanGoBack();
  bool CanGoForward();
  bool ContainsFullScreenElement();

  // Typed settings: EEdgeError "WebView2 not instantiated" (E_FAIL) while no
  // settings object exists or when the engine's read fails.
  bool BuiltInErrorPageEnabled();
  void SetBuiltInErrorPageEnabled(bool value);
  bool DefaultContextMenusEnabled();
  void SetDefaultContextMenusEnabled(bool value);
  bool DefaultScriptDialogsEnabled();
  void SetDefaultScriptDialogsEnabled(bool value);
  bool DevToolsEnabled();
  void SetDevToolsEnabled(bool value);
  bool ScriptEnabled();
  void SetScriptEnabled(bool value);
  bool StatusBarEnabled();
  void SetStatusBarEnabled(bool value);
  bool WebMessageEnabled();
  void SetWebMessageEnabled(bool value);
  bool ZoomControlEnabled();
  void SetZoomControlEnabled(bool value);

  // --- callbacks (the base control's focus events, then the 21 events) ---
#define TESSEL_EDGE_CALLBACK(Type, Name)       \
  const Type& Name() const { return F##Name; } \
  void Set##Name(Type callback) { F##Name = std::move(callback); }
  TESSEL_EDGE_CALLBACK(TNotifyEvent, OnEnter)
  TESSEL_EDGE_CALLBACK(TNotifyEvent, OnExit)
  TESSEL_EDGE_CALLBACK(TWebViewStatusEvent, OnCapturePreviewCompleted)
  TESSEL_EDGE_CALLBACK(TContainsFullScreenElementChangedEvent, OnContainsFullScreenElementChanged)
  TESSEL_EDGE_CALLBACK(TContentLoadingEvent, OnContentLoading)
  TESSEL_EDGE_CALLBACK(TWebViewStatusEvent, OnCreateWebViewCompleted)
  TESSEL_EDGE_CALLBACK(TDevToolsProtocolEventReceivedEvent, OnDevToolsProtocolEventReceived)
  TESSEL_EDGE_CALLBACK(TDocumentTitleChangedEvent, OnDocumentTitleChanged)
  TESSEL_EDGE_CALLBACK(TExecuteScriptEvent, OnExecuteScript)
  TESSEL_EDGE_CALLBACK(TNavigationStartingEvent, OnFrameNavigationStarting)
  TESSEL_EDGE_CALLBACK(TNavigationCompletedEvent, OnFrameNavigationCompleted)
  TESSEL_EDGE_CALLBACK(THistoryChangedEvent, OnHistoryChanged)
  TESSEL_EDGE_CALLBACK(TNavigationStartingEvent, OnNavigationStarting)
  TESSEL_EDGE_CALLBACK(TNavigationCompletedEvent, OnNavigationCompleted)
  TESSEL_EDGE_CALLBACK(TNewWindowRequestedEvent, OnNewWindowRequested)
  TESSEL_EDGE_CALLBACK(TPermissionRequestedEvent, OnPermissionRequested)
  TESSEL_EDGE_CALLBACK(TProcessFailedEvent, OnProcessFailed)
  TESSEL_EDGE_CALLBACK(TScriptDialogOpeningEvent, OnScriptDialogOpening)
  TESSEL_EDGE_CALLBACK(TSourceChangedEvent, OnSourceChanged)
  TESSEL_EDGE_CALLBACK(TWebMessageReceivedEvent, OnWebMessageReceived)
  TESSEL_EDGE_CALLBACK(TWebResourceRequestedEvent, OnWebResourceRequested)
  TESSEL_EDGE_CALLBACK(TNotifyEvent, OnWindowCloseRequested)
  TESSEL_EDGE_CALLBACK(TZoomFactorChangedEvent, OnZoomFactorChanged)
#undef TESSEL_EDGE_CALLBACK

 protected:
  // Stores `hr` as the last result under the lock; true when it is a success.
  bool RecordResult(HRESULT hr);

 private:
  // The toolkit's notifications (the base control's overridden behaviour).
  void HandleCreated() override;
  void Resized() override;
  void VisibleChanged() override;
  void FocusEntered() override;
  void FocusLeft() override;
  void SystemCommand(std::uint32_t command) override;

  // Creation steps.
  void InitializeWebView(bool on_worker);
  void CallLoader(HRESULT opened, const std::shared_ptr<platform::EngineLoader>& loader,
                  std::uint64_t generation);
  void ReportCreationResult(HRESULT hr, std::uint64_t generation);
  void CreateEnvironmentCompleted(HRESULT AResult,
                                  std::shared_ptr<platform::EngineEnvironment> environment,
                                  std::uint64_t generation);
  void CreateCoreWebView2ControllerCompleted(HRESULT AResult,
                                             std::shared_ptr<platform::EngineController> controller,
                                             std::uint64_t generation);
  void CreationFailed();
  void SubscribeEvents();
  void JoinWorker();

  // Focus and keys.
  void DoEnter();
  void DoExit();
  void MoveFocusProgrammatic();

  // Engine event handlers.
  void ContainsFullScreenElementChanged();
  void ContentLoading(const std::shared_ptr<platform::ContentLoadingEventArgs>& args);
  void DocumentTitleChanged();
  void NavigationStarting(bool frame,
                          const std::shared_ptr<platform::NavigationStartingEventArgs>& args);
  void NavigationCompleted(bool frame,
                           const std::shared_ptr<platform::NavigationCompletedEventArgs>& args);
  void HistoryChanged();
  void NewWindowRequested(const std::shared_ptr<platform::NewWindowRequestedEventArgs>& args);
  void PermissionRequested(const std::shared_ptr<platform::PermissionRequestedEventArgs>& args);
  void ProcessFailed(const std::shared_ptr<platform::ProcessFailedEventArgs>& args);
  void ScriptDialogOpening(const std::shared_ptr<platform::ScriptDialogOpeningEventArgs>& args);
  void SourceChanged(const std::shared_ptr<platform::SourceChangedEventArgs>& args);
  void WebMessageReceived(const std::shared_ptr<platform::WebMessageReceivedEventArgs>& args);
  void WebResourceRequested(const std::shared_ptr<platform::WebResourceRequestedEventArgs>& args);
  void WindowCloseRequested();
  void ZoomFactorChanged();
  void GotFocus();
  void LostFocus();
  void MoveFocusRequested(const std::shared_ptr<platform::MoveFocusRequestedEventArgs>& args);
  void AcceleratorKeyPressed(const std::shared_ptr<platform::AcceleratorKeyPressedEventArgs>& args);

  bool ReadSetting(HRESULT (platform::EngineSettings::*getter)(bool*));
  void WriteSetting(HRESULT (platform::EngineSettings::*setter)(bool), bool value);
  void CapturePreviewInto(std::shared_ptr<platform::Stream> stream, TPreviewFormat format);

  std::unique_ptr<platform::NativeView> FView;

  TBrowserControlState FBrowserControlState = TBrowserControlState::None;
  std::shared_ptr<platform::EngineEnvironment> FWebViewEnvironment;
  std::shared_ptr<platform::EngineController> FWebViewController;
  std::shared_ptr<platform::EngineWebView> FWebView;
  std::shared_ptr<platform::EngineSettings> FWebViewSettings;
  double FSizeRatio = 0.0;
  HRESULT FLastErrorCode = 0;
  bool FWebViewFocusEventActive = false;
  std::string FLastURL;
  mutable std::mutex FCritSec;

  EventRegistrationToken FAcceleratorKeyPressedToken = 0;
  EventRegistrationToken FContainsFullScreenElementChangedToken = 0;
  EventRegistrationToken FContentLoadingToken = 0;
  EventRegistrationToken FDocumentTitleChangedToken = 0;
  EventRegistrationToken FFrameNavigationStartingToken = 0;
  EventRegistrationToken FFrameNavigationCompletedToken = 0;
  EventRegistrationToken FGotFocusToken = 0;
  EventRegistrationToken FHistoryChangedToken = 0;
  EventRegistrationToken FLostFocusToken = 0;
  EventRegistrationToken FMoveFocusRequestedToken = 0;
  EventRegistrationToken FNavigationStartingToken = 0;
  EventRegistrationToken FNavigationCompletedToken = 0;
  EventRegistrationToken FNewWindowRequestedToken = 0;
  EventRegistrationToken FPermissionRequestedToken = 0;
  EventRegistrationToken FProcessFailedToken = 0;
  EventRegistrationToken FScriptDialogOpeningToken = 0;
  EventRegistrationToken FSourceChangedToken = 0;
  EventRegistrationToken FWebResourceRequestedToken = 0;
  EventRegistrationToken FWebMessageReceivedToken = 0;
  EventRegistrationToken FWindowCloseRequestedToken = 0;
  EventRegistrationToken FZoomFactorChangedToken = 0;
  std::map<std::string, EventRegistrationToken> FDevToolsProtocolEventReceivedTokenMap;

  TNotifyEvent FOnEnter;
  TNotifyEvent FOnExit;
  TWebViewStatusEvent FOnCapturePreviewCompleted;
  TContainsFullScreenElementChangedEvent FOnContainsFullScreenElementChanged;
  TContentLoadingEvent FOnContentLoading;
  TWebViewStatusEvent FOnCreateWebViewCompleted;
  TDevToolsProtocolEventReceivedEvent FOnDevToolsProtocolEventReceived;
  TDocumentTitleChangedEvent FOnDocumentTitleChanged;
  TExecuteScriptEvent FOnExecuteScript;
  TNavigationStartingEvent FOnFrameNavigationStarting;
  TNavigationCompletedEvent FOnFrameNavigationCompleted;
  THistoryChangedEvent FOnHistoryChanged;
  TNavigationStartingEvent FOnNavigationStarting;
  TNavigationCompletedEvent FOnNavigationCompleted;
  TNewWindowRequestedEvent FOnNewWindowRequested;
  TPermissionRequestedEvent FOnPermissionRequested;
  TProcessFailedEvent FOnProcessFailed;
  TScriptDialogOpeningEvent FOnScriptDialogOpening;
  TSourceChangedEvent FOnSourceChanged;
  TWebMessageReceivedEvent FOnWebMessageReceived;
  TWebResourceRequestedEvent FOnWebResourceRequested;
  TNotifyEvent FOnWindowCloseRequested;
  TZoomFactorChangedEvent FOnZoomFactorChanged;

  // Completions check this before touching the component: it expires when
  // the component is destroyed.
  std::shared_ptr<int> FAlive = std::make_shared<int>(0);
  // Each creation's number; completions of an earlier creation are dropped.
  std::uint64_t FCreationGeneration = 0;
  std::thread FWorker;
};

// The concrete class the browser host creates; it adds no behaviour.
class TEdgeBrowser : public TCustomEdgeBrowser {
 public:
  using TCustomEdgeBrowser::TCustomEdgeBrowser;
};

}  // namespace tessel::shared
