// TESSEL_TRACE's page lines: what a page reports is printed on one line of
// its own, named by its real document, cut to size and thinned out when a
// page floods.
#include "runtime/page_trace.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fake/fake_engine.h"

namespace tessel::runtime {
namespace {

using std::chrono::steady_clock;

TEST(TraceText, EscapesWhatCouldBreakOrDisguiseALine) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain text, ü and 中", "plain text, ü and 中"},
      {"one\ntessel: served archive x", "one\\ntessel: served archive x"},
      {"a\rb\tc\\d", "a\\rb\\tc\\\\d"},
      {"\x1b[2Jgone", "\\x1b[2Jgone"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"next\xc2\x85line", "next\\x85line"},          // U+0085
      {"para\xe2\x80\xa8graph", "para\\u2028graph"},  // U+2028
      {"\xe2\x80\xae"
       "desrever",
       "\\u202edesrever"},  // right-to-left override
      {"bad \xff byte", "bad \\xff byte"},
      {"\xef\xbf\xbd stays", "\xef\xbf\xbd stays"},  // a real U+FFFD
  };
  for (const auto& c : cases) EXPECT_EQ(TraceText(c.in, 100), c.out) << c.in;
}

TEST(TraceText, CutsAtTheLimitAndSaysHowMuchIsLeftOut) {
  EXPECT_EQ(TraceText(std::string(10, 'a'), 4), "aaaa... (6 more bytes)");
  EXPECT_EQ(TraceText("abcd", 4), "abcd");
}

class PageTraceTest : public testing::Test {
 protected:
  // The lines printed for a message posted by `document`.
  std::string Post(const std::string& document, const std::string& json, bool* taken = nullptr) {
    platform::FakeWebMessageReceivedEventArgs args;
    args.source = document;
    args.json = json;
    out_.clear();
    const bool was_taken = trace_.WebMessage(args);
    if (taken != nullptr) *taken = was_taken;
    return out_;
  }

  std::string out_;
  steady_clock::time_point now_{};
  TPageTrace trace_{[this](std::string_view text) { out_ += text; }, [this] { return now_; }};
};

TEST_F(PageTraceTest, PrintsEntriesNamedByTheirRealDocument) {
  const char* app = "file:///index.html";
  const char* foreign = "https://evil.example/page";
  const struct {
    const char* document;
    const char* entry;
    const char* line;
  } cases[] = {
      {app, R"({"kind":"console.log","text":"x","source":"/js/app.js","line":12})",
       "tessel: console.log file:///js/app.js:12: x\n"},
      {app, R"({"kind":"console.warn","text":"careful","source":"","line":0})",
       "tessel: console.warn file:///index.html: careful\n"},
      {app,
       R"({"kind":"uncaught error","text":"Error: boom","source":"file:///index.html","line":3})",
       "tessel: uncaught error file:///index.html:3: Error: boom\n"},
      {app, R"({"kind":"unhandled rejection","text":"\"Missing filePath\""})",
       "tessel: unhandled rejection file:///index.html: \"Missing filePath\"\n"},
      // A page that claims another origin's script is named by its own.
      {foreign, R"({"kind":"console.log","text":"hi","source":"/a.js","line":2})",
       "tessel: console.log https://evil.example/a.js:2: hi\n"},
      {foreign, R"({"kind":"console.log","text":"hi","source":"file:///index.html","line":1})",
       "tessel: console.log file:///index.html:1 (in page https://evil.example/page): hi\n"},
      // A text cannot start a line of its own.
      {app, R"({"kind":"console.log","text":"a\ntessel: served archive webapp/x text/html"})",
       "tessel: console.log file:///index.html: a\\ntessel: served archive webapp/x text/html\n"},
      // Malformed entries are taken, and print nothing.
      {app, R"({"kind":"served archive","text":"x"})", ""},
      {app, R"({"kind":"console.log","text":5})", ""},
      {app, R"("text")", ""},
  };
  for (const auto& c : cases) {
    bool taken = false;
    EXPECT_EQ(Post(c.document, std::string(R"({"vtx-trace":)") + c.entry + "}", &taken), c.line)
        << c.entry;
    EXPECT_TRUE(taken) << c.entry;
  }
}

TEST_F(PageTraceTest, BridgeMessagesPassAndAreNamedWhenLeftUnanswered) {
  bool taken = true;
  const std::string call = R"({"id":30001,"uuid":"u1"})";
  EXPECT_EQ(Post("file:///index.html", call, &taken), "");
  EXPECT_FALSE(taken);
  trace_.Unanswered("Value 'data' not found");
  EXPECT_EQ(out_,
            "tessel: bridge message not answered: Value 'data' not found; message " + call + "\n");

  out_.clear();
  EXPECT_EQ(Post("file:///index.html",
                 std::string(R"({"id":1,"pad":")") + std::string(1000, 'p') + "\"}"),
            "");
  trace_.Unanswered("Unknown function ID 1");
  EXPECT_NE(out_.find("... ("), std::string::npos) << "a long message is cut";
  EXPECT_LT(out_.size(), 500u);

  out_.clear();
  trace_.Unserved("file:///css/missing.css");
  EXPECT_EQ(out_, "tessel: not served file:///css/missing.css\n");
}

TEST_F(PageTraceTest, AFloodIsThinnedOutAndCounted) {
  const std::string entry = R"({"vtx-trace":{"kind":"console.log","text":"x"}})";
  std::string all;
  for (int i = 0; i < TPageTrace::kBurst + 50; ++i) all += Post("file:///index.html", entry);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), TPageTrace::kBurst);

  now_ += std::chrono::milliseconds(100);  // room for kPerSecond / 10 lines
  all.clear();
  for (int i = 0; i < TPageTrace::kPerSecond; ++i) all += Post("file:///index.html", entry);
  const std::string first_line = all.substr(0, all.find('\n'));
  EXPECT_EQ(first_line, "tessel: 50 page trace lines left out (more than 200 a second)");
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), TPageTrace::kPerSecond / 10 + 1);
}

}  // namespace
}  // namespace tessel::runtime
