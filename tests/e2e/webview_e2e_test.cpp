// The web view component on the real engine (WebKitGTK) in a GTK window,
// with the app's pages answered from memory through the resource event, as
// the browser host does. Needs a display: CTest runs it under xvfb-run.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/engine_basics.h"
#include "platform/gtk/native_view_gtk.h"
#include "shared/edge_ex.h"

namespace tessel::shared {
namespace {

using namespace std::chrono_literals;
using platform::kSOk;

const std::map<std::string, std::pair<std::string, std::string>> kFiles = {
    {"file:///index.html",
     {"text/html; charset=utf-8",
      R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>Index</title>
<script>window.__sawInjected = typeof window.__injected;</script>
<link rel="stylesheet" href="css/site.css">
<script type="module" src="js/app.js"></script>
</head><body><div id="box"></div><iframe src="frame.html"></iframe></body></html>)"}},
    {"file:///frame.html",
     {"text/html",
      "<!DOCTYPE html><script>parent.__frameSaw = typeof window.__injected;</script>"}},
    {"file:///css/site.css",
     {"text/css",
      "body { background: rgb(1, 2, 3); margin: 0 }\n"
      "#box { width: 300px; height: 200px; background: rgb(250, 20, 30) }\n"
      "iframe { width: 10px; height: 10px; border: 0 }\n"}},
    {"file:///js/app.js",
     {"text/javascript",
      "import { greet } from './util.js';\n"
      "window.__module = greet('module');\n"
      "chrome.webview.addEventListener('message', (e) => {\n"
      "  document.title = 'reply:' + JSON.stringify(e.data);\n"
      "});\n"
      "chrome.webview.postMessage({ hello: 'host', from: window.__module });\n"
      "chrome.webview.postMessage('plain text');\n"}},
    {"file:///js/util.js",
     {"text/javascript", "export function greet(name) { return 'hello ' + name; }\n"}},
};

class WebViewE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') GTEST_SKIP() << "no DISPLAY (run under xvfb-run)";
    if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "GTK cannot open the display";
    SetEngineLibraryOpener({});  // forget a library opened by an earlier test
    SetLoaderLibraryPath(TESSEL_ENGINE_MODULE);

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
    box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window_), box_);
    gtk_widget_show_all(window_);

    browser_ = std::make_unique<TEdgeBrowser>(platform::MakeGtkNativeView());
    browser_->SetOnCreateWebViewCompleted([this](TCustomEdgeBrowser* sender, HRESULT hr) {
      created_.push_back(hr);
      if (platform::Failed(hr)) return;
      // What the browser host does when the engine is ready.
      sender->DefaultInterface()->AddScriptToExecuteOnDocumentCreated("window.__injected = 'yes';",
                                                                      nullptr);
      sender->AddWebResourceRequestedFilter("*", platform::WebResourceContext::kAll);
      sender->Navigate("file:///index.html");
    });
    browser_->SetOnWebResourceRequested(
        [this](TCustomEdgeBrowser* sender, TWebResourceRequestedEventArgs& args) {
          std::shared_ptr<platform::WebResourceRequest> request;
          args.ArgsInterface()->get_Request(&request);
          std::string uri;
          request->get_Uri(&uri);
          requested_.push_back(uri);
          auto file = kFiles.find(uri);
          if (file == kFiles.end()) return;  // left to the engine
          std::shared_ptr<platform::WebResourceResponse> response;
          sender->EnvironmentInterface()->CreateWebResourceResponse(
              platform::MakeMemoryStream(file->second.second), 200, "OK",
              "Content-Type: " + file->second.first, &response);
          args.ArgsInterface()->put_Response(response);
        });
    browser_->SetOnNavigationCompleted(
        [this](TCustomEdgeBrowser*, bool success, platform::WebErrorStatus) {
          completed_.push_back(success);
        });
    browser_->SetOnWebMessageReceived(
        [this](TCustomEdgeBrowser*, TWebMessageReceivedEventArgs& args) {
          std::string json, text;
          args.ArgsInterface()->get_WebMessageAsJson(&json);
          const HRESULT hr = args.ArgsInterface()->TryGetWebMessageAsString(&text);
          messages_.push_back(platform::Succeeded(hr) ? "string:" + text : "json:" + json);
          std::string source;
          args.ArgsInterface()->get_Source(&source);
          sources_.push_back(source);
        });
    browser_->SetOnDocumentTitleChanged(
        [this](TCustomEdgeBrowser*, const std::string& title) { titles_.push_back(title); });
    browser_->SetOnExecuteScript([this](TCustomEdgeBrowser*, HRESULT hr, const std::string& json) {
      script_results_.push_back(platform::Succeeded(hr) ? json : "failed");
    });
  }

  void TearDown() override {
    browser_.reset();
    if (window_ != nullptr) gtk_widget_destroy(window_);
    Pump([] { return false; }, 50ms);
    SetEngineLibraryOpener({});
    SetLoaderLibraryPath("");
  }

  bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
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

  // Creates the engine objects and waits for the start page and its messages.
  void Open() {
    browser_->SetParent(box_);
    ASSERT_TRUE(Pump([&] { return !created_.empty(); }, 20s));
    ASSERT_EQ(created_.front(), kSOk);
    ASSERT_TRUE(Pump([&] { return !completed_.empty() && messages_.size() >= 2; }, 20s));
    EXPECT_TRUE(completed_.front());
  }

  std::string Evaluate(const std::string& script) {
    const auto before = script_results_.size();
    browser_->ExecuteScript(script);
    EXPECT_TRUE(Pump([&] { return script_results_.size() > before; }, 10s)) << script;
    return script_results_.size() > before ? script_results_.back() : "";
  }

  GtkWidget* window_ = nullptr;
  GtkWidget* box_ = nullptr;
  std::unique_ptr<TEdgeBrowser> browser_;
  std::vector<HRESULT> created_;
  std::vector<std::string> requested_;
  std::vector<bool> completed_;
  std::vector<std::string> messages_;
  std::vector<std::string> sources_;
  std::vector<std::string> titles_;
  std::vector<std::string> script_results_;
};

