// The dispatcher: reading messages, choosing the command, writing replies,
// the origin rule, and what a message that cannot be read leads to.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bridge_fixture.h"
#include "platform/fake/fake_native_view.h"
#include "shared/browser_external_module.h"
#include "shared/exe_zip.h"

namespace tessel::test {
namespace {

using nlohmann::json;
using shared::EBridgeError;
using shared::TBrowserExternalModule;

const std::string kHelloReply = R"({"uuid": "u1", "success": true, "result": "2021.28"})";

using DispatchTest = BridgeTest;

TEST_F(DispatchTest, AnswersTheMessagesOfThePage) {
  const struct {
    const char* message;
    std::vector<std::string> replies;
  } cases[] = {
      {R"({"id":10001,"uuid":"u1","data":{}})", {kHelloReply}},
      {R"({"id":"10001","uuid":"u1","data":{}})", {kHelloReply}},
      // Extra members and a data of any kind do not matter to hello.
      {R"({"id":10001,"uuid":"u1","data":"x","more":[1]})", {kHelloReply}},
      {R"({"id":10001,"uuid":"u1","data":null})", {kHelloReply}},
      // A uuid is taken as text, whatever its kind.
      {R"({"id":10001,"uuid":7,"data":{}})",
       {R"({"uuid": "7", "success": true, "result": "2021.28"})"}},
      {R"({"id":10002,"uuid":"u1","data":{}})",
       {R"({"uuid": "u1", "success": true, "result": false})"}},
      // data that is no object: every argument is absent.
      {R"({"id":30001,"uuid":"u1","data":"x"})",
       {R"({"uuid": "u1", "success": false, "result": "Missing filePath"})"}},
      {R"({"id":30001,"uuid":"u1","data":[{"filePath":"a"}]})",
       {R"({"uuid": "u1", "success": false, "result": "Missing filePath"})"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Send(c.message), c.replies) << c.message;
  }
  EXPECT_TRUE(errors_.empty()) << errors_.front();
}

// No answer and no error for the page, but the reason is told, so that a
// call that never settles can be explained.
TEST_F(DispatchTest, IdsThatNameNoFunctionAreIgnoredWithTheirReason) {
  const struct {
    const char* message;
    const char* reason;
  } cases[] = {
      {R"({"id":10003,"uuid":"u1","data":{}})", "unknown function 10003"},
      {R"({"id":0,"uuid":"u1","data":{}})", "unknown function 0"},
      {R"({"id":-10001,"uuid":"u1","data":{}})", "unknown function -10001"},
      // The function is what an author needs first, whatever else is amiss.
      {R"({"id":12345})", "unknown function 12345"},
      {R"({"id":"abc","uuid":"u1","data":{}})", "function id 'abc' is not a number"},
      {R"({"id":null,"uuid":"u1","data":{}})", "function id '' is not a number"},
      {R"({"id":10001.5,"uuid":"u1","data":{}})", "function id '10001.5' is not a number"},
      {R"({"id":99999999999,"uuid":"u1","data":{}})", "function id '99999999999' is not a number"},
  };
  for (const auto& c : cases) {
    errors_.clear();
    EXPECT_TRUE(Send(c.message).empty()) << c.message;
    ASSERT_EQ(errors_.size(), 1u) << c.message;
    EXPECT_EQ(errors_[0], c.reason) << c.message;
  }
}

// The reason names the function by the name the page calls it, then says
// what is wrong.
TEST_F(DispatchTest, UnreadableMessagesAreDroppedWithTheirReason) {
  const struct {
    const char* message;
    const char* error;
  } cases[] = {
      {R"({"id":30001,"uuid":"u1"})", "files.fileExists (30001): no argument object"},
      {R"({"id":"70004","uuid":"u1"})", "shell.windows (70004): no argument object"},
      {R"({"id":10001,"data":{}})", "hello (10001): no uuid"},
      {R"({"id":60006,"uuid":["u1"],"data":{}})",
       "window.setTitle (60006): invalid value for 'uuid': array"},
      // An argument of the wrong kind, found by the command itself.
      {R"({"id":60006,"uuid":"u1","data":{"title":{"text":"x"}}})",
       "window.setTitle (60006): invalid value for 'title': object"},
      {R"({"id":20002,"uuid":"u1","data":{"overwritePrompt":"maybe"}})",
       "dialogs.saveFile (20002): invalid value for 'overwritePrompt': string"},
      {R"({"uuid":"u1","data":{}})", "not a bridge call: no function id"},
      {R"({"id":{},"uuid":"u1","data":{}})", "not a bridge call: invalid value for 'id': object"},
      {R"("a plain string")", "not a bridge call: the message is no JSON object"},
      {R"([10001,"u1",{}])", "not a bridge call: the message is no JSON object"},
      {R"(10001)", "not a bridge call: the message is no JSON object"},
      {R"({"id":10001,"uuid":"u1","data":{}} trailing)",
       "not a bridge call: the message is no JSON object"},
      {R"({"id":10001,"uuid":"u1","data":{})", "not a bridge call: the message is no JSON object"},
      {"", "not a bridge call: the message is no JSON object"},
  };
  for (const auto& c : cases) {
    errors_.clear();
    EXPECT_TRUE(Send(c.message).empty()) << c.message;
    ASSERT_EQ(errors_.size(), 1u) << c.message;
    EXPECT_EQ(errors_[0], c.error) << c.message;
  }
  // The module keeps answering.
  EXPECT_EQ(Call(10001), kHelloReply);
}

// A text cut inside an emoji: JSON.stringify writes the lone half as an
// escape that strict UTF-8 parsers refuse. It is answered like any text, the
// half read as U+FFFD.
TEST_F(DispatchTest, ALoneSurrogateIsTextLikeAnyOther) {
  const struct {
    const char* title;  // as JSON text
    const char* caption;
  } cases[] = {
      {R"("a\ud83d")", "a\xEF\xBF\xBD"},
      {R"("\uDE00b")",
       "\xEF\xBF\xBD"
       "b"},
      {R"("\ude00\ud83d")", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {R"("\ud83d\ud83d\ude00")", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\\ud83d")", "\\ud83d"},
      {R"("x\ud83d\n")", "x\xEF\xBF\xBD\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Call(60006, std::string(R"({"title":)") + c.title + "}"),
              R"({"uuid": "u1", "success": true, "result": true})")
        << c.title;
    EXPECT_EQ(window_.caption, c.caption) << c.title;
  }
  EXPECT_TRUE(errors_.empty());
}

TEST_F(DispatchTest, OnlyTheApplicationsOwnDocumentsReachTheCommands) {
  const std::string execute = R"({"id":70001,"uuid":"u1","data":{"filePath":"/bin/true"}})";
  const struct {
    const char* source;
    bool answered;
  } cases[] = {
      {"file:///index.html", true},
      {"FILE:///C:/app/page.html", true},
      {"file://host/share/page.html", true},
      {"https://example.com/", false},
      {"http://localhost/file:///index.html", false},
      {"about:blank", false},
      {"data:text/html,<p>", false},
      {"fil", false},
      {"", false},
  };
  for (const auto& c : cases) {
    os_.shell_starts.clear();
    const auto replies = Send(execute, c.source);
    EXPECT_EQ(replies.size(), c.answered ? 1u : 0u) << c.source;
    EXPECT_EQ(os_.shell_starts.size(), c.answered ? 1u : 0u) << c.source;
  }
}

TEST_F(DispatchTest, AForeignDocumentsCallIsRefusedByName) {
  const struct {
    const char* message;
    const char* reason;
  } cases[] = {
      {R"({"id":70003,"uuid":"u1","data":{"command":"rm -rf ~"}})",
       "shell.command (70003): refused, from a document that is not the app's own: "
       "https://example.com/"},
      {R"({"id":4,"uuid":"u1","data":{}})",
       "unknown function 4: refused, from a document that is not the app's own: "
       "https://example.com/"},
      {R"("hi")",
       "message: refused, from a document that is not the app's own: "
       "https://example.com/"},
  };
  for (const auto& c : cases) {
    errors_.clear();
    EXPECT_TRUE(Send(c.message, "https://example.com/").empty()) << c.message;
    ASSERT_EQ(errors_.size(), 1u) << c.message;
    EXPECT_EQ(errors_[0], c.reason);
  }
  EXPECT_TRUE(os_.console_starts.empty());
}

// Every function the bridge script offers is known here by the same name.
TEST(BridgeFunctions, NamesMatchTheBridgeScript) {
#ifdef _WIN32
  const std::string sources = "Z:" TESSEL_SOURCE_DIR;  // the Unix root under Wine
#else
  const std::string sources = TESSEL_SOURCE_DIR;
#endif
  std::ifstream file(std::filesystem::path(sources) / "resources" / "vtx_external.js");
  ASSERT_TRUE(file) << "the bridge script of the sources";
  std::stringstream script;
  script << file.rdbuf();
  const std::regex group(R"(^  (\w+): \{)");
  const std::regex function(R"((\w+): function \([^)]*\) \{ return [\w.]+\.call\((\d+),)");
  std::istringstream lines(script.str());
  std::string line;
  std::string prefix;
  std::set<int> offered;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_search(line, match, group)) prefix = match[1].str() + ".";
    if (line.starts_with("  }")) prefix.clear();
    if (!std::regex_search(line, match, function)) continue;
    const int id = std::stoi(match[2].str());
    offered.insert(id);
    EXPECT_EQ(TBrowserExternalModule::FunctionName(id), prefix + match[1].str()) << line;
  }
  // Nor does the module know a function the script does not offer.
  for (int id = 10000; id < 80000; ++id) {
    if (!TBrowserExternalModule::FunctionName(id).empty()) {
      EXPECT_TRUE(offered.contains(id)) << id;
    }
  }
  EXPECT_FALSE(offered.empty());
}

TEST_F(DispatchTest, AMessageWhoseSourceCannotBeReadIsDropped) {
  platform::FakeWebMessageReceivedEventArgs args;
  args.source = kAppDocument;
  args.document_id = kAppDocumentId;
  args.json = R"({"id":10001,"uuid":"u1","data":{}})";
  args.fail["get_Source"] = platform::kEFail;
  module_.WebMessageReceived(args);
  EXPECT_TRUE(browser_.posted.empty());
}

TEST_F(DispatchTest, TheClickMessageMovesTheFocusOnlyWithoutAnArchive) {
  const std::string clicked = R"("vtx-webbrowser-clicked")";
  EXPECT_TRUE(Send(clicked).empty());
  EXPECT_EQ(browser_.focus_requests, 1);
  EXPECT_TRUE(errors_.empty());

  shared::TExeZip zip;
  module_.SetExeZip(&zip);
  EXPECT_TRUE(Send(clicked).empty());
  EXPECT_EQ(browser_.focus_requests, 1);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "not a bridge call: the message is no JSON object");
  EXPECT_EQ(Call(10002), Success("true"));
}

TEST_F(DispatchTest, NothingThrownInACommandReachesTheEngine) {
  class ThrowingWindow : public FakeAppWindow {
    void SetCaption(const std::string&) override { throw std::runtime_error("window gone"); }
  } window;
  module_.SetMainForm(&window);
  EXPECT_EQ(Call(60006, R"({"title":"x"})"), "");
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "window.setTitle (60006): window gone");
  EXPECT_EQ(Call(10001), kHelloReply);
}

