#include "shared/browser_form.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>
#include <span>
#include <sstream>

#include "platform/engine_basics.h"
#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_native_view.h"
#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui_dispatch.h"
#include "shared/bridge_script.h"
#include "shared/mime_table.h"
#include "shared/program_constants.h"
#include "shared/relaunch_proof.h"
#include "shared/zip_writer.h"

namespace tessel::shared {
namespace {

using namespace platform;

const NativeWindowHandle kClientArea = reinterpret_cast<NativeWindowHandle>(0x4242);

const std::string kDragOver =
    "window.addEventListener(\"dragover\", function(e){e.preventDefault();},false);";
const std::string kDrop =
    "window.addEventListener(\"drop\", function(e){e.preventDefault();}, false);";
const std::string kClick =
    "window.addEventListener(\"click\", function () "
    "{window.chrome.webview.postMessage(\"vtx-webbrowser-clicked\");});";

// What the host asked of its visible parts, in order.
class RecordingView : public IBrowserFormView {
 public:
  std::vector<std::string> calls;
  void SetBusyBarVisible(bool visible) override {
    calls.push_back(visible ? "busy bar shown" : "busy bar hidden");
  }
  void FocusParentOfParent() override { calls.push_back("focus parent of parent"); }
  // The answer the user gives the save dialog of a download.
  std::optional<std::string> download_path;
  std::optional<std::string> ChooseDownloadPath(const std::string& suggested_name,
                                                const std::string& site) override {
    calls.push_back("save dialog for " + suggested_name + (site.empty() ? "" : " from " + site));
    return download_path;
  }
};

// One host over the fake engine, the fake UI queue and the fake OS, with a
// small app archive.
class BrowserFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCachedMimeTable();
    os_.executable_path = "/opt/app/tessel-app";
    // A relaunch leaves its token in the app's data folder.
    data_root_ = std::filesystem::temp_directory_path() /
                 ("tessel-browser-form-" +
                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(data_root_ / "com.example.app");
    os_.local_app_data_path = data_root_.string();
    SetEngineLibraryOpener(engine_->Opener());
    SetLoaderLibraryPath("/opt/engine/loader.so");
    SetApplicationExceptionHandler(
        [this](const std::exception& error) { errors_.push_back(error.what()); });

    std::ostringstream out;
    TZipWriter writer(out, std::string(kAppArchivePassword));
    writer.AddEntry("webapp/index.html", "<title>Served from the archive</title>", {});
    writer.AddEntry("webapp/help.html", "<title>Help</title>", {});
    writer.Finish();
    archive_ = out.str();
    zip_.SetPassword(std::string(kAppArchivePassword));
    zip_.SetStream(std::span(reinterpret_cast<const uint8_t*>(archive_.data()), archive_.size()));
  }

  void TearDown() override {
    form_.reset();
    ui_.Drain();
    EXPECT_TRUE(errors_.empty()) << testing::PrintToString(errors_);
    SetEngineLibraryOpener({});
    SetLoaderLibraryPath("");
    SetApplicationExceptionHandler({});
    ResetCachedMimeTable();
    std::error_code ignored;
    std::filesystem::remove_all(data_root_, ignored);
  }

  // FormCreate; the engine is not ready before the loop runs.
  void CreateForm() {
    auto native = std::make_unique<FakeNativeView>();
    native_ = native.get();
    form_ = std::make_unique<TBrowserForm>(std::move(native), kClientArea, &view_);
  }

  // The main window's settings for a runtime host.
  void ConfigureAsRuntime() {
    form_->SetExeZip(&zip_);
    form_->SetIsRuntime(true);
    form_->SetAppDirName("webapp");
    form_->SetHandleRequests(true);
    form_->SetRuntimeAppID("com.example.app");
    form_->SetWithExternal(true);
    form_->SetExternalScript("window.vtx = {};");
    form_->SetStartPageURL("file:///index.html");
  }

  // Runs the loop until the engine reported, then everything that followed.
  void RunUntilReady() {
    ASSERT_TRUE(ui_.RunUntil([&] {
      const auto state = form_->EdgeBrowser().BrowserControlState();
      return state == TBrowserControlState::Created || state == TBrowserControlState::Failed;
    }));
    ui_.Drain();
  }

  std::shared_ptr<FakeWebView> WebView() { return engine_->LastWebView(); }

  // The shown document announces `what` as the intent script would; true
  // when the host took the message as an announcement.
  bool Announce(const std::string& what, std::uint64_t document = 0,
                const std::string& source = {}) {
    FakeWebMessageReceivedEventArgs args;
    args.source = source.empty() ? WebView()->source : source;
    args.document_id = document != 0 ? document : WebView()->document_id;
    args.json = EncodeJsonString("vtx-intent " + what);
    return form_->TakeAnnouncement(args);
  }