TEST_F(WebViewE2E, ServesThePagesFromMemoryWithRelativeCssAndModules) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Created);
  for (const char* uri : {"file:///index.html", "file:///css/site.css", "file:///js/app.js",
                          "file:///js/util.js", "file:///frame.html"}) {
    EXPECT_NE(std::find(requested_.begin(), requested_.end(), uri), requested_.end()) << uri;
  }
  EXPECT_EQ(Evaluate("getComputedStyle(document.body).backgroundColor"), R"j("rgb(1, 2, 3)")j");
  EXPECT_EQ(Evaluate("window.__module"), R"("hello module")");
  // The component sees file:///; the page itself sees the private scheme.
  EXPECT_EQ(browser_->LocationURL(), "file:///index.html");
  EXPECT_EQ(Evaluate("location.href"), R"("tessel-app://app/index.html")");
  EXPECT_EQ(browser_->DocumentTitle(), "Index");
}

TEST_F(WebViewE2E, DocumentScriptsRunBeforeThePagesOwnInEveryFrame) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(Evaluate("window.__sawInjected"), R"("string")");
  ASSERT_TRUE(Pump([&] { return Evaluate("window.__frameSaw") != "null"; }, 5s));
  EXPECT_EQ(Evaluate("window.__frameSaw"), R"("string")");
}

TEST_F(WebViewE2E, MessagesTravelBothWays) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(messages_, (std::vector<std::string>{R"(json:{"hello":"host","from":"hello module"})",
                                                 "string:plain text"}));
  ASSERT_EQ(browser_->DefaultInterface()->PostWebMessageAsJson(R"({"n":42,"s":"</script>"})"),
            kSOk);
  ASSERT_TRUE(
      Pump([&] { return !titles_.empty() && titles_.back().rfind("reply:", 0) == 0; }, 10s));
  EXPECT_EQ(titles_.back(), R"(reply:{"n":42,"s":"</script>"})");
}

// A message names the document that posted it, and only the top-level
// document's messages are raised (as WebView2 raises a child frame's on that
// frame alone). The page cannot reach the channel under the shim to post
// in another document's name.
TEST_F(WebViewE2E, MessagesComeFromTheTopDocumentUnderItsOwnAddress) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(sources_, (std::vector<std::string>{"file:///index.html", "file:///index.html"}));
  EXPECT_EQ(Evaluate("typeof (window.webkit && window.webkit.messageHandlers &&"
                     " window.webkit.messageHandlers.tesselWebview)"),
            R"("undefined")");

  const auto posted = [&](const std::string& script, const std::string& marker) {
    messages_.clear();
    sources_.clear();
    Evaluate(script + "; chrome.webview.postMessage('" + marker + "'); 0");
    return Pump([&] { return !messages_.empty() && messages_.back() == "string:" + marker; }, 10s);
  };
  // The child frame's own channel, and a forged relay event in it.
  ASSERT_TRUE(
      posted("frames[0].chrome.webview.postMessage('from the frame');"
             "frames[0].dispatchEvent(new frames[0].CustomEvent('tessel-webview-post',"
             " {detail: '\"forged\"'}))",
             "after the frame"));
  EXPECT_EQ(messages_, std::vector<std::string>{"string:after the frame"});

  // The address the document has when it posts, not the one it was loaded from.
  ASSERT_TRUE(posted("history.pushState(null, '', 'moved.html?q=1')", "moved"));
  EXPECT_EQ(sources_, std::vector<std::string>{"file:///moved.html?q=1"});
}

