#include "runtime/main_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>

#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_main_window.h"
#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "platform/fake/fake_ui_dispatch.h"
#include "runtime/page_trace.h"
#include "shared/bridge_script.h"
#include "shared/program_constants.h"
#include "shared/zip_writer.h"

namespace tessel::runtime {
namespace {

using platform::FakeMainWindow;
using platform::WindowState;

constexpr char kAppId[] = "com.example.app";

// A main window over the fake window, engine, UI queue and OS, with the
// start-up state of an app whose archive and settings each test chooses.
class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os_.executable_path = "/opt/app/tessel-app";
    shared::SetEngineLibraryOpener(engine_->Opener());
    shared::SetLoaderLibraryPath("/opt/engine/loader.so");
    shared::SetApplicationExceptionHandler(
        [this](const std::exception& error) { errors_.push_back(error.what()); });
    app_.ID = kAppId;
    app_.Name = "Example";
    app_.DirName = "webapp";
    app_.IndexHtml = "index.html";
    app_.ProjectINI = std::make_unique<shared::TSettings>();
    SetArchive({{"webapp/index.html", "<title>Start</title>"}});
  }

  void TearDown() override {
    form_.reset();
    ui_.Drain();
    EXPECT_TRUE(errors_.empty()) << testing::PrintToString(errors_);
    shared::SetEngineLibraryOpener({});
    shared::SetLoaderLibraryPath("");
    shared::SetApplicationExceptionHandler({});
  }

  void SetArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::ostringstream out;
    shared::TZipWriter writer(out, std::string(shared::kAppArchivePassword));
    for (const auto& [name, content] : entries) writer.AddEntry(name, content, {});
    writer.Finish();
    archive_ = out.str();
    app_.ExeZip = std::make_unique<shared::TExeZip>();
    app_.ExeZip->SetPassword(std::string(shared::kAppArchivePassword));
    app_.ExeZip->SetStream(
        std::span(reinterpret_cast<const uint8_t*>(archive_.data()), archive_.size()));
  }

  void SetSettings(const std::string& ini) { app_.ProjectINI->LoadFromText("[App]\n" + ini); }

  void CreateForm(std::vector<std::string> args = {}) {
    auto window = std::make_unique<FakeMainWindow>();
    window_ = window.get();
    form_ = std::make_unique<TMainForm>(app_, std::move(window), std::move(args));
  }

  void RunUntilReady() {
    ASSERT_TRUE(ui_.RunUntil([&] {
      return form_->BrowserForm()->EdgeBrowser().BrowserControlState() ==
             shared::TBrowserControlState::Created;
    }));
    ui_.Drain();
  }

  std::shared_ptr<platform::FakeWebView> WebView() { return engine_->LastWebView(); }

  std::size_t CloseScriptsRun() {
    const auto& scripts = WebView()->executed_scripts;
    return static_cast<std::size_t>(
        std::count(scripts.begin(), scripts.end(), std::string(kCloseQueryScript)));
  }

  platform::FakeUiDispatcher ui_;
  platform::ScopedUiDispatcher scoped_ui_{ui_};
  platform::FakeOs os_;
  platform::ScopedOs scoped_os_{os_};
  platform::FakeUi fake_ui_;
  platform::ScopedUi scoped_fake_ui_{fake_ui_};
  std::shared_ptr<platform::FakeEngine> engine_ = platform::MakeFakeEngine();
  std::vector<std::string> errors_;
  std::string archive_;
  TLoadedApp app_;
  FakeMainWindow* window_ = nullptr;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(MainFormTest, CreationWiresHostAndModuleBeforeTheEngineIsReady) {
  SetSettings("AllowDebug=1\n");
  CreateForm();
  const shared::TBrowserForm& host = *form_->BrowserForm();
  const shared::TBrowserExternalModule& module = *form_->BrowserExternalModule();

  EXPECT_FALSE(form_->CanClose());
  EXPECT_EQ(host.ExeZip(), app_.ExeZip.get());
  EXPECT_TRUE(host.IsRuntime());
  EXPECT_EQ(host.AppDirName(), "webapp");
  EXPECT_TRUE(host.HandleRequests());
  EXPECT_EQ(host.RuntimeAppID(), kAppId);
  EXPECT_TRUE(host.WithExternal());
  EXPECT_EQ(host.ExternalScript(), shared::BridgeScript());
  EXPECT_TRUE(host.AllowDebug());
  EXPECT_FALSE(host.AllowContextMenu());
  EXPECT_EQ(host.StartPageURL(), "file:///index.html");
  EXPECT_EQ(module.ExeZip(), app_.ExeZip.get());
  EXPECT_EQ(module.MainForm(), form_.get());
  EXPECT_EQ(module.ProjectINI(), app_.ProjectINI.get());
  EXPECT_NE(module.FileDialogs(), nullptr);
  EXPECT_FALSE(module.InFullscreen());

  // The host fills the window's client area, its busy bar is the window's.
  EXPECT_EQ(window_->content_view->Parent(), FakeMainWindow::ClientAreaHandle());
  // Caption and title, then the size, then border and state: the busy bar
  // went on as the host was made, before any of them.
  EXPECT_EQ(window_->changes,
            (std::vector<std::string>{"application id com.example.app", "busy bar 1",
                                      "caption Example", "application title Example",
                                      "size 800x600", "border 2", "state normal"}));
  EXPECT_FALSE(window_->shown);

  // All of it was in place when the engine reported: the first document
  // gets the bridge script and the start page is the one navigated to.
  EXPECT_EQ(engine_->LastWebView(), nullptr);
  RunUntilReady();
  ASSERT_EQ(WebView()->document_scripts.size(), 1u);
  EXPECT_NE(WebView()->document_scripts[0].second.find(shared::BridgeScript()), std::string::npos);
  EXPECT_EQ(WebView()->source, "file:///index.html");
  EXPECT_FALSE(window_->busy_bar_visible);
}

