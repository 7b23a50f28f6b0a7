// One contract suite for the engine seam, run against every engine: the fake
// always, WebKitGTK when a display is there (under xvfb-run in CTest), and on
// Windows the WebView2 adapter over the stand-in engine (under Wine). What the
// fake does here, the real engine must do too.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine.h"
#include "platform/engine_basics.h"
#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_ui_dispatch.h"

#if defined(TESSEL_ENGINE_MODULE)
#include <gtk/gtk.h>

#include <cstdlib>
#endif
#if defined(TESSEL_STANDIN_ENGINE)
#include <windows.h>
#endif

namespace tessel::platform {
namespace {

using namespace std::chrono_literals;

// What a test needs of an engine and its UI loop.
class EngineHarness {
 public:
  virtual ~EngineHarness() = default;
  // Empty when usable; otherwise why not (the test is skipped).
  virtual std::string Unavailable() = 0;
  virtual std::shared_ptr<EngineLoader> Loader() = 0;
  virtual NativeWindowHandle Window() = 0;
  // Runs the UI loop until `done` holds or `timeout` passes.
  virtual bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) = 0;
  // What the engine still holds once the test has let go of everything;
  // empty when it cannot tell.
  virtual std::string Leaks() { return {}; }
  // The calls the engine refused and the other faults it saw so far, one a
  // line; empty when none or when it cannot tell.
  virtual std::string Faults() { return {}; }
  // Makes the engine raise what the user or the system would cause: "key
  // KIND VK LPARAM", "move-focus REASON", "focus got|lost", "process-failed
  // KIND". False when this engine cannot be driven so (the case is skipped).
  virtual bool Play(EngineController& /*controller*/, const std::string& /*step*/) { return false; }
  // Whether a page's alert, confirm and prompt, run through ExecuteScript,
  // open the engine's dialogs (the fake runs no scripts).
  virtual bool RunsDialogScripts() { return false; }
  // Makes the shown top-level document post `json`, later; false when this
  // engine cannot be driven so.
  virtual bool PostFromPage(EngineController& controller, EngineWebView& /*web_view*/,
                            const std::string& json) {
    return Play(controller, "post " + json);
  }
  // Every JSON text the engine has handed to a document of the view so far;
  // false when it cannot tell.
  virtual bool Delivered(std::vector<std::string>* /*json*/) { return false; }
};

class FakeHarness : public EngineHarness {
 public:
  std::string Unavailable() override { return {}; }
  std::shared_ptr<EngineLoader> Loader() override {
    std::shared_ptr<EngineLoader> loader;
    engine_->OpenLibrary("fake", &loader);
    return loader;
  }
  NativeWindowHandle Window() override { return &window_; }
  bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
    return ui_.RunUntil(done, timeout);
  }
  bool Play(EngineController& controller, const std::string& step) override {
    const auto held = engine_->LastController();
    if (held.get() != &controller || held->closed()) return false;
    const std::weak_ptr<FakeController> fake = held;
    // Later, from the loop, as the engines do.
    ui_.Post([fake, step] {
      if (auto held = fake.lock(); held && !held->closed()) Raise(*held, step);
    });
    return true;
  }
  bool Delivered(std::vector<std::string>* json) override {
    const auto held = engine_->LastController();
    if (!held) return false;
    *json = held->web_view->posted_json;
    return true;
  }
  static void Raise(FakeController& controller, const std::string& step) {
    FakeController* fake = &controller;
    std::istringstream in(step);
    std::string verb;
    in >> verb;
    if (verb == "key") {
      auto args = std::make_shared<FakeAcceleratorKeyPressedEventArgs>();
      int kind = 0;
      std::uint32_t lparam = 0;
      in >> kind >> std::hex >> args->virtual_key >> lparam;
      args->kind = static_cast<KeyEventKind>(kind);
      args->lparam = static_cast<std::int32_t>(lparam);
      fake->accelerator_key_pressed.Raise(std::shared_ptr<AcceleratorKeyPressedEventArgs>(args));
    } else if (verb == "move-focus") {
      auto args = std::make_shared<FakeMoveFocusRequestedEventArgs>();
      int reason = 0;
      in >> reason;
      args->reason = static_cast<MoveFocusReason>(reason);
      fake->move_focus_requested.Raise(std::shared_ptr<MoveFocusRequestedEventArgs>(args));
    } else if (verb == "focus") {
      std::string which;
      in >> which;
      if (which == "got") {
        fake->got_focus.Raise();
      } else {
        fake->lost_focus.Raise();
      }
    } else if (verb == "post") {
      std::string json;
      std::getline(in >> std::ws, json);
      fake->web_view->RaiseWebMessage(json);
    } else if (verb == "process-failed") {
      auto args = std::make_shared<FakeProcessFailedEventArgs>();
      int kind = 0;
      in >> kind;
      args->kind = static_cast<ProcessFailedKind>(kind);
      fake->web_view->process_failed.Raise(std::shared_ptr<ProcessFailedEventArgs>(args));
      // The browser process takes the view with it.
      if (args->kind == ProcessFailedKind::kBrowserProcessExited) fake->Close();
    }
  }

 private:
  FakeUiDispatcher ui_;
  ScopedUiDispatcher scoped_{ui_};
  std::shared_ptr<FakeEngine> engine_ = MakeFakeEngine();
  int window_ = 0;
};

#if defined(TESSEL_ENGINE_MODULE)
class WebKitHarness : public EngineHarness {
 public:
  ~WebKitHarness() override {
    if (window_ != nullptr) gtk_widget_destroy(window_);
    Pump([] { return false; }, 50ms);
  }
  std::string Unavailable() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return "no DISPLAY (run under xvfb-run)";
    if (!gtk_init_check(nullptr, nullptr)) return "GTK cannot open the display";
    if (Failed(OpenNativeEngineLibrary(TESSEL_ENGINE_MODULE, &loader_))) {
      return "the engine module does not load";
    }
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 640, 480);
    layout_ = gtk_layout_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(window_), layout_);
    gtk_widget_show_all(window_);
    return {};
  }
  std::shared_ptr<EngineLoader> Loader() override { return loader_; }
  NativeWindowHandle Window() override { return layout_; }
  bool RunsDialogScripts() override { return true; }
  bool PostFromPage(EngineController& /*controller*/, EngineWebView& web_view,
                    const std::string& json) override {
    return Succeeded(web_view.ExecuteScript("window.chrome.webview.postMessage(" + json + ");",
                                            [](HRESULT, const std::string&) {}));
  }
  bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (g_main_context_iteration(nullptr, FALSE)) {
        if (done()) return true;
      }
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      g_usleep(1000);
    }
  }

 private:
  std::shared_ptr<EngineLoader> loader_;
  GtkWidget* window_ = nullptr;
  GtkWidget* layout_ = nullptr;
};
#endif