TEST_F(DispatchTest, RepliesFollowTheTemplateAndStayValidJson) {
  module_.PostBridgeReply(kAppDocumentId, "u1", "[\"a\",\"b\"]", true);
  module_.PostBridgeReply(kAppDocumentId, "u2", Str("Cannot create file \"C:\\a.txt\"."), false);
  // A uuid the bridge script would never make still gives a reply the page
  // can read, carrying the same text.
  module_.PostBridgeReply(kAppDocumentId, "x\"}, \"success\": false, \"y\": {\"", "true", true);
  ASSERT_EQ(browser_.posted.size(), 3u);
  EXPECT_EQ(browser_.posted[0], R"({"uuid": "u1", "success": true, "result": ["a","b"]})");
  EXPECT_EQ(browser_.posted[1],
            R"({"uuid": "u2", "success": false, "result": "Cannot create file \"C:\\a.txt\"."})");
  const json third = json::parse(browser_.posted[2]);
  EXPECT_EQ(third["uuid"], "x\"}, \"success\": false, \"y\": {\"");
  EXPECT_EQ(third["success"], true);
}

TEST_F(DispatchTest, WithoutABrowserNothingIsPosted) {
  module_.SetBrowserForm(nullptr);
  platform::FakeWebMessageReceivedEventArgs args;
  args.source = kAppDocument;
  args.document_id = kAppDocumentId;
  args.json = R"({"id":10001,"uuid":"u1","data":{}})";
  module_.WebMessageReceived(args);
  // Without a browser no document counts as the app's own.
  EXPECT_EQ(errors_.size(), 1u);
}

