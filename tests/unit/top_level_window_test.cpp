// One contract suite for the top-level window, run against the fake and,
// when a display is there (under xvfb-run), the GTK window, so the fake
// cannot drift from what the real window does.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/fake/fake_main_window.h"
#include "platform/fake/fake_ui_dispatch.h"
#include "platform/native_view.h"
#include "platform/ui.h"
#include "platform/ui_dispatch.h"

namespace tessel::platform {
namespace {

struct Implementation {
  const char* name;
  // Null when this implementation cannot run here.
  std::function<std::unique_ptr<TopLevelWindow>()> make;
};

// The fake's loop runs what was posted to the fake dispatcher.
FakeUiDispatcher* g_fake_dispatcher = nullptr;

std::unique_ptr<TopLevelWindow> MakeFake() {
  auto window = std::make_unique<FakeMainWindow>();
  window->loop = [](FakeMainWindow&) { g_fake_dispatcher->Drain(); };
  return window;
}

std::unique_ptr<TopLevelWindow> MakeNative() {
  static const std::unique_ptr<Ui> ui = MakeNativeUi();
  return ui->CreateMainWindow();
}

class TopLevelWindowContract : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (std::string(GetParam().name) == "Fake") {
      fake_dispatcher_ = std::make_unique<FakeUiDispatcher>();
      g_fake_dispatcher = fake_dispatcher_.get();
      scoped_dispatcher_ = std::make_unique<ScopedUiDispatcher>(*fake_dispatcher_);
    }
    window_ = GetParam().make();
    if (!window_) GTEST_SKIP() << "no display";
  }
  void TearDown() override {
    window_.reset();
    scoped_dispatcher_.reset();
    g_fake_dispatcher = nullptr;
  }

  // Posts `work` to the UI loop that RunMessageLoop runs.
  static void Post(std::function<void()> work) { CurrentUiDispatcher().Post(std::move(work)); }

  std::unique_ptr<FakeUiDispatcher> fake_dispatcher_;
  std::unique_ptr<ScopedUiDispatcher> scoped_dispatcher_;
  std::unique_ptr<TopLevelWindow> window_;
};

TEST_P(TopLevelWindowContract, SizeStaysWithinTheLimits) {
  window_->SetSize(1000, 700);
  EXPECT_EQ(window_->Width(), 1000);
  EXPECT_EQ(window_->Height(), 700);
  window_->SetMaxWidth(900);
  EXPECT_EQ(window_->Width(), 900);
  window_->SetMaxWidth(500);
  window_->SetMinWidth(700);  // the minimum wins
  EXPECT_EQ(window_->Limits().MaxWidth(), 700);
  EXPECT_EQ(window_->Width(), 700);
  window_->SetMinHeight(800);
  EXPECT_EQ(window_->Height(), 800);
  window_->SetSize(100, 2000);
  EXPECT_EQ(window_->Width(), 700);
  EXPECT_EQ(window_->Height(), 2000);
}

TEST_P(TopLevelWindowContract, PropertiesReadBackAsSet) {
  const std::string caption = "Quotes \" and \\ and\nlines \xC3\xA9";
  window_->SetCaption(caption);
  EXPECT_EQ(window_->Caption(), caption);
  // Far more than a window system takes in one request: the window keeps
  // the whole text and shows what fits.
  const std::string huge(std::size_t{24} * 1024 * 1024, 'T');
  window_->SetCaption(huge);
  EXPECT_EQ(window_->Caption(), huge);
  window_->SetApplicationTitle("App");
  EXPECT_EQ(window_->ApplicationTitle(), "App");

  for (int border = kBorderNone; border <= kBorderSizeToolWindow; ++border) {
    window_->SetBorderStyle(border);
    EXPECT_EQ(window_->BorderStyle(), border);
  }
  window_->SetBorderStyle(9);
  EXPECT_EQ(window_->BorderStyle(), kBorderSizeable);
  window_->SetBorderStyle(-1);
  EXPECT_EQ(window_->BorderStyle(), kBorderSizeable);

  EXPECT_EQ(window_->State(), WindowState::Normal);
  window_->SetWindowState(WindowState::Maximized);
  EXPECT_EQ(window_->State(), WindowState::Maximized);
  window_->SetWindowState(WindowState::Normal);
  EXPECT_EQ(window_->State(), WindowState::Normal);

  EXPECT_FALSE(window_->StayOnTop());
  window_->SetStayOnTop(true);
  EXPECT_TRUE(window_->StayOnTop());

  EXPECT_FALSE(window_->BusyBarVisible());
  window_->SetBusyBarVisible(true);
  EXPECT_TRUE(window_->BusyBarVisible());
  window_->SetBusyBarVisible(false);
  EXPECT_FALSE(window_->BusyBarVisible());
}

TEST_P(TopLevelWindowContract, ContentViewGoesIntoTheClientArea) {
  ASSERT_NE(window_->ClientArea(), nullptr);
  std::unique_ptr<NativeView> view = window_->CreateContentView();
  ASSERT_NE(view, nullptr);
  view->SetParent(window_->ClientArea());
  EXPECT_EQ(view->Parent(), window_->ClientArea());
  EXPECT_TRUE(view->HasParentForm());
  view->SetParent(nullptr);
}

TEST_P(TopLevelWindowContract, EveryCloseRequestAsksAndARefusalKeepsTheWindow) {
  int queries = 0;
  int closes = 0;
  bool allow = false;
  window_->OnCloseQuery = [&] {
    ++queries;
    return allow;
  };
  window_->OnClose = [&] {
    ++closes;
    // Nothing else of the loop runs after this.
    EXPECT_TRUE(window_->Closed());
  };
  window_->Show();
  EXPECT_TRUE(window_->Shown());
  // The loop runs the requests; the second is allowed and ends the loop.
  Post([&] {
    window_->Close();
    EXPECT_FALSE(window_->Closed());
    allow = true;
    window_->Close();
    EXPECT_TRUE(window_->Closed());
    EXPECT_EQ(closes, 0);  // not from inside the request
    window_->Close();      // once closed, nothing asks again
  });
  window_->RunMessageLoop();
  EXPECT_EQ(queries, 2);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(window_->Shown());
  window_->RunMessageLoop();
  EXPECT_EQ(closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Windows, TopLevelWindowContract,
                         ::testing::Values(Implementation{"Fake", MakeFake},
                                           Implementation{"Native", MakeNative}),
                         [](const ::testing::TestParamInfo<Implementation>& info) {
                           return std::string(info.param.name);
                         });

TEST(WindowSystemTitle, LongTextsAreCutAtACharacterBoundary) {
  const std::string e_acute = "\xC3\xA9";
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"App", "App"},
      {std::string(kMaxWindowTitleBytes, 'a'), std::string(kMaxWindowTitleBytes, 'a')},
      {std::string(kMaxWindowTitleBytes + 1, 'a'), std::string(kMaxWindowTitleBytes, 'a')},
      // The limit falls inside the two bytes of an e acute: it goes whole.
      {std::string(kMaxWindowTitleBytes - 1, 'a') + e_acute + "b",
       std::string(kMaxWindowTitleBytes - 1, 'a')},
      {std::string(kMaxWindowTitleBytes - 2, 'a') + e_acute + "b",
       std::string(kMaxWindowTitleBytes - 2, 'a') + e_acute},
  };
  for (const auto& c : cases) EXPECT_EQ(WindowSystemTitle(c.text), c.shown) << c.text.size();
}

}  // namespace
}  // namespace tessel::platform