#if defined(TESSEL_STANDIN_ENGINE)
// The WebView2 adapter over the stand-in engine, in this process and on this
// thread's message loop. The view's parent is a message-only window, so the
// run needs no display.
class WebView2Harness : public EngineHarness {
 public:
  ~WebView2Harness() override {
    if (window_ != nullptr) DestroyWindow(window_);
    // The stand-in writes its leak report at exit: not into this case's log.
    SetEnvironmentVariableW(L"TESSEL_STANDIN_LOG", nullptr);
    if (!log_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(log_.parent_path(), ignored);
    }
  }
  std::string Unavailable() override {
    // The stand-in's log says which document each message reached.
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length > 0 && length <= MAX_PATH) {
      static int cases = 0;
      const auto folder = std::filesystem::path(temp) /
                          ("tessel-contract-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(++cases));
      std::error_code ignored;
      std::filesystem::create_directories(folder, ignored);
      log_ = folder / "standin.log";
      SetEnvironmentVariableW(L"TESSEL_STANDIN_LOG", log_.wstring().c_str());
    }
    if (Failed(OpenNativeEngineLibrary(TESSEL_STANDIN_ENGINE, &loader_))) {
      return "the stand-in engine does not load";
    }
    counts_ = reinterpret_cast<Counts>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"WebView2LoaderWin64.dll"), "TesselStandinCounts")));
    window_ = CreateWindowExW(0, L"STATIC", L"contract", 0, 0, 0, 640, 480, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    return window_ != nullptr ? std::string() : "no window";
  }
  std::shared_ptr<EngineLoader> Loader() override { return loader_; }
  NativeWindowHandle Window() override { return window_; }
  bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        if (done()) return true;
      }
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Sleep(1);
    }
  }
  bool Play(EngineController& /*controller*/, const std::string& step) override {
    using PlayStep = BOOL (*)(const char*);
    auto play = reinterpret_cast<PlayStep>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"WebView2LoaderWin64.dll"), "TesselStandinPlay")));
    return play != nullptr && play(step.c_str()) != FALSE;
  }
  bool RunsDialogScripts() override { return true; }
  bool Delivered(std::vector<std::string>* json) override {
    if (log_.empty()) return false;
    std::ifstream in(log_);
    json->clear();
    // "<pid> message-delivered <address> <json>"
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string pid, what, address, text;
      words >> pid >> what >> address;
      if (what != "message-delivered" || !std::getline(words >> std::ws, text)) continue;
      json->push_back(text);
    }
    return true;
  }
  std::string Faults() override {
    std::ifstream in(log_);
    std::string faults;
    // "<pid> error: <what>"
    for (std::string line; std::getline(in, line);) {
      if (line.find(" error: ") != std::string::npos) faults += line + "\n";
    }
    return faults;
  }
  std::string Leaks() override {
    if (counts_ == nullptr) return "the stand-in does not count";
    long objects = 0;
    long strings = 0;
    counts_(&objects, &strings);
    if (objects == 0 && strings == 0) return {};
    return std::to_string(objects) + " objects and " + std::to_string(strings) + " strings";
  }

 private:
  using Counts = void (*)(long*, long*);
  std::shared_ptr<EngineLoader> loader_;
  HWND window_ = nullptr;
  Counts counts_ = nullptr;
  std::filesystem::path log_;
};
#endif

using HarnessFactory = std::function<std::unique_ptr<EngineHarness>()>;

class EngineContract : public ::testing::TestWithParam<HarnessFactory> {
 protected:
  void SetUp() override {
    harness_ = GetParam()();
    const std::string why = harness_->Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ui_thread_ = std::this_thread::get_id();
  }

  void TearDown() override {
    if (controller_) controller_->Close();
    controller_.reset();
    web_view_.reset();
    environment_.reset();
    if (harness_ && !IsSkipped()) {
      harness_->Pump([] { return false; }, 20ms);
      // Every object released exactly once, every handed-out string freed,
      // every call made where and when the engine takes it.
      EXPECT_EQ(harness_->Leaks(), "");
      EXPECT_EQ(harness_->Faults(), "");
    }
  }

  void CreateEnvironment() {
    int calls = 0;
    HRESULT result = kEUnexpected;
    ASSERT_EQ(harness_->Loader()->CreateCoreWebView2Environment(
                  [&](HRESULT hr, std::shared_ptr<EngineEnvironment> environment) {
                    ++calls;
                    result = hr;
                    environment_ = std::move(environment);
                  }),
              kSOk);
    ASSERT_TRUE(harness_->Pump([&] { return calls > 0; }, 10s));
    harness_->Pump([] { return false; }, 50ms);
    ASSERT_EQ(calls, 1);
    ASSERT_EQ(result, kSOk);
    ASSERT_TRUE(environment_);
  }

  void CreateController() {
    ASSERT_NO_FATAL_FAILURE(CreateEnvironment());
    int calls = 0;
    bool inside_call = true;
    bool completed_inside_call = false;
    std::thread::id thread;
    HRESULT result = kEUnexpected;
    ASSERT_EQ(environment_->CreateCoreWebView2Controller(
                  harness_->Window(),
                  [&](HRESULT hr, std::shared_ptr<EngineController> controller) {
                    ++calls;
                    completed_inside_call = inside_call;
                    thread = std::this_thread::get_id();
                    result = hr;
                    controller_ = std::move(controller);
                  }),
              kSOk);
    inside_call = false;
    ASSERT_TRUE(harness_->Pump([&] { return calls > 0; }, 10s));
    harness_->Pump([] { return false; }, 50ms);
    ASSERT_EQ(calls, 1);
    EXPECT_FALSE(completed_inside_call);
    EXPECT_EQ(thread, ui_thread_);
    ASSERT_EQ(result, kSOk);
    ASSERT_TRUE(controller_);
    ASSERT_EQ(controller_->get_CoreWebView2(&web_view_), kSOk);
    ASSERT_TRUE(web_view_);
    ASSERT_EQ(controller_->put_Bounds(Rect{0, 0, 640, 480}), kSOk);
  }

  // Navigates and pumps until NavigationCompleted; returns its success.
  bool NavigateAndWait(const std::function<HRESULT()>& navigate) {
    int completed = 0;
    bool success = false;
    EventRegistrationToken token = 0;
    web_view_->add_NavigationCompleted(
        [&](const std::shared_ptr<NavigationCompletedEventArgs>& args) {
          ++completed;
          args->get_IsSuccess(&success);
          return kSOk;
        },
        &token);
    EXPECT_EQ(navigate(), kSOk);
    EXPECT_TRUE(harness_->Pump([&] { return completed > 0; }, 20s));
    web_view_->remove_NavigationCompleted(token);
    return success;
  }