// --- reading members and arguments ------------------------------------------------

TEST(BridgeReading, RequiredStringAndArgStringConvertScalarsOnly) {
  const json data = json::parse(R"({"s":"text","e":"","i":10001,"n":-2,"f":1.5,"t":true,
                                    "b":false,"z":null,"o":{},"a":[],"Case":"upper"})");
  const struct {
    const char* name;
    const char* required;  // nullptr: RequiredString throws
    const char* arg;       // nullptr: ArgString throws
  } cases[] = {
      {"s", "text", "text"},
      {"e", "", ""},
      {"i", "10001", "10001"},
      {"n", "-2", "-2"},
      {"f", "1.5", "1.5"},
      {"t", "true", "true"},
      {"b", "false", "false"},
      {"z", "", "default"},
      {"o", nullptr, nullptr},
      {"a", nullptr, nullptr},
      {"missing", nullptr, "default"},
      {"case", nullptr, "default"},  // names match with letter case
  };
  for (const auto& c : cases) {
    if (c.required != nullptr) {
      EXPECT_EQ(TBrowserExternalModule::RequiredString(data, c.name), c.required) << c.name;
    } else {
      EXPECT_THROW(TBrowserExternalModule::RequiredString(data, c.name), EBridgeError) << c.name;
    }
    if (c.arg != nullptr) {
      EXPECT_EQ(TBrowserExternalModule::ArgString(data, c.name, "default"), c.arg) << c.name;
    } else {
      EXPECT_THROW(TBrowserExternalModule::ArgString(data, c.name, "default"), EBridgeError)
          << c.name;
    }
  }
  // A `data` that is no object supplies nothing; a message that is no object
  // has no members.
  for (const char* text : {"\"x\"", "null", "[1]", "3", "true"}) {
    const json value = json::parse(text);
    EXPECT_EQ(TBrowserExternalModule::ArgString(value, "s", "d"), "d") << text;
    EXPECT_THROW(TBrowserExternalModule::RequiredString(value, "s"), EBridgeError) << text;
    EXPECT_THROW(TBrowserExternalModule::RequiredObject(value, "s"), EBridgeError) << text;
  }
  EXPECT_TRUE(TBrowserExternalModule::RequiredObject(data, "z").is_null());
  EXPECT_TRUE(TBrowserExternalModule::RequiredObject(data, "a").is_array());
  try {
    TBrowserExternalModule::RequiredObject(data, "data");
    ADD_FAILURE();
  } catch (const EBridgeError& error) {
    EXPECT_STREQ(error.what(), "Value 'data' not found");
  }
}

