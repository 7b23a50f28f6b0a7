#include "shared/edge_ex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/engine_basics.h"
#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_native_view.h"
#include "platform/fake/fake_ui_dispatch.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tessel::shared {
namespace {

using namespace platform;

constexpr HRESULT kHrFileNotFound = static_cast<HRESULT>(0x80070002u);
const NativeWindowHandle kParent = reinterpret_cast<NativeWindowHandle>(0x5150);

const std::vector<std::string> kWebViewEvents = {
    "NavigationStarting",   "NavigationCompleted",     "SourceChanged",
    "HistoryChanged",       "ContentLoading",          "DocumentTitleChanged",
    "NewWindowRequested",   "FrameNavigationStarting", "FrameNavigationCompleted",
    "WebResourceRequested", "ScriptDialogOpening",     "PermissionRequested",
    "ProcessFailed",        "WebMessageReceived",      "ContainsFullScreenElementChanged",
    "WindowCloseRequested"};
const std::vector<std::string> kControllerEvents = {
    "ZoomFactorChanged", "MoveFocusRequested", "AcceleratorKeyPressed", "GotFocus", "LostFocus"};

// Notes the thread that asks for an environment.
class ThreadNotingLoader : public EngineLoader {
 public:
  ThreadNotingLoader(std::shared_ptr<EngineLoader> inner, std::thread::id* thread)
      : inner_(std::move(inner)), thread_(thread) {}
  HRESULT CreateCoreWebView2Environment(CreateEnvironmentCompletedHandler completed) override {
    *thread_ = std::this_thread::get_id();
    return inner_->CreateCoreWebView2Environment(std::move(completed));
  }
  HRESULT GetCoreWebView2BrowserVersionString(std::string* version) override {
    return inner_->GetCoreWebView2BrowserVersionString(version);
  }

 private:
  std::shared_ptr<EngineLoader> inner_;
  std::thread::id* thread_;
};

// One component over the fake engine, the fake UI queue and a fake control.
class EdgeBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEngineLibraryOpener([this](const std::string& path, std::shared_ptr<EngineLoader>* out) {
      open_thread_ = std::this_thread::get_id();
      std::shared_ptr<EngineLoader> inner;
      const HRESULT hr = engine_->OpenLibrary(path, &inner);
      if (Succeeded(hr)) *out = std::make_shared<ThreadNotingLoader>(inner, &loader_thread_);
      return hr;
    });
    SetLoaderLibraryPath("/opt/engine/loader.so");
    SetApplicationExceptionHandler([this](const std::exception& error) {
      errors_.push_back(error.what());
      if (auto* edge = dynamic_cast<const EEdgeError*>(&error))
        error_codes_.push_back(edge->ErrorCode());
    });
    auto view = std::make_unique<FakeNativeView>();
    view_ = view.get();
    browser_ = std::make_unique<TEdgeBrowser>(std::move(view));
    browser_->SetOnCreateWebViewCompleted([this](TCustomEdgeBrowser*, HRESULT hr) {
      created_results_.push_back(hr);
      if (on_created_) on_created_();
    });
  }

  void TearDown() override {
    browser_.reset();
    ui_.Drain();
    SetEngineLibraryOpener({});
    SetLoaderLibraryPath("");
    SetApplicationExceptionHandler({});
  }

  // Gives the control its parent and runs the loop until creation reports.
  void Create() {
    const auto before = created_results_.size();
    browser_->SetParent(kParent);
    ASSERT_TRUE(ui_.RunUntil([&] { return created_results_.size() > before; }));
    ui_.Drain();
  }

  std::shared_ptr<FakeController> Controller() { return engine_->LastController(); }
  std::shared_ptr<FakeWebView> WebView() { return engine_->LastWebView(); }

  // The calls logged since the last ClearCalls whose names contain `part`.
  std::vector<std::string> CallsContaining(const std::string& part) {
    std::vector<std::string> result;
    for (const auto& call : engine_->Calls()) {
      if (call.find(part) != std::string::npos) result.push_back(call);
    }
    return result;
  }

  FakeUiDispatcher ui_;
  ScopedUiDispatcher scoped_ui_{ui_};
  std::shared_ptr<FakeEngine> engine_ = MakeFakeEngine();
  FakeNativeView* view_ = nullptr;
  std::unique_ptr<TEdgeBrowser> browser_;
  std::vector<HRESULT> created_results_;
  std::function<void()> on_created_;
  std::vector<std::string> errors_;
  std::vector<HRESULT> error_codes_;
  std::thread::id open_thread_;
  std::thread::id loader_thread_;
};

// --- creation -------------------------------------------------------------------

TEST_F(EdgeBrowserTest, CreationRunsTheLoaderOnAWorkerAndCompletesOnTheLoop) {
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::None);
  browser_->SetParent(kParent);
  // Readiness comes only from the loop, never inside the parent change.
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Creating);
  EXPECT_TRUE(created_results_.empty());

  std::thread::id callback_thread;
  on_created_ = [&] { callback_thread = std::this_thread::get_id(); };
  ASSERT_TRUE(ui_.RunUntil([&] { return !created_results_.empty(); }));
  EXPECT_EQ(created_results_, std::vector<HRESULT>{kSOk});
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Created);
  EXPECT_TRUE(browser_->WebViewCreated());
  // The environment is asked for on a worker; the library is opened on the
  // UI thread, where opening GTK's libraries cannot deadlock.
  EXPECT_NE(loader_thread_, std::this_thread::get_id());
  EXPECT_EQ(open_thread_, std::this_thread::get_id());
  EXPECT_EQ(callback_thread, std::this_thread::get_id());
  EXPECT_EQ(engine_->opened_paths(), std::vector<std::string>{"/opt/engine/loader.so"});
  ASSERT_TRUE(Controller());
  EXPECT_EQ(Controller()->parent_window, view_->Handle());
  EXPECT_EQ(browser_->DefaultInterface(), WebView());
  EXPECT_EQ(browser_->SettingsInterface(), WebView()->settings);
  EXPECT_EQ(browser_->EnvironmentInterface(), engine_->LastEnvironment());
  EXPECT_EQ(browser_->ControllerInterface(), Controller());
}