  // The title once it has arrived: engines may report it just after the
  // navigation completed.
  std::string Title(const std::string& expected) {
    std::string title;
    harness_->Pump(
        [&] {
          web_view_->get_DocumentTitle(&title);
          return title == expected;
        },
        5s);
    return title;
  }

  std::unique_ptr<EngineHarness> harness_;
  std::thread::id ui_thread_;
  std::shared_ptr<EngineEnvironment> environment_;
  std::shared_ptr<EngineController> controller_;
  std::shared_ptr<EngineWebView> web_view_;
};

TEST_P(EngineContract, CreationCompletesOnceWithEveryObject) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  std::shared_ptr<EngineSettings> settings;
  EXPECT_EQ(web_view_->get_Settings(&settings), kSOk);
  EXPECT_TRUE(settings);
  std::string version;
  EXPECT_EQ(environment_->get_BrowserVersionString(&version), kSOk);
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(harness_->Loader()->GetCoreWebView2BrowserVersionString(&version), kSOk);
  EXPECT_FALSE(version.empty());
  std::string source;
  EXPECT_EQ(web_view_->get_Source(&source), kSOk);
  EXPECT_EQ(source, "about:blank");
}

TEST_P(EngineContract, BadArgumentsAreRefusedWithoutCompletions) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  EXPECT_EQ(environment_->CreateCoreWebView2Controller(harness_->Window(), nullptr), kEPointer);
  int calls = 0;
  EXPECT_EQ(environment_->CreateCoreWebView2Controller(
                nullptr, [&](HRESULT, const std::shared_ptr<EngineController>&) { ++calls; }),
            kEInvalidArg);
  EXPECT_EQ(web_view_->Navigate("not an address"), kEInvalidArg);
  EXPECT_EQ(web_view_->PostWebMessageAsJson("{broken"), kEInvalidArg);
  EXPECT_EQ(web_view_->PostWebMessageAsJson(R"({"ok":true})"), kSOk);
  EXPECT_EQ(controller_->put_ZoomFactor(0.0), kEInvalidArg);
  EXPECT_EQ(web_view_->RemoveWebResourceRequestedFilter("never-added", WebResourceContext::kAll),
            kEInvalidArg);
  std::shared_ptr<WebResourceResponse> response;
  EXPECT_EQ(environment_->CreateWebResourceResponse(nullptr, 0, "", "", &response), kEInvalidArg);
  harness_->Pump([] { return false; }, 100ms);
  EXPECT_EQ(calls, 0);
}

TEST_P(EngineContract, SettingsReadBackWhatWasPut) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  std::shared_ptr<EngineSettings> settings;
  ASSERT_EQ(web_view_->get_Settings(&settings), kSOk);
  using Get = HRESULT (EngineSettings::*)(bool*);
  using Put = HRESULT (EngineSettings::*)(bool);
  const std::pair<Get, Put> flags[] = {
      {&EngineSettings::get_IsScriptEnabled, &EngineSettings::put_IsScriptEnabled},
      {&EngineSettings::get_IsWebMessageEnabled, &EngineSettings::put_IsWebMessageEnabled},
      {&EngineSettings::get_AreDefaultScriptDialogsEnabled,
       &EngineSettings::put_AreDefaultScriptDialogsEnabled},
      {&EngineSettings::get_IsStatusBarEnabled, &EngineSettings::put_IsStatusBarEnabled},
      {&EngineSettings::get_AreDevToolsEnabled, &EngineSettings::put_AreDevToolsEnabled},
      {&EngineSettings::get_AreDefaultContextMenusEnabled,
       &EngineSettings::put_AreDefaultContextMenusEnabled},
      {&EngineSettings::get_IsZoomControlEnabled, &EngineSettings::put_IsZoomControlEnabled},
      {&EngineSettings::get_IsBuiltInErrorPageEnabled,
       &EngineSettings::put_IsBuiltInErrorPageEnabled},
  };
  for (const auto& [get, put] : flags) {
    bool value = false;
    EXPECT_EQ(((*settings).*get)(&value), kSOk);
    EXPECT_TRUE(value);  // every flag starts on
    EXPECT_EQ(((*settings).*put)(false), kSOk);
    EXPECT_EQ(((*settings).*get)(&value), kSOk);
    EXPECT_FALSE(value);
    EXPECT_EQ(((*settings).*put)(true), kSOk);
  }
}

TEST_P(EngineContract, NavigationEventsComeAfterTheCallInOrderWithOneId) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  std::vector<std::string> order;
  std::vector<std::uint64_t> ids;
  bool inside_call = false;
  bool raised_inside_call = false;
  bool off_ui_thread = false;
  auto note = [&](const std::string& name) {
    order.push_back(name);
    raised_inside_call = raised_inside_call || inside_call;
    off_ui_thread = off_ui_thread || std::this_thread::get_id() != ui_thread_;
  };
  EventRegistrationToken tokens[5] = {};
  web_view_->add_NavigationStarting(
      [&](const std::shared_ptr<NavigationStartingEventArgs>& args) {
        note("starting");
        std::uint64_t id = 0;
        args->get_NavigationId(&id);
        ids.push_back(id);
        return kSOk;
      },
      &tokens[0]);
  web_view_->add_ContentLoading(
      [&](const std::shared_ptr<ContentLoadingEventArgs>& args) {
        note("loading");
        std::uint64_t id = 0;
        args->get_NavigationId(&id);
        ids.push_back(id);
        return kSOk;
      },
      &tokens[1]);
  web_view_->add_DocumentTitleChanged(
      [&] {
        note("title");
        return kSOk;
      },
      &tokens[2]);
  int completed = 0;
  web_view_->add_NavigationCompleted(
      [&](const std::shared_ptr<NavigationCompletedEventArgs>& args) {
        note("completed");
        std::uint64_t id = 0;
        args->get_NavigationId(&id);
        ids.push_back(id);
        ++completed;
        return kSOk;
      },
      &tokens[3]);
  inside_call = true;
  ASSERT_EQ(web_view_->NavigateToString("<title>Contract</title><p>text</p>"), kSOk);
  inside_call = false;
  ASSERT_TRUE(harness_->Pump([&] { return completed > 0; }, 20s));
  EXPECT_EQ(Title("Contract"), "Contract");
  harness_->Pump([] { return false; }, 100ms);

  EXPECT_FALSE(raised_inside_call);
  EXPECT_FALSE(off_ui_thread);
  // The title may change before or after completion; the rest keeps its order.
  std::vector<std::string> navigation;
  std::copy_if(order.begin(), order.end(), std::back_inserter(navigation),
               [](const std::string& name) { return name != "title"; });
  EXPECT_EQ(navigation, (std::vector<std::string>{"starting", "loading", "completed"}));
  EXPECT_NE(std::find(order.begin(), order.end(), "title"), order.end());
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_NE(ids[0], 0u);
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_EQ(ids[1], ids[2]);
  std::string source;
  web_view_->get_Source(&source);
  EXPECT_EQ(source, "about:blank");
}

