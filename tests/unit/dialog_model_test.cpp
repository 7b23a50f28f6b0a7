#include "platform/dialog_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_ui.h"

namespace tessel::platform {
namespace {

using B = DialogButton;

struct LayoutCase {
  const char* name;
  std::vector<DialogButton> buttons;
  std::vector<std::string> captions;
  std::vector<DialogButton> laid_out;
  std::vector<std::optional<std::string>> applied;  // caption per laid-out button
  int default_result;
  int escape_result;
};

const LayoutCase kLayoutCases[] = {
    {"ConfirmationPassedCancelFirst",
     {B::Cancel, B::Yes},
     {"Accept", "Cancel it"},
     {B::Yes, B::Cancel},
     {"Accept", "Cancel it"},
     mrYes,
     mrCancel},
    {"EveryButtonReversedWithoutCaptions",
     {B::Close, B::Help, B::YesToAll, B::NoToAll, B::All, B::Ignore, B::Retry, B::Abort, B::Cancel,
      B::OK, B::No, B::Yes},
     {},
     {B::Yes, B::No, B::OK, B::Cancel, B::Abort, B::Retry, B::Ignore, B::All, B::NoToAll,
      B::YesToAll, B::Help, B::Close},
     std::vector<std::optional<std::string>>(12),
     mrOk,
     mrCancel},
    {"FewerCaptionsThanButtonsLeavesTheRestToThePlatform",
     {B::Help, B::No, B::Yes},
     {"First"},
     {B::Yes, B::No, B::Help},
     {"First", std::nullopt, std::nullopt},
     mrYes,
     mrNone},
    {"SurplusCaptionsAreIgnored", {B::OK}, {"Fine", "x", "y"}, {B::OK}, {"Fine"}, mrOk, mrNone},
    {"OkIsDefaultEvenWhenYesComesFirst",
     {B::OK, B::Yes},
     {},
     {B::Yes, B::OK},
     {{}, {}},
     mrOk,
     mrNone},
    {"NeitherOkNorYesDefaultsToTheFirst",
     {B::Ignore, B::Retry, B::Abort},
     {},
     {B::Abort, B::Retry, B::Ignore},
     {{}, {}, {}},
     mrAbort,
     mrNone},
    {"DuplicatesCountOnce",
     {B::Yes, B::Cancel, B::Yes},
     {},
     {B::Yes, B::Cancel},
     {{}, {}},
     mrYes,
     mrCancel},
    {"EmptySetShowsOk", {}, {"Got it"}, {B::OK}, {"Got it"}, mrOk, mrNone},
    {"EmptyCaptionIsStillTheCallersCaption", {B::Yes}, {""}, {B::Yes}, {""}, mrYes, mrNone},
};

class LayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, LaysOutCaptionsAndKeys) {
  const LayoutCase& c = GetParam();
  const DialogLayout layout = LayOutDialog(DialogType::Custom, c.buttons, c.captions);
  ASSERT_EQ(layout.buttons.size(), c.laid_out.size());
  for (std::size_t i = 0; i < c.laid_out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(layout.buttons[i].button, c.laid_out[i]);
    EXPECT_EQ(layout.buttons[i].modal_result, ModalResultOf(c.laid_out[i]));
    EXPECT_EQ(layout.buttons[i].caption, c.applied[i]);
  }
  EXPECT_EQ(layout.default_result, c.default_result);
  EXPECT_EQ(layout.escape_result, c.escape_result);
  EXPECT_EQ(layout.close_box_result, mrCancel);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, LayoutTest, testing::ValuesIn(kLayoutCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DialogModelTest, ModalResultsKeepTheirClassicValues) {
  const std::pair<DialogButton, int> expected[] = {
      {B::Yes, 6},      {B::No, 7},        {B::OK, 1},     {B::Cancel, 2},
      {B::Abort, 3},    {B::Retry, 4},     {B::Ignore, 5}, {B::All, 12},
      {B::NoToAll, 13}, {B::YesToAll, 14}, {B::Help, 9},   {B::Close, 8},
  };
  for (const auto& [button, result] : expected) {
    EXPECT_EQ(ModalResultOf(button), result) << DefaultButtonCaption(button);
    EXPECT_FALSE(DefaultButtonCaption(button).empty());
  }
}

TEST(DialogModelTest, IconFollowsTheTypeAndConfirmationUsesInformation) {
  const std::pair<DialogType, DialogIcon> expected[] = {
      {DialogType::Warning, DialogIcon::Warning},
      {DialogType::Error, DialogIcon::Error},
      {DialogType::Information, DialogIcon::Information},
      {DialogType::Confirmation, DialogIcon::Information},
      {DialogType::Custom, DialogIcon::None},
  };
  for (const auto& [type, icon] : expected) {
    EXPECT_EQ(LayOutDialog(type, {B::OK}, {}).icon, icon) << static_cast<int>(type);
  }
}

// What each user action answers, through the fake so its scripting is
// covered by the same table.
struct AnswerCase {
  const char* name;
  std::vector<DialogButton> buttons;
  std::vector<ScriptedAction> actions;
  int result;
};

const AnswerCase kAnswerCases[] = {
    {"ConfirmEnter", {B::Yes, B::Cancel}, {ScriptedAction::Enter()}, mrYes},
    {"ConfirmEscape", {B::Yes, B::Cancel}, {ScriptedAction::Escape()}, mrCancel},
    {"ConfirmCloseBox", {B::Yes, B::Cancel}, {ScriptedAction::CloseBox()}, mrCancel},
    {"ConfirmClickAccept", {B::Yes, B::Cancel}, {ScriptedAction::Click(0)}, mrYes},
    {"ConfirmClickCancel", {B::Yes, B::Cancel}, {ScriptedAction::Click(1)}, mrCancel},
    {"ClickUsesLayoutPosition", {B::Cancel, B::Yes}, {ScriptedAction::Click(0)}, mrYes},
    {"ErrorEnter", {B::Yes}, {ScriptedAction::Enter()}, mrYes},
    {"ErrorCloseBox", {B::Yes}, {ScriptedAction::CloseBox()}, mrCancel},
    {"EscapeWithoutCancelKeepsTheDialogOpen",
     {B::Yes},
     {ScriptedAction::Escape(), ScriptedAction::Click(0)},
     mrYes},
    {"ClickBesideEveryButtonKeepsTheDialogOpen",
     {B::Yes, B::Cancel},
     {ScriptedAction::Click(2), ScriptedAction::Enter()},
     mrYes},
    {"UnansweredDialogIsClosedWithTheCloseBox", {B::Yes}, {ScriptedAction::Escape()}, mrCancel},
    {"EnterOnYesNoAnswersYes", {B::No, B::Yes}, {ScriptedAction::Enter()}, mrYes},
};

class AnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, ActionGivesModalResult) {
  const AnswerCase& c = GetParam();
  FakeUi ui;
  ui.actions.assign(c.actions.begin(), c.actions.end());
  EXPECT_EQ(ui.MessageDialog("text", DialogType::Confirmation, c.buttons, {}, "title"), c.result);
  EXPECT_TRUE(ui.actions.empty());
  ASSERT_EQ(ui.dialogs.size(), 1U);
  EXPECT_EQ(ui.dialogs[0].result, c.result);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, AnswerTest, testing::ValuesIn(kAnswerCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FakeUiTest, RecordsTheDialogAsLaidOut) {
  FakeUi ui;
  ui.actions = {ScriptedAction::Enter(), ScriptedAction::Enter()};
  ui.MessageDialog("Install?", DialogType::Confirmation, {B::Cancel, B::Help, B::Yes},
                   {"Accept", "Cancel"}, "Confirm");
  ASSERT_EQ(ui.dialogs.size(), 1U);
  const ShownDialog& d = ui.dialogs[0];
  EXPECT_EQ(d.text, "Install?");
  EXPECT_EQ(d.title, "Confirm");
  EXPECT_EQ(d.icon, DialogIcon::Information);
  EXPECT_EQ(d.buttons, (std::vector<DialogButton>{B::Yes, B::Cancel, B::Help}));
  EXPECT_EQ(d.captions, (std::vector<std::string>{"Accept", "Cancel", "Help"}));
  EXPECT_TRUE(d.shown);
  EXPECT_EQ(ui.actions.size(), 1U) << "one answer per dialog";
}

TEST(FakeUiTest, WithoutDisplayAnswersLikeTheCloseBoxAndUsesNoAction) {
  FakeUi ui;
  ui.display_available = false;
  ui.actions = {ScriptedAction::Enter()};
  EXPECT_FALSE(ui.Initialize());
  EXPECT_EQ(ui.MessageDialog("t", DialogType::Error, {B::Yes}, {}, "Error"), mrCancel);
  ASSERT_EQ(ui.dialogs.size(), 1U);
  EXPECT_FALSE(ui.dialogs[0].shown);
  EXPECT_EQ(ui.actions.size(), 1U);
  ui.RunPlainMainWindow("App");
  EXPECT_TRUE(ui.main_windows.empty());
}

}  // namespace
}  // namespace tessel::platform