TEST_F(EdgeBrowserTest, EnvironmentReportedOnAnEngineThreadIsCarriedToTheUiThread) {
  engine_->environment_on_engine_thread = true;
  std::thread::id callback_thread;
  on_created_ = [&] { callback_thread = std::this_thread::get_id(); };
  Create();
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Created);
  EXPECT_EQ(callback_thread, std::this_thread::get_id());
}

TEST_F(EdgeBrowserTest, SubscribesTheEventsInOrderOnlyAfterTheCallbackReturns) {
  std::size_t subscribed_during_callback = 99;
  on_created_ = [&] {
    subscribed_during_callback = WebView()->SubscriptionCount() + Controller()->SubscriptionCount();
    engine_->ClearCalls();
  };
  browser_->SetLastURL("file:///index.html");
  Create();
  EXPECT_EQ(subscribed_during_callback, 0u);
  EXPECT_EQ(WebView()->SubscriptionCount(), 16u);
  EXPECT_EQ(Controller()->SubscriptionCount(), 5u);

  std::vector<std::string> expected;
  expected.reserve(kWebViewEvents.size() + kControllerEvents.size());
  for (const auto& name : kWebViewEvents) expected.push_back("WebView.add_" + name);
  for (const auto& name : kControllerEvents) expected.push_back("Controller.add_" + name);
  std::vector<std::string> subscriptions = CallsContaining(".add_");
  EXPECT_EQ(subscriptions, expected);
  // Then the first resize, then the stored address.
  const auto calls = engine_->Calls();
  const auto last_add = std::find(calls.begin(), calls.end(), "Controller.add_LostFocus");
  const auto bounds = std::find(calls.begin(), calls.end(), "Controller.put_Bounds(0,0,800,600)");
  const auto navigate =
      std::find(calls.begin(), calls.end(), "WebView.Navigate(file:///index.html)");
  ASSERT_NE(bounds, calls.end());
  ASSERT_NE(navigate, calls.end());
  EXPECT_LT(last_add, bounds);
  EXPECT_LT(bounds, navigate);
}

TEST_F(EdgeBrowserTest, CloseWebViewRemovesEverySubscriptionWithItsOwnTokenInOrder) {
  Create();
  auto controller = Controller();
  auto web_view = WebView();
  browser_->SubscribeToCDPEvent("Network.requestWillBeSent");
  engine_->ClearCalls();
  browser_->CloseWebView();

  std::vector<std::string> expected;
  for (const auto& name :
       {"NavigationStarting", "NavigationCompleted", "SourceChanged", "HistoryChanged",
        "ContentLoading", "DocumentTitleChanged", "NewWindowRequested", "FrameNavigationStarting",
        "FrameNavigationCompleted", "WebResourceRequested", "ScriptDialogOpening",
        "PermissionRequested", "ProcessFailed", "WebMessageReceived", "WindowCloseRequested",
        "ContainsFullScreenElementChanged"}) {
    expected.push_back(std::string("WebView.remove_") + name);
  }
  expected.push_back("WebView.GetDevToolsProtocolEventReceiver(Network.requestWillBeSent)");
  for (const auto& name : {"AcceleratorKeyPressed", "GotFocus", "LostFocus", "MoveFocusRequested",
                           "ZoomFactorChanged"}) {
    expected.push_back(std::string("Controller.remove_") + name);
  }
  expected.push_back("Controller.Close");
  EXPECT_EQ(engine_->Calls(), expected);
  // Each token removed exactly its own subscription: nothing is left.
  EXPECT_EQ(web_view->SubscriptionCount(), 0u);
  EXPECT_EQ(controller->SubscriptionCount(), 0u);
  EXPECT_EQ(web_view->devtools_receivers["Network.requestWillBeSent"]->received.size(), 0u);
  EXPECT_TRUE(controller->closed());

  // The odd state after closing: not created, yet Created, and the typed
  // settings still reach the old settings object.
  EXPECT_FALSE(browser_->WebViewCreated());
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Created);
  browser_->SetScriptEnabled(false);
  EXPECT_FALSE(web_view->settings->script_enabled);
  EXPECT_FALSE(browser_->ScriptEnabled());
  EXPECT_EQ(browser_->EnvironmentInterface(), engine_->LastEnvironment());
}

TEST_F(EdgeBrowserTest, ACallbackThatClosesTheViewPreventsSubscriptionsAndTheFirstResize) {
  on_created_ = [&] {
    engine_->ClearCalls();
    browser_->CloseWebView();
    engine_->ClearCalls();
  };
  browser_->Navigate("file:///start.html");
  Create();
  EXPECT_TRUE(CallsContaining(".add_").empty());
  EXPECT_TRUE(CallsContaining("put_Bounds").empty());
  EXPECT_TRUE(CallsContaining("Navigate").empty());
  EXPECT_EQ(browser_->LastURL(), "file:///start.html");
}

TEST_F(EdgeBrowserTest, ASecondParentChangeWhileCreatingStartsNothing) {
  browser_->SetParent(kParent);
  browser_->SetParent(reinterpret_cast<NativeWindowHandle>(0x6160));
  browser_->CreateWebView();
  ASSERT_TRUE(ui_.RunUntil([&] { return !created_results_.empty(); }));
  ui_.Drain();
  EXPECT_EQ(engine_->CallsStartingWith("Loader.CreateCoreWebView2Environment").size(), 1u);
  EXPECT_EQ(engine_->ControllerCount(), 1u);
  EXPECT_EQ(created_results_.size(), 1u);
  // With a web view in place, CreateWebView starts nothing either.
  browser_->CreateWebView();
  ui_.Drain();
  EXPECT_EQ(engine_->ControllerCount(), 1u);
}

// --- failures ------------------------------------------------------------------