TEST_F(MainFormTest, WindowKeysShapeTheWindow) {
  struct Case {
    const char* ini;
    int width, height;
    int max_width, max_height, min_width, min_height;
    int border;
    WindowState state;
    bool on_top;
    bool in_fullscreen;
  };
  const Case cases[] = {
      {"", 800, 600, 0, 0, 0, 0, 2, WindowState::Normal, false, false},
      {"Width=1000\nMaxWidth=900\n", 900, 600, 900, 0, 0, 0, 2, WindowState::Normal, false, false},
      {"MaxWidth=500\nMinWidth=700\n", 700, 600, 700, 0, 700, 0, 2, WindowState::Normal, false,
       false},
      {"Height=1000\nMaxHeight=400\nMinHeight=300\n", 800, 400, 0, 400, 0, 300, 2,
       WindowState::Normal, false, false},
      {"Width=300\nHeight=200\nMinWidth=640\nMinHeight=480\n", 640, 480, 0, 0, 640, 480, 2,
       WindowState::Normal, false, false},
      // Negative sizes and limits are undefined: the defaults and no limit.
      {"Width=-5\nHeight=-1\nMaxWidth=-100\nMinHeight=-3\n", 800, 600, 0, 0, 0, 0, 2,
       WindowState::Normal, false, false},
      {"WindowStyle=1\nWindowBorder=3\nWindowState=0\n", 800, 600, 0, 0, 0, 0, 0,
       WindowState::Maximized, false, true},
      {"WindowStyle=2\nWindowBorder=3\n", 800, 600, 0, 0, 0, 0, 3, WindowState::Normal, false,
       false},
      {"WindowState=1\nWindowBorder=1\n", 800, 600, 0, 0, 0, 0, 1, WindowState::Maximized, false,
       false},
      {"WindowState=2\n", 800, 600, 0, 0, 0, 0, 2, WindowState::Normal, false, false},
      {"WindowBorder=5\nWindowOrder=1\n", 800, 600, 0, 0, 0, 0, 5, WindowState::Normal, true,
       false},
      {"WindowBorder=9\nWindowOrder=2\n", 800, 600, 0, 0, 0, 0, 2, WindowState::Normal, false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    SetSettings(c.ini);
    CreateForm();
    EXPECT_EQ(window_->width, c.width);
    EXPECT_EQ(window_->height, c.height);
    const platform::SizeLimits& limits = window_->Limits();
    EXPECT_EQ(limits.MaxWidth(), c.max_width);
    EXPECT_EQ(limits.MaxHeight(), c.max_height);
    EXPECT_EQ(limits.MinWidth(), c.min_width);
    EXPECT_EQ(limits.MinHeight(), c.min_height);
    EXPECT_EQ(window_->border_style, c.border);
    EXPECT_EQ(window_->state, c.state);
    EXPECT_EQ(window_->stay_on_top, c.on_top);
    EXPECT_EQ(form_->BrowserExternalModule()->InFullscreen(), c.in_fullscreen);
    form_.reset();
  }
}

TEST_F(MainFormTest, FullScreenStartSetsBorderBeforeStateAndReadsNoBorderKeys) {
  SetSettings("WindowStyle=1\nWindowBorder=3\nWindowState=2\n");
  CreateForm();
  const auto& changes = window_->changes;
  const auto border = std::find(changes.begin(), changes.end(), "border 0");
  const auto state = std::find(changes.begin(), changes.end(), "state maximized");
  ASSERT_NE(border, changes.end());
  ASSERT_NE(state, changes.end());
  EXPECT_LT(border, state);
  EXPECT_EQ(std::count_if(changes.begin(), changes.end(),
                          [](const std::string& c) { return c.rfind("border", 0) == 0; }),
            1);
}

TEST_F(MainFormTest, StartPageIsTheAddressOfARelaunchOnlyTheIndexPageByHand) {
  struct Case {
    std::vector<std::string> args;
    bool relaunched;
    const char* index_html;
    const char* start_page;
  };
  const Case cases[] = {
      {{}, false, "index.html", "file:///index.html"},
      {{}, false, "pages/start.html", "file:///pages/start.html"},
      {{kAppId, "file:///other%20page.html?x=1#top"},
       true,
       "index.html",
       "file:///other%20page.html?x=1#top"},
      {{kAppId, ""}, true, "index.html", ""},
      // The same command line typed by hand does not choose the document.
      {{kAppId, "file:///other.html"}, false, "index.html", "file:///index.html"},
      {{kAppId, "file:///other.html"}, false, "pages/start.html", "file:///pages/start.html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + (c.relaunched ? " relaunched" : " by hand"));
    app_.IndexHtml = c.index_html;
    app_.Relaunched = c.relaunched;
    CreateForm(c.args);
    EXPECT_EQ(form_->BrowserForm()->StartPageURL(), c.start_page);
    form_.reset();
  }
}

TEST_F(MainFormTest, EveryCloseRequestAsksThePageAndIsRefusedUntilTheAppAsksToClose) {
  CreateForm();
  RunUntilReady();

  EXPECT_FALSE(window_->RequestClose());
  EXPECT_FALSE(window_->RequestClose());
  ui_.Drain();
  EXPECT_EQ(CloseScriptsRun(), 2u);
  EXPECT_FALSE(window_->closed);
  ASSERT_NE(form_->BrowserForm(), nullptr);

  // The page's handler calls vtx.app.close(): the bridge asks the window to
  // close, which asks the page once more and now closes.
  WebView()->RaiseWebMessage(R"({"id": 50001, "uuid": "u1", "data": {}})");
  ui_.Drain();
  EXPECT_TRUE(form_->CanClose());
  EXPECT_TRUE(window_->closed);
  EXPECT_EQ(CloseScriptsRun(), 3u);
  // Nothing is freed inside the page's message: that waits for the loop.
  EXPECT_NE(form_->BrowserForm(), nullptr);
  EXPECT_TRUE(WebView()->posted_json.empty());

  form_->Run();
  EXPECT_EQ(window_->on_close_calls, 1);
  EXPECT_EQ(form_->BrowserForm(), nullptr);
  EXPECT_EQ(form_->BrowserExternalModule(), nullptr);
  // A later request changes nothing.
  EXPECT_TRUE(window_->RequestClose());
  EXPECT_TRUE(form_->CanClose());
}

TEST_F(MainFormTest, ADocumentNotTheAppsOwnCannotKeepTheWindowOpen) {
  CreateForm();
  RunUntilReady();
  // In this order: an app document can go anywhere, a foreign one nowhere
  // local.
  const std::pair<const char*, bool> cases[] = {{"file:///index.html", false},
                                                {"file:///index.html#top", false},
                                                {"file:///missing.html", true},
                                                {"https://example.com/", true},
                                                {"data:text/html,x", true}};
  for (const auto& [address, closes] : cases) {
    WebView()->Navigate(address);
    ui_.Drain();
    EXPECT_EQ(window_->RequestClose(), closes) << address;
  }
}

// A page whose process ended can never agree to close; a failure that leaves
// the page in place (a frame's process, a page that hangs for now) changes
// nothing, and the next document asks again.
TEST_F(MainFormTest, APageThatCanNoLongerAnswerCannotKeepTheWindowOpen) {
  const std::pair<platform::ProcessFailedKind, bool> cases[] = {
      {platform::ProcessFailedKind::kFrameRenderProcessExited, false},
      {platform::ProcessFailedKind::kRenderProcessUnresponsive, false},
      {platform::ProcessFailedKind::kRenderProcessExited, true},
      {platform::ProcessFailedKind::kBrowserProcessExited, true},
  };
  for (const auto& [kind, closes] : cases) {
    for (const bool new_document : {false, true}) {
      CreateForm();
      RunUntilReady();
      WebView()->Navigate("file:///index.html");
      ui_.Drain();
      auto args = std::make_shared<platform::FakeProcessFailedEventArgs>();
      args->kind = kind;
      WebView()->process_failed.Raise(std::shared_ptr<platform::ProcessFailedEventArgs>(args));
      ui_.Drain();
      if (new_document) {
        WebView()->Navigate("file:///index.html");
        ui_.Drain();
      }
      EXPECT_EQ(window_->RequestClose(), closes && !new_document)
          << static_cast<int>(kind) << (new_document ? " then a new document" : "");
    }
  }
}

// The page's say over closing starts with its first document: until then
// the close box closes, whether the engine failed or has not answered yet.
TEST_F(MainFormTest, BeforeTheFirstDocumentTheCloseBoxClosesTheWindow) {
  for (const bool engine_fails : {true, false}) {
    shared::SetLoaderLibraryPath(engine_fails ? "" : "/opt/engine/loader.so");
    CreateForm();
    if (engine_fails) ui_.Drain();
    EXPECT_NE(form_->BrowserForm()->EdgeBrowser().BrowserControlState(),
              shared::TBrowserControlState::Created);
    EXPECT_TRUE(window_->RequestClose()) << engine_fails;
    EXPECT_TRUE(window_->closed) << engine_fails;
    form_.reset();
  }
}

TEST_F(MainFormTest, RunShowsTheWindowAndFreesModuleThenHostWhenItCloses) {
  CreateForm();
  std::vector<std::string> seen;
  window_->loop = [&](FakeMainWindow& window) {
    seen.push_back(window.shown ? "shown" : "hidden");
    ui_.Drain();
    form_->AppCloseRequested(nullptr);
    seen.push_back(form_->BrowserForm() != nullptr ? "host alive" : "host gone");
  };
  form_->Run();
  EXPECT_EQ(seen, (std::vector<std::string>{"shown", "host alive"}));
  EXPECT_TRUE(window_->centred);
  EXPECT_EQ(window_->on_close_calls, 1);
  EXPECT_EQ(form_->BrowserForm(), nullptr);
}

TEST_F(MainFormTest, CaptionFollowsTheTitleWhileDynamicAppTitleIsOnReadAtEachChange) {
  CreateForm();
  RunUntilReady();
  const auto change_title = [&](const std::string& title) {
    WebView()->title = title;
    WebView()->document_title_changed.Raise();
    ui_.Drain();
  };

  change_title("First");
  EXPECT_EQ(window_->caption, "Example");
  SetSettings("DynamicAppTitle=1\n");
  change_title("Second \"quoted\"\nline");
  EXPECT_EQ(window_->caption, "Second \"quoted\"\nline");
  change_title("Third");
  EXPECT_EQ(window_->caption, "Third");
  SetSettings("DynamicAppTitle=0\n");
  change_title("Fourth");
  EXPECT_EQ(window_->caption, "Third");
  EXPECT_EQ(window_->application_title, "Example");
}

TEST_F(MainFormTest, AnAppFolderRunLiveReloadsOnEditsAndRereadsItsSettings) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("tessel-live-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(folder / "webapp");
  const auto write_ini = [&](const std::string& text) {
    std::ofstream(folder / "vtx.ini", std::ios::binary) << "[App]\nName=Live\n" << text;
  };
  write_ini("Width=800\n");
  app_.ExeZip.reset();
  app_.AppFolder = folder.string() + "/";
  app_.ProjectINI->LoadFromText("[App]\nName=Live\nWidth=800\n");
  CreateForm();
  RunUntilReady();
  const auto reloads = [&] {
    const std::vector<std::string> calls = engine_->Calls();
    return std::count(calls.begin(), calls.end(), "WebView.Reload");
  };
  const struct {
    const char* name;
    platform::FolderChanges changes;
    std::string ini;  // written before the change is reported; empty: none
    long reloads;
  } cases[] = {
      {"a page edited", {"webapp/index.html"}, "", 1},
      {"only version control's files", {".git", ".git/index", ".hg/store/x"}, "", 0},
      {"a file that only looks like one", {".github/workflow.yml"}, "", 1},
      {"settings: the name now, the width later", {"vtx.ini"}, "Name=Renamed\nWidth=900\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.ini.empty()) std::ofstream(folder / "vtx.ini", std::ios::binary) << "[App]\n" << c.ini;
    const long before = reloads();
    testing::internal::CaptureStderr();
    form_->AppFolderChanged(c.changes);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reloads() - before, c.reloads);
    if (!c.ini.empty()) {
      EXPECT_EQ(app_.ProjectINI->ReadInteger("App", "Width", 0), 900);
      EXPECT_EQ(window_->caption, "Renamed");
      EXPECT_NE(said.find("vtx.ini changed Width: that takes a new window"), std::string::npos)
          << said;
    }
  }
  form_.reset();
  std::filesystem::remove_all(folder);
}

// The desktop finds the window by the app's ID, made fit for a window class;
// the archive's icon, when it has one, is the window's.
TEST_F(MainFormTest, TheWindowGetsTheAppsIdAndTheArchivesIcon) {
  app_.ID = "Notes App/2";
  SetArchive({{"webapp/index.html", "x"}, {"tessel-icon.png", "\x89PNG-bytes"}});
  CreateForm();
  EXPECT_EQ(window_->application_id, "Notes_App_2");
  EXPECT_EQ(window_->icon, "\x89PNG-bytes");
  form_.reset();

  SetArchive({{"webapp/index.html", "x"}});
  CreateForm();
  EXPECT_EQ(std::count_if(window_->changes.begin(), window_->changes.end(),
                          [](const std::string& c) { return c.starts_with("icon "); }),
            0);
}

TEST_F(MainFormTest, AppScriptIsDecodedAsUtf8WithItsByteOrderMarkKept) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> entries;
    std::string expected;
  };
  const std::string bom = "\xEF\xBB\xBF";
  const Case cases[] = {
      {"with mark",
       {{"vtx-webviewjs", bom + "console.log('\xC3\xA9');"}},
       bom + "console.log('\xC3\xA9');"},
      {"invalid bytes",
       {{"vtx-webviewjs",
         "a\xFF"
         "b"}},
       "a\xEF\xBF\xBD"
       "b"},
      {"absent", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetArchive(c.entries);
    CreateForm();
    EXPECT_EQ(form_->BrowserForm()->WebviewJavascript(), c.expected);
    form_.reset();
  }
}

TEST_F(MainFormTest, BridgeCommandsChangeTheWindowInPlace) {
  SetSettings("WindowBorder=3\n");
  CreateForm();
  RunUntilReady();
  window_->changes.clear();
  const auto call = [&](int id, const std::string& data = "{}") {
    WebView()->RaiseWebMessage(R"({"id": )" + std::to_string(id) + R"(, "uuid": "u", "data": )" +
                               data + "}");
    ui_.Drain();
  };
  call(50003);                            // enterFullscreen
  call(60004, R"({"state": "normal"})");  // setState
  call(60002, R"({"style": "ontop"})");   // setStyle
  call(60006, R"({"title": "New"})");     // setTitle
  call(50004);                            // exitFullscreen
  EXPECT_EQ(window_->changes,
            (std::vector<std::string>{"border 0", "state maximized", "state normal", "on top 1",
                                      "caption New", "state normal", "border 3"}));
  // The web view was never made again.
  EXPECT_EQ(engine_->LastWebView(), WebView());
  EXPECT_EQ(WebView()->history.size(), 1u);
}

TEST_F(MainFormTest, FileDialogsGoToThePlatformDialogsAndKeepTheChosenType) {
  CreateForm();
  RunUntilReady();
  fake_ui_.file_dialog_answers.push_back({"/home/user/notes.txt", 2});
  fake_ui_.file_dialog_answers.push_back({std::nullopt, 0});
  const std::string data =
      R"({"title": "Pick", "fileName": "a.txt", "fileTypes": "Text|*.txt;All|*.*"})";
  WebView()->RaiseWebMessage(R"({"id": 20001, "uuid": "u1", "data": )" + data + "}");
  WebView()->RaiseWebMessage(R"({"id": 20001, "uuid": "u2", "data": )" + data + "}");
  ui_.Drain();

  ASSERT_EQ(fake_ui_.file_dialogs.size(), 2u);
  const platform::FileDialogOptions& first = fake_ui_.file_dialogs[0].options;
  EXPECT_FALSE(fake_ui_.file_dialogs[0].save);
  EXPECT_EQ(first.title, "Pick");
  EXPECT_EQ(first.file_name, "a.txt");
  EXPECT_EQ(first.filters,
            (std::vector<platform::FileDialogFilter>{{"Text", "*.txt"}, {"All", "*.*"}}));
  EXPECT_EQ(first.type_index, 1u);
  EXPECT_EQ(fake_ui_.file_dialogs[1].options.type_index, 2u);
  ASSERT_EQ(WebView()->posted_json.size(), 2u);
  EXPECT_EQ(WebView()->posted_json[0],
            R"({"uuid": "u1", "success": true, "result": "\/home\/user\/notes.txt"})");
  EXPECT_EQ(WebView()->posted_json[1], R"({"uuid": "u2", "success": true, "result": ""})");
}

// TESSEL_TRACE=1 adds the page's lines on stderr; without it a page's trace
// entry and a dropped call print nothing.
TEST_F(MainFormTest, OnlyTheTraceVariableMakesThePageTraced) {
  for (const char* trace : {"", "0", "1"}) {
    SCOPED_TRACE(trace);
    os_.environment["TESSEL_TRACE"] = trace;
    CreateForm();
    InstallDiagnostics(*form_);
    RunUntilReady();
    const bool on = std::string(trace) == "1";
    ASSERT_EQ(WebView()->document_scripts.size(), 1u);
    const std::string& script = WebView()->document_scripts[0].second;
    EXPECT_EQ(script.find(TPageTrace::Script()) == 1, on);

    testing::internal::CaptureStderr();
    for (const char* json :
         {R"({"vtx-trace":{"kind":"console.log","text":"x"}})", R"({"id":30001,"uuid":"u1"})"}) {
      auto args = std::make_shared<platform::FakeWebMessageReceivedEventArgs>();
      args->source = "file:///index.html";
      args->document_id = WebView()->document_id;
      args->json = json;
      WebView()->web_message_received.Raise(
          std::shared_ptr<platform::WebMessageReceivedEventArgs>(args));
    }
    ui_.Drain();
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        on ? "tessel: console.log file:///index.html: x\n"
             "tessel: bridge message not answered: files.fileExists (30001): no argument object; "
             "message "
             "{\"id\":30001,\"uuid\":\"u1\"}\n"
           : "");
    form_.reset();
  }
}