  std::vector<std::string> CallsStartingWithAny(const std::vector<std::string>& prefixes) {
    std::vector<std::string> result;
    for (const auto& call : engine_->Calls()) {
      for (const auto& prefix : prefixes) {
        if (call.rfind(prefix, 0) == 0) {
          result.push_back(call);
          break;
        }
      }
    }
    return result;
  }

  FakeUiDispatcher ui_;
  ScopedUiDispatcher scoped_ui_{ui_};
  FakeOs os_;
  ScopedOs scoped_os_{os_};
  std::shared_ptr<FakeEngine> engine_ = MakeFakeEngine();
  std::string archive_;
  TExeZip zip_;
  RecordingView view_;
  FakeNativeView* native_ = nullptr;
  std::unique_ptr<TBrowserForm> form_;
  std::filesystem::path data_root_;
  std::vector<std::string> errors_;
};

// --- creation and set-up ---------------------------------------------------------

TEST_F(BrowserFormTest, FormCreateParentsTheWebViewAndSetsTheFieldsToTheirStart) {
  CreateForm();
  EXPECT_EQ(native_->Parent(), kClientArea);
  EXPECT_EQ(form_->EdgeBrowser().BrowserControlState(), TBrowserControlState::Creating);
  EXPECT_EQ(form_->AppDirPath(), "/opt/app/");
  EXPECT_EQ(form_->ExeZip(), nullptr);
  EXPECT_FALSE(form_->IsRuntime());
  EXPECT_FALSE(form_->WithExternal());
  EXPECT_FALSE(form_->HandleRequests());
  EXPECT_FALSE(form_->AllowDebug());
  EXPECT_FALSE(form_->AllowContextMenu());
  EXPECT_TRUE(form_->StartPageURL().empty());
  EXPECT_TRUE(form_->BusyBarVisible());
  EXPECT_EQ(view_.calls, std::vector<std::string>{"busy bar shown"});
  // Nothing reaches the engine before the loop runs.
  EXPECT_FALSE(WebView());
}

TEST_F(BrowserFormTest, AppDirPathIsEmptyWhenTheExecutableIsUnknown) {
  os_.executable_path.clear();
  CreateForm();
  EXPECT_EQ(form_->AppDirPath(), "");
}

TEST_F(BrowserFormTest, EachCreationRegistersScriptThenSettingsThenFilterThenNavigates) {
  const struct {
    bool allow_debug;
    bool allow_context_menu;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.allow_debug << c.allow_context_menu);
    engine_->ClearCalls();
    CreateForm();
    ConfigureAsRuntime();
    form_->SetAllowDebug(c.allow_debug);
    form_->SetAllowContextMenu(c.allow_context_menu);
    RunUntilReady();

    const std::vector<std::string> expected = {
        "WebView.get_Settings",  // the end of the component's creation
        "WebView.AddScriptToExecuteOnDocumentCreated",
        "Settings.put_IsScriptEnabled",
        "Settings.put_IsStatusBarEnabled",
        "Settings.put_IsZoomControlEnabled",
        "Settings.put_IsWebMessageEnabled",
        "Settings.put_IsBuiltInErrorPageEnabled",
        "Settings.put_AreDevToolsEnabled",
        "Settings.put_AreDefaultContextMenusEnabled",
        "WebView.AddWebResourceRequestedFilter(*,0)",
        "WebView.Navigate(file:///index.html)",
    };
    EXPECT_EQ(CallsStartingWithAny({"WebView.get_Settings", "WebView.AddScript", "Settings.",
                                    "WebView.AddWebResource", "WebView.Navigate"}),
              expected);
    const auto& settings = *WebView()->settings;
    EXPECT_TRUE(settings.script_enabled);
    EXPECT_FALSE(settings.status_bar_enabled);
    EXPECT_FALSE(settings.zoom_control_enabled);
    EXPECT_TRUE(settings.web_message_enabled);
    EXPECT_TRUE(settings.built_in_error_page_enabled);
    EXPECT_EQ(settings.dev_tools_enabled, c.allow_debug);
    EXPECT_EQ(settings.default_context_menus_enabled, c.allow_context_menu);
    // Script dialogs keep the engine's default.
    EXPECT_TRUE(settings.default_script_dialogs_enabled);
    ASSERT_EQ(WebView()->filters.size(), 1u);
    EXPECT_EQ(WebView()->filters[0].uri, "*");
    EXPECT_EQ(WebView()->filters[0].context, WebResourceContext::kAll);
    form_.reset();
  }
}

TEST_F(BrowserFormTest, TheStartPageIsServedFromTheArchive) {
  std::vector<TServedResource> served;
  CreateForm();
  ConfigureAsRuntime();
  form_->OnResourceServed = [&](const TServedResource& resource) { served.push_back(resource); };
  RunUntilReady();
  EXPECT_EQ(WebView()->source, "file:///index.html");
  EXPECT_EQ(WebView()->title, "Served from the archive");
  ASSERT_EQ(served.size(), 1u);
  EXPECT_EQ(served[0].Origin, TResourceOrigin::Archive);
  EXPECT_EQ(served[0].Location, "webapp/index.html");
  EXPECT_EQ(served[0].MimeType, "text/html");
}