TEST(BridgeReading, ArgBoolReadsBooleansWordsAndNumbers) {
  const struct {
    const char* value;  // JSON; nullptr: the member is absent
    int expected;       // 0 false, 1 true, -1 throws
  } cases[] = {
      {nullptr, 1},    {"null", 1},      {"true", 1},     {"false", 0}, {"\"true\"", 1},
      {"\"TRUE\"", 1}, {"\"fAlSe\"", 0}, {"\"yes\"", -1}, {"\"\"", -1}, {"\"1\"", -1},
      {"0", 0},        {"2", 1},         {"-1", 1},       {"0.0", 0},   {"0.5", 1},
      {"{}", -1},      {"[]", -1},
  };
  for (const auto& c : cases) {
    json data = json::object();
    if (c.value != nullptr) data["v"] = json::parse(c.value);
    const std::string label = c.value != nullptr ? c.value : "absent";
    if (c.expected < 0) {
      EXPECT_THROW(TBrowserExternalModule::ArgBool(data, "v", true), EBridgeError) << label;
    } else {
      EXPECT_EQ(TBrowserExternalModule::ArgBool(data, "v", true), c.expected == 1) << label;
    }
  }
  EXPECT_FALSE(TBrowserExternalModule::ArgBool(json::object(), "v", false));
}

TEST(BridgeReading, FileAddressesAreTold) {
  EXPECT_TRUE(TBrowserExternalModule::IsFileAddress("file:///index.html"));
  EXPECT_TRUE(TBrowserExternalModule::IsFileAddress("File:"));
  EXPECT_FALSE(TBrowserExternalModule::IsFileAddress(" file:///index.html"));
  EXPECT_FALSE(TBrowserExternalModule::IsFileAddress("filesystem:https://x/"));
  EXPECT_FALSE(TBrowserExternalModule::IsFileAddress("https://example.com/file:"));
}

