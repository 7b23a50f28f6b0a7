// dialogs.openFile and dialogs.saveFile over recording file dialogs.
#include <gtest/gtest.h>

#include "bridge_fixture.h"
#include "shared/bridge_commands.h"

namespace tessel::test {
namespace {

using shared::TFileType;
using Types = std::vector<TFileType>;

class DialogsTest : public BridgeTest {
 protected:
  DialogsTest() {
    auto dialogs = std::make_unique<FakeFileDialogs>();
    dialogs_ = dialogs.get();
    module_.SetFileDialogs(std::move(dialogs));
  }
  FakeFileDialogs* dialogs_;
};

TEST(FileTypes, ItemsAtSemicolonsWithExactlyTwoParts) {
  const struct {
    const char* text;
    Types types;
  } cases[] = {
      {"Text files|*.txt;All files|*.*", {{"Text files", "*.txt"}, {"All files", "*.*"}}},
      {"Images|*.png;*.jpg", {{"Images", "*.png"}}},
      {"A|B|C", {}},
      {"|*.txt", {{"", "*.txt"}}},
      {"Name|", {{"Name", ""}}},
      {"|", {{"", ""}}},
      {"", {}},
      {";;", {}},
      {"a|b;;c|d;", {{"a", "b"}, {"c", "d"}}},
      {" Spaced | *.x ", {{" Spaced ", " *.x "}}},
  };
  for (const auto& c : cases) EXPECT_EQ(shared::ParseFileTypes(c.text), c.types) << c.text;
}

TEST_F(DialogsTest, DefaultsAndArgumentsReachTheDialog) {
  EXPECT_EQ(Call(20001), Success(R"("")"));
  EXPECT_EQ(Call(20002), Success(R"("")"));
  EXPECT_EQ(Call(20002, R"({"fileName":"out.txt","title":"","fileTypes":"T|*.t",
                            "overwritePrompt":"true"})"),
            Success(R"("")"));
  EXPECT_EQ(Call(20001, R"({"title":"Pick one"})"), Success(R"("")"));
  ASSERT_EQ(dialogs_->shown.size(), 4u);

  const auto& open = dialogs_->shown[0];
  EXPECT_FALSE(open.save);
  EXPECT_EQ(open.request.title, "Open file");
  EXPECT_EQ(open.request.file_name, "");
  EXPECT_TRUE(open.request.file_types.empty());
  EXPECT_EQ(open.request.file_type_index, 1u);

  const auto& save = dialogs_->shown[1];
  EXPECT_TRUE(save.save);
  EXPECT_EQ(save.request.title, "Save file");
  EXPECT_FALSE(save.request.overwrite_prompt);

  const auto& given = dialogs_->shown[2];
  EXPECT_EQ(given.request.file_name, "out.txt");
  EXPECT_EQ(given.request.title, "");  // the platform's own title
  EXPECT_EQ(given.request.file_types, (Types{{"T", "*.t"}}));
  EXPECT_TRUE(given.request.overwrite_prompt);