TEST_F(BrowserFormTest, WithoutHandleRequestsEveryRequestIsLeftToTheEngine) {
  CreateForm();
  ConfigureAsRuntime();
  form_->SetHandleRequests(false);
  RunUntilReady();
  EXPECT_NE(WebView()->title, "Served from the archive");

  auto args = std::make_shared<FakeWebResourceRequestedEventArgs>();
  args->request = std::make_shared<BasicWebResourceRequest>("file:///index.html", "GET");
  WebView()->web_resource_requested.Raise(std::shared_ptr<WebResourceRequestedEventArgs>(args));
  EXPECT_FALSE(args->response);

  form_->SetHandleRequests(true);
  WebView()->web_resource_requested.Raise(std::shared_ptr<WebResourceRequestedEventArgs>(args));
  EXPECT_TRUE(args->response);
}

TEST_F(BrowserFormTest, WithoutAStartPageNothingIsNavigated) {
  CreateForm();
  ConfigureAsRuntime();
  form_->SetStartPageURL("");
  RunUntilReady();
  EXPECT_TRUE(engine_->CallsStartingWith("WebView.Navigate").empty());
  EXPECT_EQ(WebView()->document_scripts.size(), 1u);
}

TEST_F(BrowserFormTest, ANewNativeWindowGetsTheWholeSetUpAgain) {
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  const auto first = WebView();
  native_->RecreateHandle();
  RunUntilReady();
  const auto second = WebView();
  ASSERT_NE(first, second);
  EXPECT_EQ(second->document_scripts.size(), 1u);
  EXPECT_EQ(second->filters.size(), 1u);
  EXPECT_FALSE(second->settings->status_bar_enabled);
  EXPECT_EQ(second->source, "file:///index.html");
  EXPECT_EQ(second->title, "Served from the archive");
}

TEST_F(BrowserFormTest, AFailedCreationLeavesTheBusyBarAndTheEngineAlone) {
  engine_->controller_result = kEFail;
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  EXPECT_EQ(form_->EdgeBrowser().BrowserControlState(), TBrowserControlState::Failed);
  EXPECT_TRUE(CallsStartingWithAny({"WebView.", "Settings."}).empty());
  EXPECT_TRUE(form_->BusyBarVisible());
  EXPECT_EQ(view_.calls, std::vector<std::string>{"busy bar shown"});
}

// --- the document script ---------------------------------------------------------

TEST_F(BrowserFormTest, TheDocumentScriptIsBuiltFromItsPartsInOrder) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::string kIntent(IntentScript());
  const struct {
    const char* name;
    bool with_external;
    std::string external;
    bool is_runtime;
    std::string app_script;
    std::string expected;
  } cases[] = {
      {"bare host", false, "window.vtx = {};", false, "app();",
       "\r" + kDragOver + "\r" + kDrop + "\r" + kClick},
      {"runtime with everything", true, bom + "window.vtx = {};", true, "app();",
       "\r" + bom + "window.vtx = {};\r" + kDragOver + "\r" + kDrop + "\r" + kIntent + "\rapp();"},
      {"runtime without the bridge", false, "window.vtx = {};", true, "app();",
       "\r" + kDragOver + "\r" + kDrop + "\r" + kIntent + "\rapp();"},
      {"blank app script", true, "B", true, " \t\r\n \x01 ",
       "\rB\r" + kDragOver + "\r" + kDrop + "\r" + kIntent},
      {"empty app script", true, "B", true, "",
       "\rB\r" + kDragOver + "\r" + kDrop + "\r" + kIntent},
      {"app script kept untrimmed", false, "", true, "  app();\n",
       "\r" + kDragOver + "\r" + kDrop + "\r" + kIntent + "\r  app();\n"},
      // A non-ASCII character is not blank.
      {"app script of a no-break space", false, "", true, "\xC2\xA0",
       "\r" + kDragOver + "\r" + kDrop + "\r" + kIntent + "\r\xC2\xA0"},
      {"empty bridge script still separated", true, "", false, "",
       "\r\r" + kDragOver + "\r" + kDrop + "\r" + kClick},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine_->ClearCalls();
    CreateForm();
    form_->SetWithExternal(c.with_external);
    form_->SetExternalScript(c.external);
    form_->SetIsRuntime(c.is_runtime);
    form_->SetWebviewJavascript(c.app_script);
    RunUntilReady();
    ASSERT_EQ(WebView()->document_scripts.size(), 1u);
    EXPECT_EQ(WebView()->document_scripts[0].second, c.expected);
    EXPECT_EQ(BuildDocumentScript(c.with_external, c.external, c.is_runtime, c.app_script),
              c.expected);
    form_.reset();
  }
}