TEST_F(EdgeBrowserTest, AMissingLoaderReportsEFailAndLeavesTheStateCreating) {
  engine_->loader_missing = true;
  browser_->SetParent(kParent);
  EXPECT_TRUE(created_results_.empty());  // reported from the loop, not inside SetParent
  ASSERT_TRUE(ui_.RunUntil([&] { return !created_results_.empty(); }));
  EXPECT_EQ(created_results_, std::vector<HRESULT>{static_cast<HRESULT>(0x80004005u)});
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Creating);
  EXPECT_EQ(browser_->LastErrorCode(), kEFail);
  EXPECT_TRUE(errors_.empty());

  // Later CreateWebView calls start nothing.
  browser_->CreateWebView();
  ui_.Drain();
  EXPECT_EQ(engine_->library_opens(), 1);
  EXPECT_EQ(created_results_.size(), 1u);

  // The next call that needs the loader tries to load it again.
  engine_->loader_missing = false;
  EXPECT_EQ(browser_->BrowserVersionInfo(), "1.0.0-fake");
  EXPECT_EQ(engine_->library_opens(), 2);
}

TEST_F(EdgeBrowserTest, AnEmptyLoaderPathIsALoaderFailure) {
  SetLoaderLibraryPath("");
  Create();
  EXPECT_EQ(created_results_, std::vector<HRESULT>{kEFail});
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Creating);
}

struct EnvironmentFailure {
  const char* name;
  std::function<void(FakeEngine&)> inject;
  HRESULT expected;
};

TEST_F(EdgeBrowserTest, AnEnvironmentFailureReportsTheEngineResultAndLeavesCreating) {
  const EnvironmentFailure cases[] = {
      {"refused at once",
       [](FakeEngine& e) {
         e.FailOperation("Loader.CreateCoreWebView2Environment", kEAccessDenied);
       },
       kEAccessDenied},
      {"refused in the completion", [](FakeEngine& e) { e.environment_result = kHrFileNotFound; },
       kHrFileNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    engine_ = MakeFakeEngine();
    created_results_.clear();
    SetUp();
    c.inject(*engine_);
    Create();
    EXPECT_EQ(created_results_, std::vector<HRESULT>{c.expected});
    EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Creating);
    EXPECT_EQ(engine_->ControllerCount(), 0u);
  }
}

struct ControllerFailure {
  const char* name;
  std::function<void(FakeEngine&)> inject;
  bool keeps_controller;
  bool keeps_web_view;
};

const ControllerFailure kControllerFailures[] = {
    {"controller creation refused at once",
     [](FakeEngine& e) {
       e.FailOperation("Environment.CreateCoreWebView2Controller", kEAccessDenied);
     },
     false, false},
    {"controller completion fails", [](FakeEngine& e) { e.controller_result = kEAccessDenied; },
     false, false},
    {"get_CoreWebView2 fails",
     [](FakeEngine& e) { e.FailOperation("Controller.get_CoreWebView2", kEAccessDenied); }, true,
     false},
    {"get_Settings fails",
     [](FakeEngine& e) { e.FailOperation("WebView.get_Settings", kEAccessDenied); }, true, true},
};

TEST_F(EdgeBrowserTest, AControllerFailureEndsInFailedAndReportsTheLastResult) {
  for (const auto& c : kControllerFailures) {
    SCOPED_TRACE(c.name);
    TearDown();
    engine_ = MakeFakeEngine();
    created_results_.clear();
    SetUp();
    c.inject(*engine_);
    Create();
    EXPECT_EQ(created_results_, std::vector<HRESULT>{kEAccessDenied});
    EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Failed);
    EXPECT_FALSE(browser_->WebViewCreated());
    EXPECT_EQ(browser_->ControllerInterface() != nullptr, c.keeps_controller);
    EXPECT_TRUE(errors_.empty());
    EXPECT_EQ(browser_->DefaultInterface() != nullptr, c.keeps_web_view);
    // From Failed, CreateWebView starts a new creation, unless a web view was
    // obtained: then it waits for CloseWebView.
    browser_->CreateWebView();
    if (c.keeps_web_view) {
      EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Failed);
      browser_->CloseWebView();
      browser_->CreateWebView();
    }
    EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Creating);
    EXPECT_EQ(browser_->ControllerInterface(), nullptr);  // closed by the new creation
  }
}

TEST_F(EdgeBrowserTest, WithoutACallbackAControllerFailureIsRaisedFromTheLoop) {
  for (const auto& c : kControllerFailures) {
    SCOPED_TRACE(c.name);
    TearDown();
    engine_ = MakeFakeEngine();
    SetUp();
    browser_->SetOnCreateWebViewCompleted(nullptr);
    errors_.clear();
    error_codes_.clear();
    c.inject(*engine_);
    browser_->SetParent(kParent);
    ASSERT_TRUE(ui_.RunUntil([&] { return !errors_.empty(); }));
    EXPECT_EQ(errors_, std::vector<std::string>{"Failed to create Edge browser control"});
    EXPECT_EQ(error_codes_, std::vector<HRESULT>{kEAccessDenied});
    EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Failed);
  }
}

// --- settings --------------------------------------------------------------------

struct TypedSetting {
  const char* name;
  bool (TCustomEdgeBrowser::*read)();
  void (TCustomEdgeBrowser::*write)(bool);
  bool FakeSettings::*field;
};

