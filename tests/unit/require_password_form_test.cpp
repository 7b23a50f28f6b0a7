// The password prompt's logic over the fake start-up UI: what closes it, what
// does not, and what start-up makes of its answer.
#include "runtime/require_password_form.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "platform/fake/fake_ui_startup.h"
#include "runtime/exe_zip_loader.h"
#include "shared/program_constants.h"
#include "shared/relaunch_proof.h"
#include "shared/zip_writer.h"

namespace tessel::runtime {
namespace {

TEST(RequirePasswordFormTest, FormCreateLeavesNoPasswordAndTheDefaultTitle) {
  TRequirePasswordForm form;
  EXPECT_EQ(form.Password(), "");
  EXPECT_EQ(form.Caption, "[App Name]");
  EXPECT_EQ(form.ModalResult(), platform::mrNone);
}

// The edit box's text after each key release, and at which release (if any)
// the prompt closes.
TEST(RequirePasswordFormTest, ClosesAtTheKeyReleaseThatMakesTheWholeTextEqual) {
  struct Case {
    const char* name;
    std::vector<std::string> texts;
    int closes_at;  // -1: stays open until the close box
  };
  const Case cases[] = {
      {"typed key by key", {"s", "s3", "s3C", "s3Cr", "s3Cre", "s3Cret"}, 5},
      {"shift released after the last letter", {"s", "s3", "s3C", "s3C", "s3Cr", "s3Cret"}, 5},
      {"letter case differs", {"s", "s3", "s3c", "s3cr", "s3cre", "s3cret"}, -1},
      {"only a part", {"s", "s3", "s3C"}, -1},
      {"extra characters, then deleted", {"s3Cret", "s3Cret!", "s3Cret!!", "s3Cret!"}, 0},
      {"extra characters first", {"s3Cret!!", "s3Cret!", "s3Cret"}, 2},
      {"a blank before it", {" s3Cret"}, -1},
      {"pasted whole", {"s3Cret"}, 0},
      {"nothing typed", {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::FakeStartupUi ui;
    platform::ScopedStartupUi scoped(ui);
    ui.password_texts = c.texts;
    TRequirePasswordForm form;
    form.Caption = "Example";
    form.SetPassword("s3Cret");

    const int result = form.ShowModal();

    ASSERT_EQ(ui.prompts.size(), 1U);
    EXPECT_EQ(ui.prompts[0].caption, "Example");
    if (c.closes_at < 0) {
      EXPECT_EQ(result, platform::mrCancel);
      EXPECT_EQ(ui.prompts[0].texts_seen, c.texts);
    } else {
      EXPECT_EQ(result, platform::mrOk);
      EXPECT_EQ(ui.prompts[0].texts_seen.size(), static_cast<std::size_t>(c.closes_at + 1));
    }
    EXPECT_EQ(form.ModalResult(), result);
  }
}

TEST(RequirePasswordFormTest, WithoutADisplayNothingIsAcceptedAndNothingIsTyped) {
  platform::FakeStartupUi ui;
  platform::ScopedStartupUi scoped(ui);
  ui.display_available = false;
  ui.password_texts = {"pw"};
  EXPECT_FALSE(RequirePassword("pw", "Example"));
  EXPECT_TRUE(ui.prompts[0].texts_seen.empty());
}

// The prompt as start-up's stage, in the real start-up sequence over the
// fakes: the close box ends the process with exit code 0 and no main window;
// the password lets it on; a relaunch is not asked.
class PasswordStartupTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessel-password-" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
    os_.executable_path = (dir_ / "app").string();
    os_.local_app_data_path = (dir_ / "data").string();
    saved_ = StartupStages();
    StartupStages().PrepareWebViewRuntime = [] {};
    StartupStages().RunMainWindow = [this](const std::vector<std::string>&) { main_windows_++; };
    WriteApp();
  }
  void TearDown() override {
    StartupStages() = saved_;
    // The process keeps its archive mapped; Windows cannot delete a mapped file.
    LoadedArchive() = {};
    std::filesystem::remove_all(dir_);
  }

  // The smallest PE image the attach-offset rule accepts (one section whose
  // raw data ends at 0x400), followed by an app archive with a password.
  void WriteApp() {
    std::string image(0x400, '\0');
    auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    image[0] = 'M';
    image[1] = 'Z';
    put(0x3C, 0x40, 4);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    put(0x46, 1, 2);            // NumberOfSections
    put(0x54, 0xF0, 2);         // SizeOfOptionalHeader
    put(0x58, 0x20B, 2);        // PE32+ magic
    put(0x148 + 16, 0x200, 4);  // SizeOfRawData
    put(0x148 + 20, 0x200, 4);  // PointerToRawData
    std::ostringstream zip;
    shared::TZipWriter writer(zip, std::string(shared::kAppArchivePassword));
    writer.AddEntry("vtx.ini",
                    "[App]\r\nID=com.example.pw\r\nName=Example\r\nDirName=webapp\r\n"
                    "Password=s3Cret\r\n",
                    {});
    writer.Finish();
    std::ofstream(os_.executable_path, std::ios::binary) << image << zip.str();
  }

  std::filesystem::path dir_;
  platform::FakeOs os_;
  platform::FakeUi ui_;
  platform::FakeStartupUi startup_ui_;
  platform::ScopedOs scoped_os_{os_};
  platform::ScopedUi scoped_ui_{ui_};
  platform::ScopedStartupUi scoped_startup_{startup_ui_};
  TStartupStages saved_;
  int main_windows_ = 0;
};

TEST_F(PasswordStartupTest, TheCloseBoxEndsTheProcessWithExitCode0AndNoMainWindow) {
  startup_ui_.password_texts = {"s", "s3"};
  EXPECT_EQ(RunTesselRuntime({}), 0);
  ASSERT_EQ(startup_ui_.prompts.size(), 1U);
  EXPECT_EQ(startup_ui_.prompts[0].caption, "Example");
  EXPECT_EQ(main_windows_, 0);
}

TEST_F(PasswordStartupTest, ThePasswordLetsTheAppOnAndARelaunchIsNotAsked) {
  startup_ui_.password_texts = {"s3Cret"};
  EXPECT_EQ(RunTesselRuntime({}), 0);
  EXPECT_EQ(main_windows_, 1);
  std::filesystem::create_directories(dir_ / "data" / "com.example.pw");
  const std::optional<std::string> token =
      shared::IssueRelaunchToken(shared::AppDataDirPath("com.example.pw"));
  ASSERT_TRUE(token);
  os_.environment[std::string(shared::kRelaunchTokenVariable)] = *token;
  EXPECT_EQ(RunTesselRuntime({"com.example.pw", "file:///index.html"}), 0);
  EXPECT_EQ(main_windows_, 2);
  EXPECT_EQ(startup_ui_.prompts.size(), 1U);
  // The same command line by hand is asked.
  startup_ui_.password_texts = {"s3Cret"};
  EXPECT_EQ(RunTesselRuntime({"com.example.pw", "file:///index.html"}), 0);
  EXPECT_EQ(startup_ui_.prompts.size(), 2U);
}

}  // namespace
}  // namespace tessel::runtime