TEST_F(WebViewE2E, ExecuteScriptGivesItsResultAsJson) {
  ASSERT_NO_FATAL_FAILURE(Open());
  // WebKit hands the value over without its key order; the value is the same.
  EXPECT_EQ(nlohmann::json::parse(Evaluate("({a: [1, 'x'], b: null, c: 'é'})")),
            nlohmann::json::parse(R"({"a":[1,"x"],"b":null,"c":"é"})"));
  EXPECT_EQ(Evaluate("[3, 'two', {k: true}]"), R"([3,"two",{"k":true}])");
  EXPECT_EQ(Evaluate("undefined"), "null");
  EXPECT_EQ(Evaluate("throw new Error('x')"), "null");
}

TEST_F(WebViewE2E, CapturesAPictureOfThePage) {
  ASSERT_NO_FATAL_FAILURE(Open());
  std::vector<HRESULT> captured;
  browser_->SetOnCapturePreviewCompleted(
      [&](TCustomEdgeBrowser*, HRESULT hr) { captured.push_back(hr); });
  const auto path = std::filesystem::temp_directory_path() / "tessel_webview_e2e.png";
  browser_->CapturePreview(path.string());
  ASSERT_TRUE(Pump([&] { return !captured.empty(); }, 10s));
  ASSERT_EQ(captured.front(), kSOk);

  GError* error = nullptr;
  GdkPixbuf* picture = gdk_pixbuf_new_from_file(path.c_str(), &error);
  ASSERT_NE(picture, nullptr) << (error != nullptr ? error->message : "");
  EXPECT_GE(gdk_pixbuf_get_width(picture), 300);
  EXPECT_GE(gdk_pixbuf_get_height(picture), 200);
  // The page's own colours are in the picture: it is not blank.
  bool body = false, box = false;
  const int channels = gdk_pixbuf_get_n_channels(picture);
  const int stride = gdk_pixbuf_get_rowstride(picture);
  const guchar* pixels = gdk_pixbuf_get_pixels(picture);
  for (int y = 0; y < gdk_pixbuf_get_height(picture); ++y) {
    for (int x = 0; x < gdk_pixbuf_get_width(picture); ++x) {
      const guchar* p = pixels + static_cast<std::ptrdiff_t>(y) * stride +
                        static_cast<std::ptrdiff_t>(x) * channels;
      body = body || (p[0] == 1 && p[1] == 2 && p[2] == 3);
      box = box || (p[0] == 250 && p[1] == 20 && p[2] == 30);
    }
  }
  EXPECT_TRUE(body);
  EXPECT_TRUE(box);
  g_object_unref(picture);
  std::filesystem::remove(path);
}

TEST_F(WebViewE2E, TheViewFollowsTheControlsSize) {
  ASSERT_NO_FATAL_FAILURE(Open());
  gtk_window_resize(GTK_WINDOW(window_), 500, 400);
  ASSERT_TRUE(Pump([&] { return Evaluate("innerWidth") == "500"; }, 10s));
  browser_->SetSizeRatio(0.5);
  ASSERT_TRUE(Pump([&] { return Evaluate("innerWidth") == "250"; }, 10s));
  EXPECT_EQ(Evaluate("innerHeight"), "200");
}

TEST_F(WebViewE2E, NewWindowsAndNavigationsCarryFileAddresses) {
  std::vector<std::string> starting;
  browser_->SetOnNavigationStarting([&](TCustomEdgeBrowser*, TNavigationStartingEventArgs& args) {
    std::string uri;
    args.ArgsInterface()->get_Uri(&uri);
    starting.push_back(uri);
  });
  std::vector<std::string> requested;
  browser_->SetOnNewWindowRequested([&](TCustomEdgeBrowser*, TNewWindowRequestedEventArgs& args) {
    std::string uri;
    args.ArgsInterface()->get_Uri(&uri);
    requested.push_back(uri);
    args.ArgsInterface()->put_Handled(true);
  });
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(starting, std::vector<std::string>{"file:///index.html"});

  GList* before = gtk_window_list_toplevels();
  const guint windows = g_list_length(before);
  g_list_free(before);
  EXPECT_EQ(Evaluate("window.open('other.html?x=1') === null"), "true");
  ASSERT_TRUE(Pump([&] { return !requested.empty(); }, 10s));
  EXPECT_EQ(requested.front(), "file:///other.html?x=1");
  Pump([] { return false; }, 200ms);
  GList* after = gtk_window_list_toplevels();
  EXPECT_EQ(g_list_length(after), windows);  // handled: no window of the engine's
  g_list_free(after);
}

TEST_F(WebViewE2E, AMissingEngineModuleReportsEFailAndStaysCreating) {
  SetLoaderLibraryPath("/nonexistent/libtessel-engine-webkit.so");
  browser_->SetParent(box_);
  ASSERT_TRUE(Pump([&] { return !created_.empty(); }, 10s));
  EXPECT_EQ(created_.front(), static_cast<HRESULT>(0x80004005u));
  EXPECT_EQ(browser_->BrowserControlState(), TBrowserControlState::Creating);
}

}  // namespace
}  // namespace tessel::shared