const TypedSetting kTypedSettings[] = {
    {"IsBuiltInErrorPageEnabled", &TCustomEdgeBrowser::BuiltInErrorPageEnabled,
     &TCustomEdgeBrowser::SetBuiltInErrorPageEnabled, &FakeSettings::built_in_error_page_enabled},
    {"AreDefaultContextMenusEnabled", &TCustomEdgeBrowser::DefaultContextMenusEnabled,
     &TCustomEdgeBrowser::SetDefaultContextMenusEnabled,
     &FakeSettings::default_context_menus_enabled},
    {"AreDefaultScriptDialogsEnabled", &TCustomEdgeBrowser::DefaultScriptDialogsEnabled,
     &TCustomEdgeBrowser::SetDefaultScriptDialogsEnabled,
     &FakeSettings::default_script_dialogs_enabled},
    {"AreDevToolsEnabled", &TCustomEdgeBrowser::DevToolsEnabled,
     &TCustomEdgeBrowser::SetDevToolsEnabled, &FakeSettings::dev_tools_enabled},
    {"IsScriptEnabled", &TCustomEdgeBrowser::ScriptEnabled, &TCustomEdgeBrowser::SetScriptEnabled,
     &FakeSettings::script_enabled},
    {"IsStatusBarEnabled", &TCustomEdgeBrowser::StatusBarEnabled,
     &TCustomEdgeBrowser::SetStatusBarEnabled, &FakeSettings::status_bar_enabled},
    {"IsWebMessageEnabled", &TCustomEdgeBrowser::WebMessageEnabled,
     &TCustomEdgeBrowser::SetWebMessageEnabled, &FakeSettings::web_message_enabled},
    {"IsZoomControlEnabled", &TCustomEdgeBrowser::ZoomControlEnabled,
     &TCustomEdgeBrowser::SetZoomControlEnabled, &FakeSettings::zoom_control_enabled},
};

void ExpectNotInstantiated(const std::function<void()>& use) {
  try {
    use();
    ADD_FAILURE() << "no EEdgeError";
  } catch (const EEdgeError& error) {
    EXPECT_STREQ(error.what(), "WebView2 not instantiated");
    EXPECT_EQ(error.ErrorCode(), static_cast<HRESULT>(0x80004005u));
  }
}

TEST_F(EdgeBrowserTest, TypedSettingsRaiseBeforeCreation) {
  for (const auto& s : kTypedSettings) {
    SCOPED_TRACE(s.name);
    ExpectNotInstantiated([&] { (browser_.get()->*s.read)(); });
    ExpectNotInstantiated([&] { (browser_.get()->*s.write)(false); });
  }
}

TEST_F(EdgeBrowserTest, TypedSettingsMapOneToOneAndHandleEngineFailures) {
  Create();
  auto settings = WebView()->settings;
  for (const auto& s : kTypedSettings) {
    SCOPED_TRACE(s.name);
    (browser_.get()->*s.write)(false);
    EXPECT_FALSE((*settings).*s.field);
    EXPECT_FALSE((browser_.get()->*s.read)());
    (browser_.get()->*s.write)(true);
    EXPECT_TRUE((browser_.get()->*s.read)());

    // A failing read raises; a failing write is only recorded.
    engine_->FailOperation(std::string("Settings.get_") + s.name, kEAccessDenied);
    ExpectNotInstantiated([&] { (browser_.get()->*s.read)(); });
    EXPECT_EQ(browser_->LastErrorCode(), kEAccessDenied);
    engine_->FailOperation(std::string("Settings.put_") + s.name, kEInvalidArg);
    (browser_.get()->*s.write)(false);
    EXPECT_EQ(browser_->LastErrorCode(), kEInvalidArg);
    EXPECT_TRUE((*settings).*s.field);
  }
}

// --- addresses ---------------------------------------------------------------------

TEST_F(EdgeBrowserTest, NavigateBeforeCreationKeepsOnlyNonBlankAddressesUnchanged) {
  struct Case {
    std::string url;
    std::string stored;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\r\n\x01", ""},
      {"  file:///a.html \t", "  file:///a.html \t"},
      {"file:///b.html", "file:///b.html"},
  };
  for (const auto& c : cases) {
    browser_->SetLastURL("");
    browser_->Navigate(c.url);
    EXPECT_EQ(browser_->LastURL(), c.stored) << '"' << c.url << '"';
  }
}

TEST_F(EdgeBrowserTest, AStoredAddressIsNavigatedAfterEveryInitialization) {
  browser_->Navigate(" file:///start.html ");
  Create();
  EXPECT_EQ(CallsContaining("WebView.Navigate"),
            std::vector<std::string>{"WebView.Navigate( file:///start.html )"});
  EXPECT_EQ(browser_->LastURL(), " file:///start.html ");  // not cleared

  engine_->ClearCalls();
  browser_->ReinitializeWebView();
  ASSERT_TRUE(ui_.RunUntil([&] { return created_results_.size() == 2; }));
  EXPECT_EQ(CallsContaining("WebView.Navigate"),
            std::vector<std::string>{"WebView.Navigate( file:///start.html )"});
}

TEST_F(EdgeBrowserTest, LocationUrlHidesAboutBlankInAnyCase) {
  EXPECT_EQ(browser_->LocationURL(), "");
  Create();
  const std::pair<std::string, std::string> cases[] = {
      {"about:blank", ""},
      {"ABOUT:BLANK", ""},
      {"About:Blank", ""},
      {"about:blank#x", "about:blank#x"},
      {"file:///index.html", "file:///index.html"},
  };
  for (const auto& [source, expected] : cases) {
    WebView()->source = source;
    EXPECT_EQ(browser_->LocationURL(), expected) << source;
  }
}

// --- layout and visibility ----------------------------------------------------------

TEST_F(EdgeBrowserTest, SizeRatioScalesTheBoundsTruncatingTowardZero) {
  Create();
  struct Case {
    Rect client;
    double ratio;
    Rect bounds;
  };
  const Case cases[] = {
      {{0, 0, 801, 601}, 0.5, {0, 0, 400, 300}},     {{10, 20, 811, 621}, 0.5, {10, 20, 410, 320}},
      {{0, 0, -801, -601}, 0.5, {0, 0, -400, -300}},  // toward zero, not down
      {{0, 0, 801, 601}, 1.0, {0, 0, 801, 601}},     {{0, 0, 3, 3}, 0.999, {0, 0, 2, 2}},
  };
  for (const auto& c : cases) {
    view_->client_rect = c.client;
    browser_->SetSizeRatio(c.ratio);
    EXPECT_EQ(Controller()->bounds, c.bounds) << c.ratio << " on " << c.client.right;
  }
  // A resize from the toolkit uses the stored ratio.
  browser_->SetSizeRatio(0.5);
  view_->client_rect = {0, 0, 1001, 1001};
  view_->client()->Resized();
  EXPECT_EQ(Controller()->bounds, (Rect{0, 0, 500, 500}));
}