TEST_P(EngineContract, TokensRemoveExactlyWhatTheyAdded) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  int first = 0, second = 0;
  EventRegistrationToken a = 0, b = 0;
  ASSERT_EQ(web_view_->add_NavigationCompleted(
                [&](const std::shared_ptr<NavigationCompletedEventArgs>&) {
                  ++first;
                  return kSOk;
                },
                &a),
            kSOk);
  ASSERT_EQ(web_view_->add_NavigationCompleted(
                [&](const std::shared_ptr<NavigationCompletedEventArgs>&) {
                  ++second;
                  return kSOk;
                },
                &b),
            kSOk);
  EXPECT_NE(a, 0);
  EXPECT_NE(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(web_view_->remove_NavigationCompleted(a), kSOk);
  EXPECT_EQ(web_view_->remove_NavigationCompleted(a), kSOk);            // already gone
  EXPECT_EQ(web_view_->remove_NavigationCompleted(a + b + 999), kSOk);  // never handed out
  ASSERT_TRUE(NavigateAndWait([&] { return web_view_->NavigateToString("<p>one</p>"); }));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
}

TEST_P(EngineContract, FileAddressesAreAnsweredThroughTheResourceEvent) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  std::vector<std::string> requested;
  std::string method;
  EventRegistrationToken token = 0;
  web_view_->add_WebResourceRequested(
      [&](const std::shared_ptr<WebResourceRequestedEventArgs>& args) {
        std::shared_ptr<WebResourceRequest> request;
        args->get_Request(&request);
        std::string uri;
        request->get_Uri(&uri);
        request->get_Method(&method);
        requested.push_back(uri);
        std::shared_ptr<WebResourceResponse> response;
        environment_->CreateWebResourceResponse(
            MakeMemoryStream("<!DOCTYPE html><title>From host</title><p>hello</p>"), 200, "OK",
            "Content-Type: text/html; charset=utf-8", &response);
        args->put_Response(response);
        return kSOk;
      },
      &token);
  ASSERT_EQ(web_view_->AddWebResourceRequestedFilter("file:///*", WebResourceContext::kAll), kSOk);
  EXPECT_TRUE(NavigateAndWait([&] { return web_view_->Navigate("file:///contract/index.html"); }));
  ASSERT_FALSE(requested.empty());
  EXPECT_EQ(requested.front(), "file:///contract/index.html");
  EXPECT_EQ(method, "GET");
  EXPECT_EQ(Title("From host"), "From host");
  std::string source;
  web_view_->get_Source(&source);
  EXPECT_EQ(source, "file:///contract/index.html");
}

// A body the engine reads as it goes: every byte of a big one arrives, and a
// body that fails partway fails the load instead of arriving short.
class FailingStream : public Stream {
 public:
  FailingStream(std::uint64_t size, std::uint64_t fail_at) : size_(size), fail_at_(fail_at) {}
  HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (read != nullptr) *read = 0;
    if (position_ >= fail_at_) return kEFail;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, fail_at_ - position_));
    std::memset(buffer, 'x', n);
    position_ += n;
    if (read != nullptr) *read = n;
    return kSOk;
  }
  HRESULT Write(const void*, std::uint32_t, std::uint32_t*) override { return kEAccessDenied; }
  HRESULT Seek(std::int64_t move, StreamSeek origin, std::uint64_t* position) override {
    position_ = static_cast<std::uint64_t>(move) + (origin == StreamSeek::kEnd ? size_ : 0);
    if (position != nullptr) *position = position_;
    return kSOk;
  }
  HRESULT SetSize(std::uint64_t) override { return kEAccessDenied; }

 private:
  std::uint64_t size_;
  std::uint64_t fail_at_;
  std::uint64_t position_ = 0;
};

TEST_P(EngineContract, BigBodiesArriveWholeOrFail) {
#if defined(TESSEL_ENGINE_MODULE)
  if (dynamic_cast<WebKitHarness*>(harness_.get()) == nullptr) {
    GTEST_SKIP() << "only a real engine runs page scripts";
  }
#else
  GTEST_SKIP() << "only a real engine runs page scripts";
#endif
  ASSERT_NO_FATAL_FAILURE(CreateController());
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 12));
  std::uint32_t sum = 0;
  for (const char c : big) sum = sum * 31 + static_cast<unsigned char>(c);
  EventRegistrationToken token = 0;
  web_view_->add_WebResourceRequested(
      [&](const std::shared_ptr<WebResourceRequestedEventArgs>& args) {
        std::shared_ptr<WebResourceRequest> request;
        args->get_Request(&request);
        std::string uri;
        request->get_Uri(&uri);
        std::shared_ptr<Stream> body;
        std::string type = "Content-Type: application/octet-stream";
        if (uri.ends_with("/big.bin")) {
          body = MakeMemoryStream(big);
        } else if (uri.ends_with("/broken.bin")) {
          body = std::make_shared<FailingStream>(3 << 20, 2 << 20);
        } else {
          type = "Content-Type: text/html; charset=utf-8";
          body = MakeMemoryStream(
              "<!DOCTYPE html><script>"
              "const sum = (b) => { const a = new Uint8Array(b); let s = 0;"
              "  for (let i = 0; i < a.length; i++) s = (Math.imul(s, 31) + a[i]) >>> 0;"
              "  return a.length + ' ' + s; };"
              "fetch('big.bin').then((r) => r.arrayBuffer()).then(sum).then((whole) =>"
              "  fetch('broken.bin').then((r) => r.arrayBuffer()).then(sum)"
              "    .then((got) => whole + ' / arrived: ' + got, () => whole + ' / failed'))"
              "  .then((t) => { document.title = t; });"
              "</script>");
        }
        std::shared_ptr<WebResourceResponse> response;
        environment_->CreateWebResourceResponse(body, 200, "OK", type, &response);
        args->put_Response(response);
        return kSOk;
      },
      &token);
  ASSERT_EQ(web_view_->AddWebResourceRequestedFilter("file:///*", WebResourceContext::kAll), kSOk);
  EXPECT_TRUE(NavigateAndWait([&] { return web_view_->Navigate("file:///contract/index.html"); }));
  const std::string expected = std::to_string(big.size()) + " " + std::to_string(sum) + " / failed";
  EXPECT_EQ(Title(expected), expected);
}