// --- the wiring the main window makes ---------------------------------------------------

// The web view component over the fake engine, its message event routed to
// the module and the replies posted through it, as the main window wires
// them.
class WiredModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shared::SetEngineLibraryOpener(engine_->Opener());
    shared::SetLoaderLibraryPath("/opt/engine/loader.so");
    shared::SetApplicationExceptionHandler(
        [this](const std::exception& error) { exceptions_.push_back(error.what()); });
    browser_ = std::make_unique<shared::TEdgeBrowser>(std::make_unique<platform::FakeNativeView>());
    bool created = false;
    browser_->SetOnCreateWebViewCompleted(
        [&](shared::TCustomEdgeBrowser*, platform::HRESULT) { created = true; });
    browser_->SetParent(reinterpret_cast<platform::NativeWindowHandle>(0x5150));
    ASSERT_TRUE(dispatcher_.RunUntil([&] { return created; }));
    dispatcher_.Drain();

    bridge_ = std::make_unique<shared::TEdgeBrowserBridge>(
        *browser_, "/opt/app/", nullptr, [this](const std::string& source, std::uint64_t document) {
          return app_document_ && document == web_view_->document_id && source.starts_with("file:");
        });
    module_.SetBrowserForm(bridge_.get());
    browser_->SetOnWebMessageReceived(
        [this](shared::TCustomEdgeBrowser* sender, shared::TWebMessageReceivedEventArgs& args) {
          module_.EdgeBrowserWebMessageReceived(sender, args);
        });
    web_view_ = engine_->LastWebView();
    ASSERT_NE(web_view_, nullptr);
  }

  void TearDown() override {
    browser_.reset();
    dispatcher_.Drain();
    shared::SetEngineLibraryOpener({});
    shared::SetLoaderLibraryPath("");
    shared::SetApplicationExceptionHandler({});
  }

  platform::FakeUiDispatcher dispatcher_;
  platform::ScopedUiDispatcher scoped_dispatcher_{dispatcher_};
  std::shared_ptr<platform::FakeEngine> engine_ = platform::MakeFakeEngine();
  std::unique_ptr<shared::TEdgeBrowser> browser_;
  std::unique_ptr<shared::TEdgeBrowserBridge> bridge_;
  std::shared_ptr<platform::FakeWebView> web_view_;
  std::vector<std::string> exceptions_;
  bool app_document_ = true;
  TBrowserExternalModule module_;
};

TEST_F(WiredModuleTest, APagePostsAndReadsTheReplyThroughTheWebView) {
  web_view_->source = "file:///index.html";
  web_view_->document_id = 3;
  web_view_->RaiseWebMessage(R"({"id":10001,"uuid":"u1","data":{}})");
  web_view_->RaiseWebMessage(R"({"id":10001,"uuid":"u2"})");  // dropped, quietly
  web_view_->RaiseWebMessage(R"({"id":10002,"uuid":"u3","data":{}})");
  EXPECT_EQ(web_view_->posted_json,
            (std::vector<std::string>{kHelloReply,
                                      R"({"uuid": "u3", "success": true, "result": false})"}));
  EXPECT_TRUE(exceptions_.empty());

  // A page of another origin shown in the same web view gets nothing, nor
  // does a local file that the host did not count as the app's own.
  web_view_->source = "https://example.com/";
  web_view_->RaiseWebMessage(R"({"id":10001,"uuid":"u4","data":{}})");
  app_document_ = false;
  web_view_->source = "file:///home/u/page.html";
  web_view_->RaiseWebMessage(R"({"id":10001,"uuid":"u5","data":{}})");
  EXPECT_EQ(web_view_->posted_json.size(), 2u);
}

TEST_F(WiredModuleTest, AReplyIsPostedToTheDocumentThatAskedOrNowhere) {
  // The engine drops what is meant for a document it no longer shows.
  web_view_->source = "file:///index.html";
  web_view_->document_id = 3;
  EXPECT_TRUE(bridge_->PostWebMessageAsJson(3, kHelloReply));
  web_view_->document_id = 4;
  EXPECT_FALSE(bridge_->PostWebMessageAsJson(3, kHelloReply));
  EXPECT_FALSE(bridge_->PostWebMessageAsJson(0, kHelloReply));
  EXPECT_EQ(web_view_->posted_json, std::vector<std::string>{kHelloReply});
}

}  // namespace
}  // namespace tessel::test