TEST_F(EdgeBrowserTest, VisibilityAndMinimiseRestoreFollowTheControl) {
  Create();
  struct Case {
    std::function<void()> act;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {[&] { browser_->SetVisible(false); }, {"Controller.put_IsVisible(0)"}},
      {[&] { browser_->SetVisible(true); }, {"Controller.put_IsVisible(1)"}},
      {[&] { view_->client()->SystemCommand(kScMinimize); }, {"Controller.put_IsVisible(0)"}},
      {[&] { view_->client()->SystemCommand(kScRestore); }, {"Controller.put_IsVisible(1)"}},
      {[&] { view_->client()->SystemCommand(kScMinimize | 2); }, {"Controller.put_IsVisible(0)"}},
      {[&] { view_->client()->SystemCommand(0xF030); }, {}},  // maximise changes nothing
  };
  for (const auto& c : cases) {
    engine_->ClearCalls();
    c.act();
    EXPECT_EQ(CallsContaining("put_IsVisible"), c.calls);
  }
}

TEST_F(EdgeBrowserTest, ANewNativeWindowReinitializesTheEngineObjects) {
  view_->RecreateHandle();  // no web view yet: nothing to do
  EXPECT_EQ(engine_->ControllerCount(), 0u);

  Create();
  auto old_controller = Controller();
  view_->RecreateHandle();
  ASSERT_TRUE(ui_.RunUntil([&] { return created_results_.size() == 2; }));
  EXPECT_TRUE(old_controller->closed());
  EXPECT_EQ(engine_->ControllerCount(), 2u);
  EXPECT_EQ(Controller()->parent_window, view_->Handle());
  EXPECT_NE(Controller()->parent_window, old_controller->parent_window);
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Created);
  EXPECT_EQ(WebView()->SubscriptionCount(), 16u);
}

// --- focus and keys -------------------------------------------------------------------

TEST_F(EdgeBrowserTest, FocusIsPassedOnWithoutBeingPushedBackIntoTheEngine) {
  int entered = 0, exited = 0;
  browser_->SetOnEnter([&](TCustomEdgeBrowser*) { ++entered; });
  browser_->SetOnExit([&](TCustomEdgeBrowser*) { ++exited; });
  Create();

  engine_->ClearCalls();
  Controller()->got_focus.Raise();  // the user clicked into the page
  EXPECT_EQ(entered, 1);
  EXPECT_TRUE(CallsContaining("MoveFocus").empty());

  Controller()->lost_focus.Raise();
  EXPECT_EQ(exited, 1);

  view_->client()->FocusEntered();  // the toolkit focused the control
  EXPECT_EQ(entered, 3);            // once itself, once through the engine's GotFocus
  EXPECT_EQ(CallsContaining("MoveFocus"), std::vector<std::string>{"Controller.MoveFocus(0)"});

  Controller()->LoseFocus();
  engine_->ClearCalls();
  browser_->SetFocus();
  EXPECT_EQ(view_->focus_calls, 1);
  EXPECT_EQ(CallsContaining("MoveFocus"), std::vector<std::string>{"Controller.MoveFocus(0)"});
}

TEST_F(EdgeBrowserTest, MoveFocusRequestsGoToTheTabOrder) {
  Create();
  const std::pair<MoveFocusReason, std::vector<bool>> cases[] = {
      {MoveFocusReason::kNext, {true}},
      {MoveFocusReason::kPrevious, {false}},
      {MoveFocusReason::kProgrammatic, {}},
  };
  for (const auto& [reason, expected] : cases) {
    view_->select_next_calls.clear();
    auto args = std::make_shared<FakeMoveFocusRequestedEventArgs>();
    args->reason = reason;
    Controller()->move_focus_requested.Raise(std::shared_ptr<MoveFocusRequestedEventArgs>(args));
    EXPECT_EQ(view_->select_next_calls, expected);
    EXPECT_FALSE(args->handled);
  }
  auto failing = std::make_shared<FakeMoveFocusRequestedEventArgs>();
  failing->fail["get_Reason"] = kEUnexpected;
  view_->select_next_calls.clear();
  Controller()->move_focus_requested.Raise(std::shared_ptr<MoveFocusRequestedEventArgs>(failing));
  EXPECT_TRUE(view_->select_next_calls.empty());
  EXPECT_EQ(browser_->LastErrorCode(), kEUnexpected);
}

TEST_F(EdgeBrowserTest, AcceleratorKeysAreOfferedToTheParentForm) {
  Create();
  struct Case {
    KeyEventKind kind;
    std::uint32_t message;
    bool consumed;
  };
  const Case cases[] = {
      {KeyEventKind::kKeyDown, 0x0100, true},
      {KeyEventKind::kKeyUp, 0x0101, false},
      {KeyEventKind::kSystemKeyDown, 0x0104, true},
      {KeyEventKind::kSystemKeyUp, 0x0105, false},
  };
  for (const auto& c : cases) {
    view_->offered_keys.clear();
    view_->shortcut_handler = [&](const KeyMessage&) { return c.consumed; };
    auto args = std::make_shared<FakeAcceleratorKeyPressedEventArgs>();
    args->kind = c.kind;
    args->virtual_key = 0x53;  // S
    args->lparam = static_cast<std::int32_t>(0xC01F0001u);
    Controller()->accelerator_key_pressed.Raise(
        std::shared_ptr<AcceleratorKeyPressedEventArgs>(args));
    ASSERT_EQ(view_->offered_keys.size(), 1u);
    EXPECT_EQ(view_->offered_keys[0].message, c.message);
    EXPECT_EQ(view_->offered_keys[0].wparam, 0x53u);
    EXPECT_EQ(view_->offered_keys[0].lparam, std::int64_t{-1071710207});  // sign-extended
    EXPECT_EQ(args->handled, c.consumed);
  }

  // A failing getter stops before the form; so does a control without a form.
  for (const char* getter : {"get_KeyEventKind", "get_VirtualKey", "get_KeyEventLParam"}) {
    view_->offered_keys.clear();
    auto args = std::make_shared<FakeAcceleratorKeyPressedEventArgs>();
    args->fail[getter] = kEUnexpected;
    Controller()->accelerator_key_pressed.Raise(
        std::shared_ptr<AcceleratorKeyPressedEventArgs>(args));
    EXPECT_TRUE(view_->offered_keys.empty()) << getter;
    EXPECT_EQ(browser_->LastErrorCode(), kEUnexpected);
  }
  view_->has_parent_form = false;
  view_->offered_keys.clear();
  Controller()->accelerator_key_pressed.Raise(std::shared_ptr<AcceleratorKeyPressedEventArgs>(
      std::make_shared<FakeAcceleratorKeyPressedEventArgs>()));
  EXPECT_TRUE(view_->offered_keys.empty());
}