TEST_P(EngineContract, UnansweredFileAddressesFallBackToTheDisk) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  const auto folder = std::filesystem::temp_directory_path() / "tessel engine contract";
  std::filesystem::create_directories(folder);
  const auto page = folder / "page.html";
  std::ofstream(page) << "<!DOCTYPE html><title>On disk</title><p>disk</p>";
  // Without a filter the host is never asked; a space is percent-encoded.
  const std::string uri = "file://" + (folder / "page.html").generic_string();
  std::string encoded;
  for (char c : uri) encoded += c == ' ' ? std::string("%20") : std::string(1, c);
  EXPECT_TRUE(NavigateAndWait([&] { return web_view_->Navigate(encoded); }));
  EXPECT_EQ(Title("On disk"), "On disk");
  NavigateAndWait([&] { return web_view_->Navigate("file:///no/such/tessel/page.html"); });
  EXPECT_EQ(Title("Not Found"), "Not Found");
  std::filesystem::remove_all(folder);
}

TEST_P(EngineContract, ScriptCompletionsComeOnceAfterTheCall) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  ASSERT_TRUE(NavigateAndWait([&] { return web_view_->NavigateToString("<p>script</p>"); }));
  int script_calls = 0, add_calls = 0;
  bool inside_call = true, completed_inside_call = false;
  HRESULT script_result = kEUnexpected, add_result = kEUnexpected;
  std::string json, id;
  ASSERT_EQ(web_view_->ExecuteScript("void 0",
                                     [&](HRESULT hr, const std::string& value) {
                                       ++script_calls;
                                       completed_inside_call |= inside_call;
                                       script_result = hr;
                                       json = value;
                                     }),
            kSOk);
  ASSERT_EQ(web_view_->AddScriptToExecuteOnDocumentCreated("window.x = 1;",
                                                           [&](HRESULT hr, const std::string& v) {
                                                             ++add_calls;
                                                             completed_inside_call |= inside_call;
                                                             add_result = hr;
                                                             id = v;
                                                           }),
            kSOk);
  inside_call = false;
  ASSERT_TRUE(harness_->Pump([&] { return script_calls > 0 && add_calls > 0; }, 10s));
  harness_->Pump([] { return false; }, 100ms);
  EXPECT_EQ(script_calls, 1);
  EXPECT_EQ(add_calls, 1);
  EXPECT_FALSE(completed_inside_call);
  EXPECT_EQ(script_result, kSOk);
  EXPECT_EQ(json, "null");
  EXPECT_EQ(add_result, kSOk);
  EXPECT_FALSE(id.empty());
  EXPECT_EQ(web_view_->RemoveScriptToExecuteOnDocumentCreated(id), kSOk);
}

TEST_P(EngineContract, CapturePreviewWritesAPngAtTheStreamPosition) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  ASSERT_TRUE(NavigateAndWait([&] {
    return web_view_->NavigateToString("<body style='background:#0a0'><h1>picture</h1></body>");
  }));
  auto stream = MakeMemoryStream();
  int calls = 0;
  HRESULT result = kEUnexpected;
  ASSERT_EQ(web_view_->CapturePreview(CapturePreviewImageFormat::kPng, stream,
                                      [&](HRESULT hr) {
                                        ++calls;
                                        result = hr;
                                      }),
            kSOk);
  ASSERT_TRUE(harness_->Pump([&] { return calls > 0; }, 10s));
  harness_->Pump([] { return false; }, 100ms);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result, kSOk);
  std::string bytes;
  ReadWholeStream(stream.get(), &bytes);
  EXPECT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");

  auto jpeg = MakeMemoryStream();
  calls = 0;
  ASSERT_EQ(web_view_->CapturePreview(CapturePreviewImageFormat::kJpeg, jpeg,
                                      [&](HRESULT hr) {
                                        ++calls;
                                        result = hr;
                                      }),
            kSOk);
  ASSERT_TRUE(harness_->Pump([&] { return calls > 0; }, 10s));
  EXPECT_EQ(result, kSOk);
  ReadWholeStream(jpeg.get(), &bytes);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
}

TEST_P(EngineContract, AfterCloseEverythingIsRefusedAndPendingWorkCompletesOnce) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  int events = 0;
  EventRegistrationToken token = 0;
  web_view_->add_NavigationCompleted(
      [&](const std::shared_ptr<NavigationCompletedEventArgs>&) {
        ++events;
        return kSOk;
      },
      &token);
  int calls = 0;
  ASSERT_EQ(web_view_->ExecuteScript("1 + 1", [&](HRESULT, const std::string&) { ++calls; }), kSOk);
  ASSERT_EQ(web_view_->NavigateToString("<p>never seen</p>"), kSOk);
  EXPECT_EQ(controller_->Close(), kSOk);
  EXPECT_EQ(controller_->Close(), kSOk);
  EXPECT_TRUE(harness_->Pump([&] { return calls > 0; }, 10s));
  harness_->Pump([] { return false; }, 300ms);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(web_view_->Navigate("about:blank"), kEInvalidState);
  EventRegistrationToken late = 0;
  EXPECT_EQ(web_view_->add_NavigationStarting(
                [](const std::shared_ptr<NavigationStartingEventArgs>&) { return kSOk; }, &late),
            kEInvalidState);
  EXPECT_EQ(controller_->put_Bounds(Rect{0, 0, 10, 10}), kEInvalidState);
  std::shared_ptr<EngineSettings> settings;
  EXPECT_EQ(web_view_->get_Settings(&settings), kEInvalidState);
}

TEST_P(EngineContract, ControllerStateReadsBack) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  const Rect bounds{10, 20, 210, 120};
  EXPECT_EQ(controller_->put_Bounds(bounds), kSOk);
  Rect read;
  EXPECT_EQ(controller_->get_Bounds(&read), kSOk);
  EXPECT_EQ(read, bounds);
  EXPECT_EQ(controller_->put_ZoomFactor(1.5), kSOk);
  double zoom = 0;
  EXPECT_EQ(controller_->get_ZoomFactor(&zoom), kSOk);
  EXPECT_DOUBLE_EQ(zoom, 1.5);
  EXPECT_EQ(controller_->put_IsVisible(false), kSOk);
  bool visible = true;
  EXPECT_EQ(controller_->get_IsVisible(&visible), kSOk);
  EXPECT_FALSE(visible);
}