// The limit rules on their own: each setter in turn, the size clamped at
// once and at every later size change.
TEST(SizeLimitsTest, MaximaAndMinimaPullEachOtherAndClampTheSize) {
  FakeMainWindow window;
  window.SetSize(1000, 700);
  window.changes.clear();

  window.SetMaxWidth(900);
  EXPECT_EQ(window.width, 900);
  window.SetMaxWidth(900);  // unchanged: nothing happens
  window.SetMinWidth(950);  // above the maximum: the maximum follows
  EXPECT_EQ(window.Limits().MaxWidth(), 950);
  EXPECT_EQ(window.width, 950);
  window.SetMaxWidth(600);  // below the minimum: the minimum follows
  EXPECT_EQ(window.Limits().MinWidth(), 600);
  EXPECT_EQ(window.width, 600);
  window.SetMaxWidth(0);  // no maximum: the minimum stays
  EXPECT_EQ(window.Limits().MinWidth(), 600);
  window.SetSize(100, 100);
  EXPECT_EQ(window.width, 600);
  EXPECT_EQ(window.height, 100);
  window.SetMinHeight(0);  // already 0: nothing happens
  EXPECT_EQ(window.changes, (std::vector<std::string>{"limits max 900x0 min 0x0", "size 900x700",
                                                      "limits max 950x0 min 950x0", "size 950x700",
                                                      "limits max 600x0 min 600x0", "size 600x700",
                                                      "limits max 0x0 min 600x0", "size 600x100"}));
}

}  // namespace
}  // namespace tessel::runtime