// --- events ---------------------------------------------------------------------------

TEST_F(EdgeBrowserTest, EventsReachTheirCallbacksWithTheEngineValues) {
  Create();
  auto web_view = WebView();
  auto controller = Controller();
  std::vector<std::string> seen;
  auto log = [&](std::string entry) { seen.push_back(std::move(entry)); };

  browser_->SetOnContentLoading(
      [&](TCustomEdgeBrowser* sender, bool error_page, std::uint64_t id, std::uint64_t document) {
        EXPECT_EQ(sender, browser_.get());
        log("ContentLoading " + std::to_string(error_page) + " " + std::to_string(id) + " " +
            std::to_string(document));
      });
  browser_->SetOnNavigationCompleted([&](TCustomEdgeBrowser*, bool ok, WebErrorStatus status) {
    log("NavigationCompleted " + std::to_string(ok) + " " +
        std::to_string(static_cast<int>(status)));
  });
  browser_->SetOnFrameNavigationCompleted([&](TCustomEdgeBrowser*, bool ok, WebErrorStatus status) {
    log("FrameNavigationCompleted " + std::to_string(ok) + " " +
        std::to_string(static_cast<int>(status)));
  });
  browser_->SetOnSourceChanged([&](TCustomEdgeBrowser*, bool new_document) {
    log("SourceChanged " + std::to_string(new_document));
  });
  browser_->SetOnProcessFailed([&](TCustomEdgeBrowser*, ProcessFailedKind kind) {
    log("ProcessFailed " + std::to_string(static_cast<int>(kind)));
  });
  browser_->SetOnHistoryChanged([&](TCustomEdgeBrowser*) { log("HistoryChanged"); });
  browser_->SetOnWindowCloseRequested([&](TCustomEdgeBrowser*) { log("WindowCloseRequested"); });
  browser_->SetOnDocumentTitleChanged(
      [&](TCustomEdgeBrowser*, const std::string& title) { log("DocumentTitleChanged " + title); });
  browser_->SetOnZoomFactorChanged(
      [&](TCustomEdgeBrowser*, double zoom) { log("ZoomFactorChanged " + std::to_string(zoom)); });
  browser_->SetOnContainsFullScreenElementChanged([&](TCustomEdgeBrowser*, bool contains) {
    log("ContainsFullScreenElementChanged " + std::to_string(contains));
  });

  auto loading = std::make_shared<FakeContentLoadingEventArgs>();
  loading->error_page = true;
  loading->navigation_id = 42;
  loading->document_id = 7;
  web_view->content_loading.Raise(std::shared_ptr<ContentLoadingEventArgs>(loading));
  auto completed = std::make_shared<FakeNavigationCompletedEventArgs>();
  completed->success = false;
  completed->status = WebErrorStatus::kCannotConnect;
  web_view->navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
  web_view->frame_navigation_completed.Raise(
      std::shared_ptr<NavigationCompletedEventArgs>(completed));
  auto source = std::make_shared<FakeSourceChangedEventArgs>();
  source->new_document = false;
  web_view->source_changed.Raise(std::shared_ptr<SourceChangedEventArgs>(source));
  auto failed = std::make_shared<FakeProcessFailedEventArgs>();
  failed->kind = ProcessFailedKind::kRenderProcessUnresponsive;
  web_view->process_failed.Raise(std::shared_ptr<ProcessFailedEventArgs>(failed));
  web_view->history_changed.Raise();
  web_view->window_close_requested.Raise();
  web_view->title = "Hello";
  web_view->document_title_changed.Raise();
  controller->put_ZoomFactor(1.5);
  web_view->contains_full_screen_element = true;
  web_view->contains_full_screen_element_changed.Raise();
  engine_->FailOperation("WebView.get_ContainsFullScreenElement", kEUnexpected);
  web_view->contains_full_screen_element_changed.Raise();  // read fails: callback skipped

  EXPECT_EQ(seen, (std::vector<std::string>{
                      "ContentLoading 1 42 7", "NavigationCompleted 0 12",
                      "FrameNavigationCompleted 0 12", "SourceChanged 0", "ProcessFailed 2",
                      "HistoryChanged", "WindowCloseRequested", "DocumentTitleChanged Hello",
                      "ZoomFactorChanged 1.500000", "ContainsFullScreenElementChanged 1"}));
  EXPECT_EQ(browser_->LastErrorCode(), kEUnexpected);
}