// A page's dialogs reach the host only when the engine's own are off; the
// host's answer is what the page's call returns.
TEST_P(EngineContract, ScriptDialogsAreAnsweredByTheHost) {
  if (!harness_->RunsDialogScripts()) GTEST_SKIP() << "this engine runs no page dialogs";
  ASSERT_NO_FATAL_FAILURE(CreateController());
  ASSERT_TRUE(NavigateAndWait([&] { return web_view_->NavigateToString("<p>dialogs</p>"); }));
  std::shared_ptr<EngineSettings> settings;
  ASSERT_EQ(web_view_->get_Settings(&settings), kSOk);
  ASSERT_EQ(settings->put_AreDefaultScriptDialogsEnabled(false), kSOk);
  struct Seen {
    ScriptDialogKind kind = ScriptDialogKind::kBeforeUnload;
    std::string uri, message, default_text;
  };
  std::vector<Seen> seen;
  std::string answer;
  bool accept = false;
  EventRegistrationToken token = 0;
  ASSERT_EQ(web_view_->add_ScriptDialogOpening(
                [&](const std::shared_ptr<ScriptDialogOpeningEventArgs>& args) {
                  Seen one;
                  EXPECT_EQ(args->get_Kind(&one.kind), kSOk);
                  EXPECT_EQ(args->get_Uri(&one.uri), kSOk);
                  EXPECT_EQ(args->get_Message(&one.message), kSOk);
                  EXPECT_EQ(args->get_DefaultText(&one.default_text), kSOk);
                  seen.push_back(one);
                  if (!answer.empty()) {
                    EXPECT_EQ(args->put_ResultText(answer), kSOk);
                  }
                  if (accept) {
                    EXPECT_EQ(args->Accept(), kSOk);
                  }
                  return kSOk;
                },
                &token),
            kSOk);
  auto run = [&](const std::string& script) {
    int calls = 0;
    std::string json;
    EXPECT_EQ(web_view_->ExecuteScript(script,
                                       [&](HRESULT hr, const std::string& value) {
                                         ++calls;
                                         EXPECT_EQ(hr, kSOk);
                                         json = value;
                                       }),
              kSOk);
    EXPECT_TRUE(harness_->Pump([&] { return calls > 0; }, 10s)) << script;
    return json;
  };
  const struct {
    const char* script;
    std::string answer;
    bool accept;
    ScriptDialogKind kind;
    const char* message;
    const char* default_text;
    const char* result;
  } cases[] = {
      {R"(prompt("Name? \u00e9", "anon"))", "typed \xc3\xa9", true, ScriptDialogKind::kPrompt,
       "Name? \xc3\xa9", "anon", R"("typed \u00e9")"},
      {R"(prompt("Name?", "anon"))", "typed", false, ScriptDialogKind::kPrompt, "Name?", "anon",
       "null"},
      {R"(confirm("Sure?"))", "", true, ScriptDialogKind::kConfirm, "Sure?", "", "true"},
      {R"(confirm("Sure?"))", "", false, ScriptDialogKind::kConfirm, "Sure?", "", "false"},
      {R"(alert("Done"))", "", false, ScriptDialogKind::kAlert, "Done", "", "null"},
  };
  for (const auto& c : cases) {
    answer = c.answer;
    accept = c.accept;
    seen.clear();
    const std::string result = run(c.script);
    ASSERT_EQ(seen.size(), 1u) << c.script;
    EXPECT_EQ(seen[0].kind, c.kind) << c.script;
    EXPECT_EQ(seen[0].message, c.message) << c.script;
    EXPECT_EQ(seen[0].default_text, c.default_text) << c.script;
    EXPECT_EQ(seen[0].uri, "about:blank") << c.script;
    // A text may come escaped or plain.
    std::string want, text;
    if (DecodeJsonString(c.result, &want)) {
      EXPECT_TRUE(DecodeJsonString(result, &text)) << c.script << " gave " << result;
      EXPECT_EQ(text, want) << c.script;
    } else {
      EXPECT_EQ(result, c.result) << c.script;
    }
  }
  web_view_->remove_ScriptDialogOpening(token);
}

// The controller's key, focus and failure events with the arguments the
// engine gave; Handled reads back what the handler wrote.
TEST_P(EngineContract, ControllerAndProcessEventsCarryTheirArguments) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  if (!harness_->Play(*controller_, "focus lost")) {
    GTEST_SKIP() << "this engine cannot be driven from the test";
  }
  harness_->Pump([] { return false; }, 50ms);
  struct Key {
    KeyEventKind kind = KeyEventKind::kKeyDown;
    std::uint32_t virtual_key = 0;
    std::int32_t lparam = 0;
    bool handled = false;
  };
  std::vector<Key> keys;
  std::vector<std::pair<MoveFocusReason, bool>> moves;
  std::vector<ProcessFailedKind> failures;
  int got = 0, lost = 0;
  EventRegistrationToken tokens[5] = {};
  ASSERT_EQ(controller_->add_AcceleratorKeyPressed(
                [&](const std::shared_ptr<AcceleratorKeyPressedEventArgs>& args) {
                  Key key;
                  EXPECT_EQ(args->get_KeyEventKind(&key.kind), kSOk);
                  EXPECT_EQ(args->get_VirtualKey(&key.virtual_key), kSOk);
                  EXPECT_EQ(args->get_KeyEventLParam(&key.lparam), kSOk);
                  // F5 stays with the host; every other key goes on.
                  EXPECT_EQ(args->put_Handled(key.virtual_key == 0x74), kSOk);
                  EXPECT_EQ(args->get_Handled(&key.handled), kSOk);
                  keys.push_back(key);
                  return kSOk;
                },
                &tokens[0]),
            kSOk);
  ASSERT_EQ(controller_->add_MoveFocusRequested(
                [&](const std::shared_ptr<MoveFocusRequestedEventArgs>& args) {
                  auto reason = MoveFocusReason::kProgrammatic;
                  bool handled = false;
                  EXPECT_EQ(args->get_Reason(&reason), kSOk);
                  EXPECT_EQ(args->put_Handled(reason == MoveFocusReason::kPrevious), kSOk);
                  EXPECT_EQ(args->get_Handled(&handled), kSOk);
                  moves.emplace_back(reason, handled);
                  return kSOk;
                },
                &tokens[1]),
            kSOk);
  ASSERT_EQ(controller_->add_GotFocus(
                [&] {
                  ++got;
                  return kSOk;
                },
                &tokens[2]),
            kSOk);
  ASSERT_EQ(controller_->add_LostFocus(
                [&] {
                  ++lost;
                  return kSOk;
                },
                &tokens[3]),
            kSOk);
  ASSERT_EQ(web_view_->add_ProcessFailed(
                [&](const std::shared_ptr<ProcessFailedEventArgs>& args) {
                  auto kind = ProcessFailedKind::kBrowserProcessExited;
                  EXPECT_EQ(args->get_ProcessFailedKind(&kind), kSOk);
                  failures.push_back(kind);
                  return kSOk;
                },
                &tokens[4]),
            kSOk);
  for (const char* step :
       {"key 0 0x74 0x003F0001", "key 3 0x12 0xE0380001", "move-focus 1", "move-focus 2",
        "focus got", "focus lost", "process-failed 1", "process-failed 9"}) {
    ASSERT_TRUE(harness_->Play(*controller_, step)) << step;
  }
  ASSERT_TRUE(harness_->Pump([&] { return failures.size() == 2; }, 10s));
  harness_->Pump([] { return false; }, 50ms);

  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].kind, KeyEventKind::kKeyDown);
  EXPECT_EQ(keys[0].virtual_key, 0x74u);
  EXPECT_EQ(keys[0].lparam, 0x003F0001);
  EXPECT_TRUE(keys[0].handled);
  // A released system key: the top bits set, so the 32-bit value is negative.
  EXPECT_EQ(keys[1].kind, KeyEventKind::kSystemKeyUp);
  EXPECT_EQ(keys[1].virtual_key, 0x12u);
  EXPECT_EQ(keys[1].lparam, static_cast<std::int32_t>(0xE0380001u));
  EXPECT_FALSE(keys[1].handled);
  EXPECT_EQ(moves, (std::vector<std::pair<MoveFocusReason, bool>>{
                       {MoveFocusReason::kNext, false}, {MoveFocusReason::kPrevious, true}}));
  EXPECT_EQ(got, 1);
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(failures, (std::vector<ProcessFailedKind>{ProcessFailedKind::kRenderProcessExited,
                                                      ProcessFailedKind::kUnknownProcessExited}));
  // Removed handlers hear nothing more.
  controller_->remove_AcceleratorKeyPressed(tokens[0]);
  web_view_->remove_ProcessFailed(tokens[4]);
  ASSERT_TRUE(harness_->Play(*controller_, "key 0 0x41 0x001E0001"));
  ASSERT_TRUE(harness_->Play(*controller_, "process-failed 2"));
  ASSERT_TRUE(harness_->Play(*controller_, "focus got"));
  ASSERT_TRUE(harness_->Pump([&] { return got == 2; }, 10s));
  harness_->Pump([] { return false; }, 50ms);
  EXPECT_EQ(keys.size(), 2u);
  EXPECT_EQ(failures.size(), 2u);
}

