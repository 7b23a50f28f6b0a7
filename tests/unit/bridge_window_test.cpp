// app.* and window.*: the close handshake, full screen, style, state, title.
#include <gtest/gtest.h>

#include "bridge_fixture.h"
#include "shared/exe_zip.h"

namespace tessel::test {
namespace {

using Calls = std::vector<std::string>;

class WindowTest : public BridgeTest {
 protected:
  WindowTest() { module_.SetExeZip(&zip_); }
  shared::TExeZip zip_;
};

TEST_F(WindowTest, CloseAsksTheMainWindowAndIsNeverAnswered) {
  std::vector<shared::TBrowserExternalModule*> senders;
  module_.SetOnAppCloseRequest(
      [&](shared::TBrowserExternalModule* sender) { senders.push_back(sender); });
  EXPECT_EQ(Call(50001), "");
  EXPECT_EQ(senders, std::vector<shared::TBrowserExternalModule*>{&module_});

  module_.SetOnAppCloseRequest(nullptr);
  EXPECT_EQ(Call(50001), "");
  EXPECT_TRUE(errors_.empty());
}

TEST_F(WindowTest, FullScreenIsBorderlessMaximizedAndSwitchesOnlyOnce) {
  EXPECT_EQ(Call(50002), Success("false"));
  EXPECT_EQ(Call(50003), "");
  EXPECT_EQ(Call(50003), "");
  EXPECT_EQ(window_.calls, (Calls{"border 0", "state maximized"}));
  EXPECT_EQ(Call(50002), Success("true"));
  EXPECT_EQ(Call(60003), Success(Str("maximized")));

  window_.calls.clear();
  EXPECT_EQ(Call(50004), "");
  EXPECT_EQ(Call(50004), "");
  EXPECT_EQ(window_.calls, (Calls{"state normal", "border 2"}));
  EXPECT_EQ(Call(50002), Success("false"));
}

TEST_F(WindowTest, LeavingFullScreenUsesTheWindowBorderSettingReadThen) {
  module_.SetInFullscreen(true);  // as a window started in full screen
  settings_.LoadFromText("[App]\nWindowBorder=3\n");
  EXPECT_EQ(Call(50004), "");
  EXPECT_EQ(window_.calls, (Calls{"state normal", "border 3"}));

  // Entered from a maximized window: still ends normal.
  window_.state = shared::TWindowState::Maximized;
  window_.calls.clear();
  settings_.LoadFromText("[App]\nWindowBorder=1\n");
  Call(50003);
  Call(50004);
  EXPECT_EQ(window_.calls, (Calls{"border 0", "state maximized", "state normal", "border 1"}));

  module_.SetProjectINI(nullptr);
  window_.calls.clear();
  Call(50003);
  Call(50004);
  EXPECT_EQ(window_.calls.back(), "border 2");
}

TEST_F(WindowTest, FullScreenNeedsAnArchive) {
  module_.SetExeZip(nullptr);
  module_.SetApplicationTitle("Demo");
  EXPECT_EQ(Call(50003), "");
  module_.SetInFullscreen(true);
  EXPECT_EQ(Call(50004), "");
  EXPECT_TRUE(window_.calls.empty());
  EXPECT_TRUE(module_.InFullscreen());
  ASSERT_EQ(ui_.dialogs.size(), 2u);
  EXPECT_EQ(ui_.dialogs[0].text, "Calls to vtx.app.enterFullscreen() works only at runtime.");
  EXPECT_EQ(ui_.dialogs[1].text, "Calls to vtx.app.exitFullscreen() works only at runtime.");
  EXPECT_EQ(ui_.dialogs[1].title, "Demo");
}

TEST_F(WindowTest, SetStateTakesTheExactWordsOnly) {
  const struct {
    const char* data;
    Calls calls;
  } cases[] = {
      {R"({"state":"minimized"})", {"state minimized"}},
      {R"({"state":"maximized"})", {"state maximized"}},
      {R"({"state":"normal"})", {"state normal"}},
      {"{}", {"state normal"}},
      {R"({"state":null})", {"state normal"}},
      {R"({"state":"Maximized"})", {}},
      {R"({"state":"maximized "})", {}},
      {R"({"state":""})", {}},
  };
  for (const auto& c : cases) {
    window_.calls.clear();
    EXPECT_EQ(Call(60004, c.data), Success("true")) << c.data;
    EXPECT_EQ(window_.calls, c.calls) << c.data;
  }
  EXPECT_EQ(Call(60004, R"({"state":["normal"]})"), "");  // wrong kind: dropped
}

TEST_F(WindowTest, SetStateLeavesTheFullScreenFlagAndBorderAlone) {
  Call(50003);
  window_.calls.clear();
  EXPECT_EQ(Call(60004, R"({"state":"normal"})"), Success("true"));
  EXPECT_EQ(window_.calls, (Calls{"state normal"}));
  EXPECT_EQ(window_.border_style, 0);
  EXPECT_EQ(Call(50002), Success("true"));
}

TEST_F(WindowTest, GetStateNamesEveryState) {
  const std::pair<shared::TWindowState, const char*> cases[] = {
      {shared::TWindowState::Normal, "normal"},
      {shared::TWindowState::Minimized, "minimized"},
      {shared::TWindowState::Maximized, "maximized"}};
  for (const auto& [state, word] : cases) {
    window_.state = state;
    EXPECT_EQ(Call(60003), Success(Str(word)));
  }
}

TEST_F(WindowTest, StyleIsOnTopOnlyForTheExactWord) {
  const struct {
    const char* data;
    bool on_top;
  } cases[] = {
      {R"({"style":"ontop"})", true}, {R"({"style":"ONTOP"})", false},
      {R"({"style":"ontop"})", true}, {"{}", false},
      {R"({"style":"ontop"})", true}, {R"({"style":"normal"})", false},
      {R"({"style":"ontop"})", true}, {R"({"style":"on top"})", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Call(60002, c.data), Success("true")) << c.data;
    EXPECT_EQ(window_.stay_on_top, c.on_top) << c.data;
    EXPECT_EQ(Call(60001), Success(Str(c.on_top ? "ontop" : "normal"))) << c.data;
  }
}

TEST_F(WindowTest, TitleComesBackExactly) {
  const std::string titles[] = {"Plain", "Say \"hi\" \\ path/to\r\nnext\tline",
                                "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", ""};
  for (const std::string& title : titles) {
    EXPECT_EQ(Call(60006, "{\"title\":" + Str(title) + "}"), Success("true"));
    EXPECT_EQ(window_.caption, title);
    const std::string reply = Call(60005);
    EXPECT_EQ(reply, Success(Str(title)));
    EXPECT_EQ(nlohmann::json::parse(reply)["result"], title);
  }
  window_.caption = "x";
  EXPECT_EQ(Call(60006, "{}"), Success("true"));
  EXPECT_EQ(window_.caption, "");
  EXPECT_EQ(Call(60006, R"({"title":42})"), Success("true"));
  EXPECT_EQ(window_.caption, "42");
  EXPECT_EQ(Call(60006, R"({"title":{"text":"x"}})"), "");
  EXPECT_EQ(window_.caption, "42");
}

}  // namespace
}  // namespace tessel::test