TEST_F(EdgeBrowserTest, AnEmptyCallbackSlotReadsNothing) {
  Create();
  auto web_view = WebView();
  // Each of these events reads through a recorded getter when its slot is
  // set; with the slot empty the failing getter is never reached.
  engine_->FailOperation("WebView.get_DocumentTitle", kEUnexpected);
  engine_->FailOperation("WebView.get_ContainsFullScreenElement", kEUnexpected);
  engine_->FailOperation("Controller.get_ZoomFactor", kEUnexpected);
  browser_->Stop();  // records success
  web_view->document_title_changed.Raise();
  web_view->contains_full_screen_element_changed.Raise();
  Controller()->put_ZoomFactor(2.0);
  EXPECT_EQ(browser_->LastErrorCode(), kSOk);

  auto completed = std::make_shared<FakeNavigationCompletedEventArgs>();
  completed->fail["get_IsSuccess"] = kEUnexpected;
  web_view->navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
  EXPECT_EQ(engine_->Calls().back(), "Controller.put_ZoomFactor");
}

TEST_F(EdgeBrowserTest, WrappedArgumentsGiveCallbacksTheEngineObject) {
  Create();
  auto web_view = WebView();
  browser_->SetOnNavigationStarting([](TCustomEdgeBrowser*, TNavigationStartingEventArgs& args) {
    std::string uri;
    args.ArgsInterface()->get_Uri(&uri);
    if (uri.find("blocked") != std::string::npos) args.ArgsInterface()->put_Cancel(true);
  });
  std::vector<std::string> messages;
  browser_->SetOnWebMessageReceived([&](TCustomEdgeBrowser*, TWebMessageReceivedEventArgs& args) {
    std::string text, json;
    const HRESULT hr = args.ArgsInterface()->TryGetWebMessageAsString(&text);
    args.ArgsInterface()->get_WebMessageAsJson(&json);
    messages.push_back(Succeeded(hr) ? "string:" + text : "json:" + json);
  });
  browser_->SetOnWebResourceRequested(
      [&](TCustomEdgeBrowser* sender, TWebResourceRequestedEventArgs& args) {
        std::shared_ptr<WebResourceResponse> response;
        sender->EnvironmentInterface()->CreateWebResourceResponse(
            MakeMemoryStream("<title>From memory</title>"), 200, "OK", "Content-Type: text/html",
            &response);
        args.ArgsInterface()->put_Response(response);
      });

  auto blocked = std::make_shared<FakeNavigationStartingEventArgs>();
  blocked->uri = "https://blocked.example/";
  web_view->navigation_starting.Raise(std::shared_ptr<NavigationStartingEventArgs>(blocked));
  EXPECT_TRUE(blocked->cancel);

  web_view->RaiseWebMessage(R"("hello")");
  web_view->RaiseWebMessage(R"({"id":30001})");
  EXPECT_EQ(messages, (std::vector<std::string>{"string:hello", R"(json:{"id":30001})"}));

  browser_->AddWebResourceRequestedFilter("*", WebResourceContext::kAll);
  browser_->Navigate("file:///index.html");
  ui_.Drain();
  EXPECT_EQ(browser_->DocumentTitle(), "From memory");
  EXPECT_EQ(browser_->LocationURL(), "file:///index.html");
}

TEST_F(EdgeBrowserTest, WhatACallbackThrowsNeverReachesTheEngine) {
  Create();
  browser_->SetOnHistoryChanged([](TCustomEdgeBrowser*) { throw std::runtime_error("page bug"); });
  browser_->SetOnWindowCloseRequested([](TCustomEdgeBrowser*) { throw 42; });
  WebView()->history_changed.Raise();
  WebView()->window_close_requested.Raise();
  EXPECT_EQ(errors_,
            (std::vector<std::string>{"page bug", "Unknown exception in a web view callback"}));
}

// --- asynchronous operations ---------------------------------------------------------

TEST_F(EdgeBrowserTest, ExecuteScriptDeliversTheJsonResultWithoutRecordingTheCall) {
  Create();
  engine_->script_results["document.title"] = R"("Hello")";
  std::vector<std::string> results;
  browser_->SetOnExecuteScript([&](TCustomEdgeBrowser*, HRESULT hr, const std::string& json) {
    results.push_back(std::to_string(hr) + " " + json);
  });
  browser_->ExecuteScript("document.title");
  browser_->ExecuteScript("void 0");
  EXPECT_TRUE(results.empty());  // completions come later
  ui_.Drain();
  EXPECT_EQ(results, (std::vector<std::string>{R"(0 "Hello")", "0 null"}));

  browser_->Stop();
  engine_->FailOperation("WebView.ExecuteScript", kEUnexpected);
  browser_->ExecuteScript("1");
  EXPECT_EQ(browser_->LastErrorCode(), kSOk);
}

TEST_F(EdgeBrowserTest, CompletionsAfterDestructionAreDropped) {
  Create();
  int calls = 0;
  browser_->SetOnExecuteScript([&](TCustomEdgeBrowser*, HRESULT, const std::string&) { ++calls; });
  browser_->ExecuteScript("1");
  browser_.reset();
  ui_.Drain();
  EXPECT_EQ(calls, 0);
}

TEST_F(EdgeBrowserTest, DestructionDuringCreationClosesTheLateController) {
  browser_->SetParent(kParent);
  // The environment is there and the controller's completion is on its way.
  ASSERT_TRUE(ui_.RunUntil([&] { return engine_->ControllerCount() == 1; }));
  ASSERT_EQ(ui_.Pending(), 1u);
  browser_.reset();
  ui_.Drain();
  EXPECT_TRUE(created_results_.empty());
  EXPECT_EQ(engine_->CallsStartingWith("Controller.Close").size(), 1u);
}