// The browser process ending closes the view as Close would: work under way
// completes once, with a failure, and nothing more is raised or accepted.
TEST_P(EngineContract, WhenTheBrowserProcessEndsTheViewIsClosed) {
  ASSERT_NO_FATAL_FAILURE(CreateController());
  ASSERT_TRUE(NavigateAndWait([&] { return web_view_->NavigateToString("<p>crash</p>"); }));
  std::vector<ProcessFailedKind> failures;
  int focus = 0;
  EventRegistrationToken tokens[2] = {};
  web_view_->add_ProcessFailed(
      [&](const std::shared_ptr<ProcessFailedEventArgs>& args) {
        auto kind = ProcessFailedKind::kUnknownProcessExited;
        args->get_ProcessFailedKind(&kind);
        failures.push_back(kind);
        return kSOk;
      },
      &tokens[0]);
  controller_->add_GotFocus(
      [&] {
        ++focus;
        return kSOk;
      },
      &tokens[1]);
  if (!harness_->Play(*controller_, "process-failed 0")) {
    GTEST_SKIP() << "this engine cannot be driven from the test";
  }
  // Started before the engine goes, answered by nobody.
  int calls = 0;
  HRESULT result = kSOk;
  ASSERT_EQ(web_view_->ExecuteScript("1 + 1",
                                     [&](HRESULT hr, const std::string&) {
                                       ++calls;
                                       result = hr;
                                     }),
            kSOk);
  EXPECT_TRUE(harness_->Pump([&] { return calls > 0; }, 5s));
  harness_->Pump([] { return false; }, 200ms);
  EXPECT_EQ(failures, std::vector<ProcessFailedKind>{ProcessFailedKind::kBrowserProcessExited});
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(Failed(result));
  EXPECT_EQ(web_view_->Navigate("about:blank"), kEInvalidState);
  EXPECT_EQ(controller_->put_IsVisible(false), kEInvalidState);
  EXPECT_FALSE(harness_->Play(*controller_, "focus got"));
  harness_->Pump([] { return false; }, 100ms);
  EXPECT_EQ(focus, 0);
  EXPECT_EQ(controller_->Close(), kSOk);
}

TEST_P(EngineContract, ResponsesKeepWhatTheyWereMadeWith) {
  ASSERT_NO_FATAL_FAILURE(CreateEnvironment());
  std::shared_ptr<WebResourceResponse> response;
  ASSERT_EQ(environment_->CreateWebResourceResponse(MakeMemoryStream("body"), 404, "Not Found",
                                                    "Content-Type: text/plain\r\nX-A: 1\nX-A: 2",
                                                    &response),
            kSOk);
  int status = 0;
  std::string reason, type, repeated, body;
  response->get_StatusCode(&status);
  response->get_ReasonPhrase(&reason);
  std::shared_ptr<HttpResponseHeaders> headers;
  ASSERT_EQ(response->get_Headers(&headers), kSOk);
  headers->GetHeader("content-type", &type);
  headers->GetHeader("X-A", &repeated);
  std::shared_ptr<Stream> content;
  response->get_Content(&content);
  ReadWholeStream(content.get(), &body);
  EXPECT_EQ(status, 404);
  EXPECT_EQ(reason, "Not Found");
  EXPECT_EQ(type, "text/plain");
  EXPECT_EQ(repeated, "1, 2");
  EXPECT_EQ(body, "body");
}

INSTANTIATE_TEST_SUITE_P(Fake, EngineContract, ::testing::Values(HarnessFactory([] {
                           return std::unique_ptr<EngineHarness>(new FakeHarness);
                         })));
#if defined(TESSEL_STANDIN_ENGINE)
INSTANTIATE_TEST_SUITE_P(WebView2, EngineContract, ::testing::Values(HarnessFactory([] {
                           return std::unique_ptr<EngineHarness>(new WebView2Harness);
                         })));
#endif
#if defined(TESSEL_ENGINE_MODULE)
INSTANTIATE_TEST_SUITE_P(WebKit, EngineContract, ::testing::Values(HarnessFactory([] {
                           return std::unique_ptr<EngineHarness>(new WebKitHarness);
                         })));
#endif