TEST_F(BrowserFormTest, TheBuiltInBridgeScriptIsRegisteredWholeWithItsByteOrderMark) {
  CreateForm();
  form_->SetWithExternal(true);
  form_->SetIsRuntime(true);
  RunUntilReady();
  ASSERT_EQ(WebView()->document_scripts.size(), 1u);
  const std::string& script = WebView()->document_scripts[0].second;
  EXPECT_EQ(script, "\r" + std::string(BridgeScript()) + "\r" + kDragOver + "\r" + kDrop + "\r" +
                        std::string(IntentScript()));
  EXPECT_EQ(script.substr(0, 4), "\r\xEF\xBB\xBF");
}

// Diagnostics: a script ahead of all others, and the "file:" requests that
// nothing served.
TEST_F(BrowserFormTest, DiagnosticsGetTheFirstScriptAndTheUnservedFileRequests) {
  std::vector<std::string> unserved;
  CreateForm();
  ConfigureAsRuntime();
  form_->SetDiagnosticScript("diagnose();");
  form_->OnResourceUnserved = [&](const std::string& uri) { unserved.push_back(uri); };
  RunUntilReady();
  ASSERT_EQ(WebView()->document_scripts.size(), 1u);
  const std::string& script = WebView()->document_scripts[0].second;
  EXPECT_EQ(script.substr(0, 13), "\rdiagnose();\r");

  for (const char* uri : {"file:///missing.css", "file:///index.html", "https://example.com/a.js",
                          "FILE:///Missing.js"}) {
    auto args = std::make_shared<FakeWebResourceRequestedEventArgs>();
    args->request = std::make_shared<BasicWebResourceRequest>(uri, "GET");
    WebView()->web_resource_requested.Raise(std::shared_ptr<WebResourceRequestedEventArgs>(args));
  }
  EXPECT_EQ(unserved, (std::vector<std::string>{"file:///missing.css", "FILE:///Missing.js"}));
}

// --- busy bar --------------------------------------------------------------------

TEST_F(BrowserFormTest, TheBusyBarGoesAtTheFirstCompletedNavigationEvenAFailedOne) {
  for (const bool success : {true, false}) {
    SCOPED_TRACE(success);
    view_.calls.clear();
    CreateForm();
    RunUntilReady();
    EXPECT_TRUE(form_->BusyBarVisible());
    auto completed = std::make_shared<FakeNavigationCompletedEventArgs>();
    completed->success = success;
    completed->status = success ? WebErrorStatus::kUnknown : WebErrorStatus::kCannotConnect;
    WebView()->navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
    EXPECT_FALSE(form_->BusyBarVisible());
    // It never comes back, and it is hidden once.
    WebView()->navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
    EXPECT_EQ(view_.calls, (std::vector<std::string>{"busy bar shown", "busy bar hidden"}));
    form_.reset();
  }
}

TEST_F(BrowserFormTest, TheBusyBarGoesWhenTheStartPageHasLoaded) {
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  EXPECT_FALSE(form_->BusyBarVisible());
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"busy bar shown", "busy bar hidden"}));
}

// --- new windows -----------------------------------------------------------------