TEST_F(EdgeBrowserTest, CapturePreviewWritesToAFileOrToTheStartOfAStream) {
  Create();
  std::vector<HRESULT> results;
  browser_->SetOnCapturePreviewCompleted(
      [&](TCustomEdgeBrowser*, HRESULT hr) { results.push_back(hr); });
  const auto path = (std::filesystem::temp_directory_path() / "edge_ex_capture.png").string();
  {
    std::ofstream old(path, std::ios::binary);
    old << std::string(500, 'x');  // truncated by the capture
  }
  browser_->CapturePreview(path);
  ui_.Drain();
  std::ifstream file(path, std::ios::binary);
  const std::string png((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_LT(png.size(), 500u);
  file.close();
  std::filesystem::remove(path);

  auto stream = MakeMemoryStream("previous content");
  stream->Seek(0, StreamSeek::kEnd, nullptr);
  browser_->CapturePreview(stream, TPreviewFormat::JPEG);
  ui_.Drain();
  std::string bytes;
  ReadWholeStream(stream.get(), &bytes);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(results, (std::vector<HRESULT>{kSOk, kSOk}));

  engine_->ClearCalls();
  browser_->CapturePreview("/no/such/folder/x.png");
  EXPECT_EQ(browser_->LastErrorCode(), kEPathNotFound);
  EXPECT_TRUE(CallsContaining("CapturePreview").empty());
}

TEST_F(EdgeBrowserTest, ACdpEventNameHasOneRegistration) {
  Create();
  std::vector<std::string> received;
  browser_->SetOnDevToolsProtocolEventReceived(
      [&](TCustomEdgeBrowser*, const std::string& name, const std::string& json) {
        received.push_back(name + " " + json);
      });
  browser_->SubscribeToCDPEvent("Log.entryAdded");
  browser_->SubscribeToCDPEvent("Log.entryAdded");
  auto receiver = WebView()->devtools_receivers["Log.entryAdded"];
  ASSERT_EQ(receiver->received.size(), 1u);
  auto args = std::make_shared<FakeDevToolsProtocolEventReceivedEventArgs>();
  args->json = R"({"entry":1})";
  receiver->received.Raise(std::shared_ptr<DevToolsProtocolEventReceivedEventArgs>(args));
  EXPECT_EQ(received, std::vector<std::string>{R"(Log.entryAdded {"entry":1})"});
}

// --- properties --------------------------------------------------------------------

TEST_F(EdgeBrowserTest, PropertiesWithoutAWebViewGiveTheirFallbacks) {
  EXPECT_EQ(browser_->DocumentTitle(), "");
  EXPECT_EQ(browser_->ZoomFactor(), 0.0);
  browser_->SetZoomFactor(2.0);
  EXPECT_EQ(browser_->BrowserProcessID(), 0u);
  EXPECT_FALSE(browser_->CanGoBack());
  EXPECT_FALSE(browser_->CanGoForward());
  EXPECT_FALSE(browser_->ContainsFullScreenElement());
  EXPECT_EQ(browser_->BrowserVersionInfo(), "1.0.0-fake");  // from the loader
  engine_->FailOperation("Loader.GetCoreWebView2BrowserVersionString", kHrFileNotFound);
  EXPECT_EQ(browser_->BrowserVersionInfo(), "");
  EXPECT_EQ(browser_->LastErrorCode(), kHrFileNotFound);
}

TEST_F(EdgeBrowserTest, PropertiesWithAWebViewReadTheEngineAndRecordIt) {
  Create();
  browser_->Navigate("file:///a.html");
  ui_.Drain();
  browser_->Navigate("file:///b.html");
  ui_.Drain();
  EXPECT_TRUE(browser_->CanGoBack());
  EXPECT_FALSE(browser_->CanGoForward());
  browser_->GoBack();
  ui_.Drain();
  EXPECT_EQ(browser_->LocationURL(), "file:///a.html");
  EXPECT_TRUE(browser_->CanGoForward());

  browser_->SetZoomFactor(1.25);
  EXPECT_EQ(browser_->ZoomFactor(), 1.25);
  browser_->SetZoomFactor(-1);
  EXPECT_EQ(browser_->LastErrorCode(), kEInvalidArg);
  EXPECT_EQ(browser_->ZoomFactor(), 1.25);

  engine_->browser_version = "2.50.6";
  EXPECT_EQ(browser_->BrowserVersionInfo(), "2.50.6");  // from the environment
  engine_->FailOperation("WebView.get_CanGoBack", kEUnexpected);
  EXPECT_FALSE(browser_->CanGoBack());
  EXPECT_EQ(browser_->LastErrorCode(), kEUnexpected);
  engine_->FailOperation("WebView.Navigate", kEAccessDenied);
  browser_->Navigate("file:///c.html");
  EXPECT_EQ(browser_->LastErrorCode(), kEAccessDenied);
}

#if !defined(_WIN32)
TEST_F(EdgeBrowserTest, CloseBrowserProcessEndsAProcessThatDoesNotExitByItself) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  Create();
  engine_->browser_process_id = static_cast<std::uint32_t>(child);
  const auto start = std::chrono::steady_clock::now();
  browser_->CloseBrowserProcess();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);  // already reaped
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_FALSE(browser_->WebViewCreated());
}
#endif

// --- the hand-over to the UI thread -------------------------------------------------

TEST(UiDispatch, RunsAtOnceOnTheUiThreadAndQueuesFromOthers) {
  FakeUiDispatcher ui;
  ScopedUiDispatcher scoped(ui);
  int ran = 0;
  RunOnUiThread([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(ui.Pending(), 0u);

  std::thread::id ran_on;
  std::thread([&] { RunOnUiThread([&] { ran_on = std::this_thread::get_id(); }); }).join();
  EXPECT_EQ(ui.Pending(), 1u);
  ui.Drain();
  EXPECT_EQ(ran_on, std::this_thread::get_id());

  // What a queued procedure throws stays in the queue's runner.
  std::thread([&] { RunOnUiThread([] { throw std::runtime_error("x"); }); }).join();
  EXPECT_NO_THROW(ui.Drain());
}

TEST(UiDispatch, ARefusedPostFreesItsClosure) {
  FakeUiDispatcher ui;
  ScopedUiDispatcher scoped(ui);
  ui.refuse_posts = true;
  auto owned = std::make_shared<int>(7);
  std::weak_ptr<int> watch = owned;
  std::thread([&, owned = std::move(owned)]() mutable {
    RunOnUiThread([owned = std::move(owned)] {});
  }).join();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(ui.Pending(), 0u);
}

}  // namespace
}  // namespace tessel::shared