// --- documents ------------------------------------------------------------------
// Trust follows the document that asks: every top-level document has an id
// of its own, messages name the one that posted, and a reply reaches only the
// document it is for.

class DocumentContract : public EngineContract {
 protected:
  void SetUp() override {
    EngineContract::SetUp();
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(CreateController());
    web_view_->add_ContentLoading(
        [this](const std::shared_ptr<ContentLoadingEventArgs>& args) {
          std::uint64_t id = 0;
          EXPECT_EQ(args->get_DocumentId(&id), kSOk);
          loaded_.push_back(id);
          return kSOk;
        },
        &loading_token_);
    web_view_->add_WebMessageReceived(
        [this](const std::shared_ptr<WebMessageReceivedEventArgs>& args) {
          std::uint64_t id = 0;
          EXPECT_EQ(args->get_DocumentId(&id), kSOk);
          std::string json;
          args->get_WebMessageAsJson(&json);
          messages_.emplace_back(id, json);
          return kSOk;
        },
        &message_token_);
  }

  // Shows a new document; its id, from its ContentLoading.
  std::uint64_t Show(const std::function<HRESULT()>& navigate) {
    const std::size_t before = loaded_.size();
    EXPECT_TRUE(NavigateAndWait(navigate));
    EXPECT_EQ(loaded_.size(), before + 1);
    return loaded_.size() > before ? loaded_.back() : 0;
  }

  // The id the shown document's message carries; skips the case when the
  // page cannot be made to post.
  std::uint64_t PostedFrom(const std::string& json) {
    const std::size_t before = messages_.size();
    if (!harness_->PostFromPage(*controller_, *web_view_, json)) return 0;
    EXPECT_TRUE(harness_->Pump([&] { return messages_.size() > before; }, 10s)) << json;
    if (messages_.size() <= before) return 0;
    EXPECT_EQ(messages_.back().second, json);
    return messages_.back().first;
  }

  // Whether `json` reached a document; false also when the engine cannot tell.
  bool WasDelivered(const std::string& json) {
    std::vector<std::string> delivered;
    return harness_->Delivered(&delivered) &&
           std::find(delivered.begin(), delivered.end(), json) != delivered.end();
  }

  std::vector<std::uint64_t> loaded_;
  std::vector<std::pair<std::uint64_t, std::string>> messages_;
  EventRegistrationToken loading_token_ = 0;
  EventRegistrationToken message_token_ = 0;
};

TEST_P(DocumentContract, EveryTopLevelDocumentGetsAnIdNeverUsedBefore) {
  Show([&] { return web_view_->NavigateToString("<title>one</title><p>1</p>"); });
  Show([&] { return web_view_->NavigateToString("<title>two</title><p>2</p>"); });
  bool can = false;
  ASSERT_EQ(web_view_->get_CanGoBack(&can), kSOk);
  // The same entries again are new documents, and so is a reload. (WebKitGTK
  // keeps no history entry for a document made from a string.)
  if (can) {
    Show([&] { return web_view_->GoBack(); });
    Show([&] { return web_view_->GoForward(); });
  }
  Show([&] { return web_view_->Reload(); });
  ASSERT_EQ(loaded_.size(), can ? 5u : 3u);
  for (const std::uint64_t id : loaded_) EXPECT_NE(id, 0u);
  std::vector<std::uint64_t> sorted = loaded_;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
      << "an id was used twice";
}

TEST_P(DocumentContract, AMessageCarriesTheIdOfTheDocumentThatPosted) {
  const std::uint64_t first = Show([&] { return web_view_->NavigateToString("<p>first</p>"); });
  if (!harness_->PostFromPage(*controller_, *web_view_, R"({"probe":1})")) {
    GTEST_SKIP() << "this engine's page cannot be made to post";
  }
  ASSERT_TRUE(harness_->Pump([&] { return !messages_.empty(); }, 10s));
  EXPECT_EQ(messages_.back().first, first);
  const std::uint64_t second = Show([&] { return web_view_->NavigateToString("<p>second</p>"); });
  EXPECT_NE(second, first);
  EXPECT_EQ(PostedFrom(R"({"probe":2})"), second);
}

TEST_P(DocumentContract, AReplyReachesOnlyTheDocumentItIsFor) {
  const std::uint64_t first = Show([&] { return web_view_->NavigateToString("<p>first</p>"); });
  const std::string early = R"({"reply":"while shown"})";
  EXPECT_EQ(web_view_->PostWebMessageAsJsonToDocument(first, early), kSOk);
  const std::uint64_t second = Show([&] { return web_view_->NavigateToString("<p>second</p>"); });

  struct Case {
    const char* what;
    std::uint64_t document;
    std::string json;
    HRESULT expected;
  };
  const Case cases[] = {
      {"the document before", first, R"({"reply":"too late"})", kSFalse},
      {"no document", 0, R"({"reply":"to none"})", kSFalse},
      {"a document still to come", second + 1, R"({"reply":"too soon"})", kSFalse},
      {"the shown one, broken JSON", second, "{broken", kEInvalidArg},
      {"the shown one", second, R"({"reply":"in time"})", kSOk},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(web_view_->PostWebMessageAsJsonToDocument(c.document, c.json), c.expected) << c.what;
  }
  harness_->Pump([] { return false; }, 100ms);
  std::vector<std::string> delivered;
  if (harness_->Delivered(&delivered)) {
    EXPECT_TRUE(WasDelivered(early));
    EXPECT_TRUE(WasDelivered(R"({"reply":"in time"})"));
    for (const Case& c : cases) {
      if (c.expected != kSOk) {
        EXPECT_FALSE(WasDelivered(c.json)) << c.what;
      }
    }
  }

  controller_->Close();
  EXPECT_EQ(web_view_->PostWebMessageAsJsonToDocument(second, R"({"reply":"closed"})"),
            kEInvalidState);
}

INSTANTIATE_TEST_SUITE_P(Fake, DocumentContract, ::testing::Values(HarnessFactory([] {
                           return std::unique_ptr<EngineHarness>(new FakeHarness);
                         })));
#if defined(TESSEL_STANDIN_ENGINE)
INSTANTIATE_TEST_SUITE_P(WebView2, DocumentContract, ::testing::Values(HarnessFactory([] {
                           return std::unique_ptr<EngineHarness>(new WebView2Harness);
                         })));
#endif
#if defined(TESSEL_ENGINE_MODULE)
INSTANTIATE_TEST_SUITE_P(WebKit, DocumentContract, ::testing::Values(HarnessFactory([] {
                           return std::unique_ptr<EngineHarness>(new WebKitHarness);
                         })));
#endif

}  // namespace
}  // namespace tessel::platform