TEST_F(BrowserFormTest, TheAppsPagesOpenInANewInstanceOtherLocalFilesNowhere) {
  const struct {
    bool is_runtime;
    const char* uri;
    bool shell_start_result;
    bool handled;
    bool relaunched;
  } cases[] = {
      {true, "file:///help.html", true, true, true},
      {true, "file:///HELP.html#top", true, true, true},
      // Marked handled even when the start fails: nothing opens.
      {true, "file:///help.html", false, true, true},
      // A local file that is not the app's: no window and no new instance.
      {true, "FILE:///C:/Docs/Read%20me.html", true, true, false},
      {true, "file:///home/u/Downloads/payload.html", true, true, false},
      {true, "File:notes.html", true, true, false},
      {true, "https://example.com/", true, false, false},
      {true, "about:blank", true, false, false},
      {true, "files.html", true, false, false},
      {true, "", true, false, false},
      {false, "file:///help.html", true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    os_.variable_starts.clear();
    os_.start_with_variable_result = c.shell_start_result;
    CreateForm();
    ConfigureAsRuntime();
    form_->SetIsRuntime(c.is_runtime);
    RunUntilReady();
    // The app's page announces what it opens.
    EXPECT_TRUE(Announce(std::string("window ") + c.uri));
    auto args = std::make_shared<FakeNewWindowRequestedEventArgs>();
    args->uri = c.uri;
    WebView()->new_window_requested.Raise(std::shared_ptr<NewWindowRequestedEventArgs>(args));
    EXPECT_EQ(args->handled, c.handled);
    if (c.relaunched) {
      ASSERT_EQ(os_.variable_starts.size(), 1u);
      EXPECT_EQ(os_.variable_starts[0].file, "/opt/app/tessel-app");
      EXPECT_EQ(os_.variable_starts[0].args, std::string("\"com.example.app\" \"") + c.uri + "\"");
      EXPECT_EQ(os_.variable_starts[0].name, kRelaunchTokenVariable);
    } else {
      EXPECT_TRUE(os_.variable_starts.empty());
    }
    EXPECT_TRUE(os_.shell_starts.empty());
    form_.reset();
  }
}

TEST_F(BrowserFormTest, ANewWindowWhoseAddressCannotBeReadIsLeftToTheEngine) {
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  auto args = std::make_shared<FakeNewWindowRequestedEventArgs>();
  args->uri = "file:///help.html";
  args->fail["get_Uri"] = kEFail;
  WebView()->new_window_requested.Raise(std::shared_ptr<NewWindowRequestedEventArgs>(args));
  EXPECT_FALSE(args->handled);
  EXPECT_TRUE(os_.variable_starts.empty());
}

TEST_F(BrowserFormTest, OnlyAnAnnouncementOfTheShownAppDocumentOpensAnInstanceOnce) {
  // A frame or a window the page opened cannot announce as the top-level
  // document; the engine does not say which of them asked.
  const struct {
    const char* name;
    std::function<void()> announce;
  } cases[] = {
      {"nobody announced (a frame asked)", [] {}},
      {"another page announced", [this] { Announce("window file:///other.html"); }},
      {"a document before the shown one",
       [this] { Announce("window file:///help.html", WebView()->document_id - 1); }},
      {"a document the engine never showed",
       [this] { Announce("window file:///help.html", std::numeric_limits<std::uint64_t>::max()); }},
      {"a foreign address of the shown document",
       [this] { Announce("window file:///help.html", 0, "https://example.com/"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    os_.variable_starts.clear();
    CreateForm();
    ConfigureAsRuntime();
    RunUntilReady();
    WebView()->Navigate("file:///index.html#again");  // a second document
    ui_.Drain();
    c.announce();
    auto args = std::make_shared<FakeNewWindowRequestedEventArgs>();
    args->uri = "file:///help.html";
    WebView()->new_window_requested.Raise(std::shared_ptr<NewWindowRequestedEventArgs>(args));
    EXPECT_TRUE(args->handled);
    EXPECT_TRUE(os_.variable_starts.empty());
    form_.reset();
  }

  // One announcement, one instance.
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  auto request = [&] {
    auto args = std::make_shared<FakeNewWindowRequestedEventArgs>();
    args->uri = "file:///help.html";
    WebView()->new_window_requested.Raise(std::shared_ptr<NewWindowRequestedEventArgs>(args));
  };
  Announce("window file:///help.html");
  request();
  request();
  EXPECT_EQ(os_.variable_starts.size(), 1u);
  // A request that came before its announcement (the page's channel opens
  // only once the engine has handed the document its key) starts when the
  // announcement comes, once.
  Announce("window file:///help.html");
  EXPECT_EQ(os_.variable_starts.size(), 2u);
  // A new document forgets what the one before asked and announced.
  request();
  WebView()->Navigate("file:///index.html");
  ui_.Drain();
  Announce("window file:///help.html");
  EXPECT_EQ(os_.variable_starts.size(), 2u);
  WebView()->Navigate("file:///index.html");
  ui_.Drain();
  request();
  EXPECT_EQ(os_.variable_starts.size(), 2u);
  // Other messages are not announcements.
  FakeWebMessageReceivedEventArgs other;
  other.source = WebView()->source;
  other.document_id = WebView()->document_id;
  other.json = R"({"id": 10001, "uuid": "u", "data": {}})";
  EXPECT_FALSE(form_->TakeAnnouncement(other));
}

// --- which document is the app's own --------------------------------------------

TEST(AppDocumentTracker, OnlyANewDocumentAtAnAddressTheHostServedFromTheAppIsTheApps) {
  TAppDocumentTracker tracker;
  tracker.Served("file:///index.html", TResourceOrigin::Archive);
  tracker.Served("file:///beside.html", TResourceOrigin::BesideExecutable);
  tracker.Served("file:///home/u/payload.html", TResourceOrigin::AbsolutePath);
  tracker.Served("file:///style.css?v=2#x", TResourceOrigin::Archive);
  const struct {
    const char* committed;
    bool app;
  } cases[] = {
      {"file:///index.html", true},
      {"file:///index.html#section", true},
      {"file:///beside.html", true},
      {"file:///style.css?v=2", true},
      // Read by its absolute path, or never served by the host at all.
      {"file:///home/u/payload.html", false},
      {"file:///other.html", false},
      {"file:///index.html?x=1", false},
      {"https://example.com/index.html", false},
      {"data:text/html,x", false},
      {"", false},
  };
  std::uint64_t document = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.committed);
    tracker.DocumentCommitted(c.committed, ++document);
    EXPECT_EQ(tracker.AppDocumentShown(), c.app);
    EXPECT_EQ(tracker.IsAppDocument("file:///index.html", document), c.app);
    // A request of the document before, or of none the engine could name,
    // is never the app's; nor one whose address is no longer a local file.
    EXPECT_FALSE(tracker.IsAppDocument("file:///index.html", document - 1));
    EXPECT_FALSE(tracker.IsAppDocument("file:///index.html", 0));
    EXPECT_FALSE(tracker.IsAppDocument("https://example.com/", document));
  }
  // An engine that cannot tell documents apart has no app document.
  tracker.DocumentCommitted("file:///index.html", 0);
  EXPECT_FALSE(tracker.AppDocumentShown());
  EXPECT_FALSE(tracker.IsAppDocument("file:///index.html", 0));
}

TEST(AppDocumentTracker, AnnouncementsAreTakenOnceWhileFreshAndOnlyFromTheShownAppDocument) {
  auto now = std::chrono::steady_clock::time_point{};
  TAppDocumentTracker tracker([&now] { return now; });
  tracker.Served("file:///index.html", TResourceOrigin::Archive);
  tracker.DocumentCommitted("file:///index.html", 7);
  tracker.Announce("file:///index.html", 7, "permission camera");
  tracker.Announce("file:///index.html", 7, "permission camera");
  tracker.Announce("file:///index.html", 6, "permission geolocation");
  tracker.Announce("https://example.com/", 7, "permission microphone");
  EXPECT_TRUE(tracker.TakeIntent("permission camera"));
  EXPECT_TRUE(tracker.TakeIntent("permission camera"));
  EXPECT_FALSE(tracker.TakeIntent("permission camera"));
  EXPECT_FALSE(tracker.TakeIntent("permission geolocation"));
  EXPECT_FALSE(tracker.TakeIntent("permission microphone"));

  // An announcement nobody took does not wait for a frame to take it later.
  tracker.Announce("file:///index.html", 7, "permission camera");
  now += TAppDocumentTracker::kIntentLifetime + std::chrono::seconds(1);
  EXPECT_FALSE(tracker.TakeIntent("permission camera"));

  // A request that comes first waits a moment for its announcement, and is
  // returned as it was made when it comes.
  EXPECT_FALSE(tracker.AwaitIntent("window file:///w.html"));
  EXPECT_EQ(tracker.Announce("file:///index.html", 7, "window tessel-app://app/w.html"),
            std::optional<std::string>("window file:///w.html"));
  EXPECT_FALSE(tracker.TakeIntent("window file:///w.html"));
  EXPECT_FALSE(tracker.AwaitIntent("window file:///late.html"));
  now += TAppDocumentTracker::kRequestLifetime + std::chrono::seconds(1);
  EXPECT_EQ(tracker.Announce("file:///index.html", 7, "window file:///late.html"), std::nullopt);
  EXPECT_TRUE(tracker.AwaitIntent("window file:///late.html"));

  // Nor does a flood grow without bound: the oldest go first.
  for (std::size_t i = 0; i <= TAppDocumentTracker::kMaxIntents; ++i) {
    tracker.Announce("file:///index.html", 7, "window file:///p" + std::to_string(i) + ".html");
  }
  EXPECT_FALSE(tracker.TakeIntent("window file:///p0.html"));
  EXPECT_TRUE(tracker.TakeIntent("window tessel-app://app/p1.html"));
  EXPECT_FALSE(tracker.TakeIntent("window file:///" +
                                  std::string(TAppDocumentTracker::kMaxIntentSize, 'x')));
}

TEST(AddressPath, GivesWhatTheEnginesAgreeOn) {
  const struct {
    const char* uri;
    const char* path;
  } cases[] = {
      {"file:///a/b.html?x#y", "/a/b.html?x"},
      {"tessel-app://app/a/b.html?x", "/a/b.html?x"},
      {"file:///C:/app/x.html", "/C:/app/x.html"},
      {"https://example.com", "/"},
      {"data:text/plain,hi#x", "data:text/plain,hi"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressPath(c.uri), c.path) << c.uri;
}

TEST_F(BrowserFormTest, AForeignDocumentStaysForeignAndCannotBringUpLocalFiles) {
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  ASSERT_EQ(WebView()->source, "file:///index.html");
  EXPECT_TRUE(form_->AppDocumentShown());
  EXPECT_TRUE(form_->IsAppDocument("file:///index.html", WebView()->document_id));

  // The app's page may go to a site; that site is not the app.
  WebView()->Navigate("https://example.com/");
  ui_.Drain();
  ASSERT_EQ(WebView()->source, "https://example.com/");
  EXPECT_FALSE(form_->AppDocumentShown());

  // Rewriting its own address makes no difference.
  WebView()->source = "file:///index.html";
  EXPECT_FALSE(form_->IsAppDocument("file:///index.html", WebView()->document_id));
  WebView()->source = "https://example.com/";

  // It cannot navigate to a local file or to the app's pages, nor open a
  // window or a new instance for one.
  for (const char* address : {"file:///help.html", "FILE:///home/u/payload.html"}) {
    SCOPED_TRACE(address);
    WebView()->Navigate(address);
    ui_.Drain();
    EXPECT_EQ(WebView()->source, "https://example.com/");
    auto window = std::make_shared<FakeNewWindowRequestedEventArgs>();
    window->uri = address;
    WebView()->new_window_requested.Raise(std::shared_ptr<NewWindowRequestedEventArgs>(window));
    EXPECT_TRUE(window->handled);
  }
  EXPECT_TRUE(os_.variable_starts.empty());
  // Other addresses are its own business.
  WebView()->Navigate("https://example.org/");
  ui_.Drain();
  EXPECT_EQ(WebView()->source, "https://example.org/");

  // The host itself brings the app back when the engine is made anew, by
  // the start page's address as given (the engine may write it otherwise).
  form_->SetStartPageURL("file:///index.html#start");
  form_->EdgeBrowser().ReinitializeWebView();
  RunUntilReady();
  EXPECT_EQ(WebView()->source, "file:///index.html#start");
  EXPECT_TRUE(form_->AppDocumentShown());
}

TEST_F(BrowserFormTest, DownloadsAreSavedOnlyWhereTheUserChoseAndOnlyForTheApp) {
  const struct {
    const char* name;
    const char* shown;  // the document shown when the download starts
    const char* uri;    // what is downloaded
    bool announced;     // the app's page announced it
    std::optional<std::string> answer;
    const char* dialog;  // "" when no dialog opens
  } cases[] = {
      {"the app's own", "file:///index.html", "data:text/csv,a", true, "/home/u/report.csv",
       "save dialog for report.csv"},
      {"the user cancels", "file:///index.html", "data:text/csv,a", true, std::nullopt,
       "save dialog for report.csv"},
      {"the user chooses nothing", "file:///index.html", "data:text/csv,a", true, "",
       "save dialog for report.csv"},
      {"an app address", "file:///index.html", "file:///report.csv", false, "/home/u/r.csv",
       "save dialog for report.csv"},
      // Not announced: a frame may have started it, so the dialog says where
      // the file comes from, and what has no origin to tell is refused.
      {"no origin to tell", "file:///index.html", "data:text/csv,a", false, "/home/u/r.csv", ""},
      {"a web address", "file:///index.html", "https://files.example:8443/r.csv?x=1", false,
       "/home/u/r.csv", "save dialog for report.csv from files.example:8443"},
      {"a web page's blob", "file:///index.html", "blob:https://ads.example/1-2-3", false,
       "/home/u/r.csv", ""},
      {"a foreign page shown", "https://example.com/", "data:text/csv,a", false, "/home/u/r.csv",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CreateForm();
    ConfigureAsRuntime();
    RunUntilReady();
    WebView()->Navigate(c.shown);
    ui_.Drain();
    ASSERT_EQ(WebView()->download_starting.size(), 1u);
    if (c.announced) Announce(std::string("download ") + c.uri);
    view_.calls.clear();
    view_.download_path = c.answer;
    auto args = std::make_shared<FakeDownloadStartingEventArgs>();
    args->uri = c.uri;
    args->result_file_path = "/home/u/Downloads/report.csv";
    WebView()->download_starting.Raise(std::shared_ptr<DownloadStartingEventArgs>(args));
    EXPECT_EQ(view_.calls, std::string_view(c.dialog).empty() ? std::vector<std::string>{}
                                                              : std::vector<std::string>{c.dialog});
    const bool saved = c.answer && !c.answer->empty() && !std::string_view(c.dialog).empty();
    EXPECT_EQ(args->cancel, !saved);
    if (saved) {
      EXPECT_EQ(args->result_file_path, *c.answer);
    }
    form_.reset();
  }
}

// --- permissions -----------------------------------------------------------------

TEST_F(BrowserFormTest, OnlyTheAppsOwnPagesGetPermissionsWithoutAPrompt) {
  const struct {
    const char* name;
    const char* uri;  // the asking frame's, "" when the engine cannot tell
    PermissionKind kind;
    const char* announced;
    PermissionState expected;
  } cases[] = {
      {"the app's page", "file:///index.html", PermissionKind::kCamera, "",
       PermissionState::kAllow},
      {"the app's page", "file:///index.html", PermissionKind::kNotifications, "",
       PermissionState::kAllow},
      // A frame asks by its own address.
      {"a frame of a site", "https://example.com/", PermissionKind::kGeolocation, "",
       PermissionState::kDefault},
      {"a frame on localhost", "http://localhost:8080/", PermissionKind::kMicrophone, "",
       PermissionState::kDefault},
      {"a local file the app did not serve", "file:///C:/Users/u/Downloads/x.html",
       PermissionKind::kGeolocation, "", PermissionState::kDefault},
      // Nobody says who asks: the app's page announced it, or nobody gets it.
      {"announced", "", PermissionKind::kGeolocation, "permission geolocation",
       PermissionState::kAllow},
      {"announced", "", PermissionKind::kClipboardRead, "permission clipboard",
       PermissionState::kAllow},
      {"not announced", "", PermissionKind::kGeolocation, "", PermissionState::kDefault},
      {"another kind announced", "", PermissionKind::kCamera, "permission microphone",
       PermissionState::kDefault},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CreateForm();
    ConfigureAsRuntime();
    RunUntilReady();
    if (*c.announced != 0) Announce(c.announced);
    auto args = std::make_shared<FakePermissionRequestedEventArgs>();
    args->uri = c.uri;
    args->kind = c.kind;
    WebView()->permission_requested.Raise(std::shared_ptr<PermissionRequestedEventArgs>(args));
    EXPECT_EQ(args->state, c.expected);
    form_.reset();
  }

  // Nothing is granted to a page that is not the app's, nor on an unreadable
  // request.
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  auto unreadable = std::make_shared<FakePermissionRequestedEventArgs>();
  unreadable->uri = "file:///index.html";
  unreadable->fail["get_Uri"] = kEFail;
  WebView()->permission_requested.Raise(std::shared_ptr<PermissionRequestedEventArgs>(unreadable));
  EXPECT_EQ(unreadable->state, PermissionState::kDefault);
  WebView()->Navigate("https://example.com/");
  ui_.Drain();
  Announce("permission camera");
  auto foreign = std::make_shared<FakePermissionRequestedEventArgs>();
  foreign->kind = PermissionKind::kCamera;
  WebView()->permission_requested.Raise(std::shared_ptr<PermissionRequestedEventArgs>(foreign));
  EXPECT_EQ(foreign->state, PermissionState::kDefault);
}

// --- process failures and click messages ---------------------------------------------

TEST_F(BrowserFormTest, AFailedEngineProcessChangesNothing) {
  CreateForm();
  ConfigureAsRuntime();
  RunUntilReady();
  engine_->ClearCalls();
  const auto view_calls = view_.calls;
  auto args = std::make_shared<FakeProcessFailedEventArgs>();
  args->kind = ProcessFailedKind::kBrowserProcessExited;
  WebView()->process_failed.Raise(std::shared_ptr<ProcessFailedEventArgs>(args));
  ui_.Drain();
  EXPECT_TRUE(engine_->Calls().empty());
  EXPECT_EQ(view_.calls, view_calls);
  EXPECT_TRUE(os_.variable_starts.empty());
}

TEST_F(BrowserFormTest, AClickInABareHostHandsTheFocusToTheParentOfItsParent) {
  const struct {
    bool is_runtime;
    const char* json;
    bool focused;
  } cases[] = {
      {false, "\"vtx-webbrowser-clicked\"", true},
      {true, "\"vtx-webbrowser-clicked\"", false},
      {false, "\"vtx-webbrowser-clicked \"", false},
      {false, "\"VTX-WEBBROWSER-CLICKED\"", false},
      {false, "{\"message\":\"vtx-webbrowser-clicked\"}", false},
      {false, "[\"vtx-webbrowser-clicked\"]", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    CreateForm();
    form_->SetIsRuntime(c.is_runtime);
    RunUntilReady();
    view_.calls.clear();
    WebView()->RaiseWebMessage(c.json);
    EXPECT_EQ(view_.calls, c.focused ? std::vector<std::string>{"focus parent of parent"}
                                     : std::vector<std::string>{});
    form_.reset();
  }
}

TEST_F(BrowserFormTest, TheMainWindowCanTakeOverTheMessageEvent) {
  CreateForm();
  std::vector<std::string> received;
  form_->EdgeBrowser().SetOnWebMessageReceived(
      [&](TCustomEdgeBrowser*, TWebMessageReceivedEventArgs& args) {
        std::string json;
        args.ArgsInterface()->get_WebMessageAsJson(&json);
        received.push_back(json);
      });
  RunUntilReady();
  view_.calls.clear();
  WebView()->RaiseWebMessage("\"vtx-webbrowser-clicked\"");
  EXPECT_EQ(received, std::vector<std::string>{"\"vtx-webbrowser-clicked\""});
  EXPECT_TRUE(view_.calls.empty());
}

TEST_F(BrowserFormTest, WorksWithoutAView) {
  auto native = std::make_unique<FakeNativeView>();
  form_ = std::make_unique<TBrowserForm>(std::move(native), kClientArea, nullptr);
  RunUntilReady();
  WebView()->RaiseWebMessage("\"vtx-webbrowser-clicked\"");
  auto completed = std::make_shared<FakeNavigationCompletedEventArgs>();
  WebView()->navigation_completed.Raise(std::shared_ptr<NavigationCompletedEventArgs>(completed));
  EXPECT_FALSE(form_->BusyBarVisible());
}

TEST(RelaunchArguments, QuotesBothTextsAndSeparatesThemWithOneBlank) {
  EXPECT_EQ(RelaunchArguments("com.example.app", "file:///a b.html"),
            "\"com.example.app\" \"file:///a b.html\"");
  EXPECT_EQ(RelaunchArguments("", ""), "\"\" \"\"");
}

}  // namespace
}  // namespace tessel::shared