  EXPECT_EQ(dialogs_->shown[3].request.title, "Pick one");
}

TEST_F(DialogsTest, TheChosenPathOrEmptyOnCancel) {
  dialogs_->answers.push_back({"/home/u/a \"b\".txt", {}, {}});
  dialogs_->answers.push_back({std::nullopt, {}, {}});
  dialogs_->answers.push_back({"C:\\Users\\u\\x.txt", {}, {}});
  EXPECT_EQ(Call(20001), Success(R"("\/home\/u\/a \"b\".txt")"));
  EXPECT_EQ(Call(20002), Success(R"("")"));
  EXPECT_EQ(Call(20002), Success(R"("C:\\Users\\u\\x.txt")"));
}

TEST_F(DialogsTest, OverwritePromptIsReadAsABoolean) {
  const struct {
    const char* value;
    int prompt;  // -1: no dialog, no reply
  } cases[] = {{"true", 1}, {"\"true\"", 1}, {"\"TRUE\"", 1}, {"1", 1},       {"false", 0},
               {"0", 0},    {"null", 0},     {"\"yes\"", -1}, {"\"on\"", -1}, {"{}", -1}};
  for (const auto& c : cases) {
    dialogs_->shown.clear();
    const std::string reply = Call(20002, std::string(R"({"overwritePrompt":)") + c.value + "}");
    if (c.prompt < 0) {
      EXPECT_EQ(reply, "") << c.value;
      EXPECT_TRUE(dialogs_->shown.empty()) << c.value;
    } else {
      EXPECT_EQ(reply, Success(R"("")")) << c.value;
      ASSERT_EQ(dialogs_->shown.size(), 1u);
      EXPECT_EQ(dialogs_->shown[0].request.overwrite_prompt, c.prompt == 1) << c.value;
    }
  }
}

TEST_F(DialogsTest, TheChosenTypeCarriesOverAndTheListDoesNot) {
  const std::string types = R"({"fileTypes":"Text files|*.txt;All files|*.*"})";
  dialogs_->answers.push_back({"/a.txt", 2, {}});       // the user switches to "All files"
  dialogs_->answers.push_back({std::nullopt, {}, {}});  // cancelled
  dialogs_->answers.push_back({std::nullopt, 1, {}});   // back to the first, cancelled
  Call(20001, types);
  Call(20001, types);
  Call(20002, types);  // the save dialog keeps its own
  Call(20001, "{}");
  Call(20001, types);
  ASSERT_EQ(dialogs_->shown.size(), 5u);
  EXPECT_EQ(dialogs_->shown[0].request.file_type_index, 1u);
  EXPECT_EQ(dialogs_->shown[1].request.file_type_index, 2u);
  EXPECT_EQ(dialogs_->shown[1].request.file_types.size(), 2u);
  EXPECT_EQ(dialogs_->shown[2].request.file_type_index, 1u);
  EXPECT_TRUE(dialogs_->shown[3].request.file_types.empty());
  EXPECT_EQ(dialogs_->shown[4].request.file_type_index, 2u);
}

TEST_F(DialogsTest, ARequestWhileADialogIsOpenIsAnsweredOnceAtOnce) {
  std::size_t replies_while_open = 0;
  dialogs_->answers.push_back({"/chosen.txt", {}, [&] {
                                 Send(R"({"id":20002,"uuid":"u2","data":{}})");
                                 // Other commands are answered meanwhile.
                                 Send(R"({"id":10001,"uuid":"u3","data":{}})");
                                 replies_while_open = browser_.posted.size();
                               }});
  dialogs_->answers.push_back({"/second.txt", {}, {}});
  EXPECT_EQ(
      Send(R"({"id":20001,"uuid":"u1","data":{}})"),
      (std::vector<std::string>{R"({"uuid": "u2", "success": true, "result": ""})",
                                R"({"uuid": "u3", "success": true, "result": "2021.28"})",
                                R"({"uuid": "u1", "success": true, "result": "\/chosen.txt"})"}));
  EXPECT_EQ(replies_while_open, 2u);
  EXPECT_EQ(dialogs_->shown.size(), 1u);
  // Once closed, the next request shows the dialog again.
  EXPECT_EQ(Call(20002), Success(Str("/second.txt")));
}

TEST_F(DialogsTest, WithoutDialogsEveryRequestCountsAsCancelled) {
  module_.SetFileDialogs(nullptr);
  EXPECT_EQ(Call(20001), Success(R"("")"));
  EXPECT_EQ(Call(20002, R"({"overwritePrompt":true})"), Success(R"("")"));
}

TEST_F(DialogsTest, AModuleDestroyedWhileItsDialogIsOpenPostsNothing) {
  auto module = std::make_unique<shared::TBrowserExternalModule>();
  auto dialogs = std::make_unique<FakeFileDialogs>();
  FakeFileDialogs::Answer answer;
  answer.path = "/a.txt";
  answer.while_open = [&] { module.reset(); };
  dialogs->answers.push_back(std::move(answer));
  module->SetFileDialogs(std::move(dialogs));
  module->SetBrowserForm(&browser_);
  platform::FakeWebMessageReceivedEventArgs args;
  args.source = kAppDocument;
  args.document_id = kAppDocumentId;
  args.json = R"({"id":20001,"uuid":"u1","data":{}})";
  module->WebMessageReceived(args);
  EXPECT_EQ(module, nullptr);
  EXPECT_TRUE(browser_.posted.empty());
}

}  // namespace
}  // namespace tessel::test
