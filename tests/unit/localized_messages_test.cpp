#include "runtime/localized_messages.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "runtime/process_exit.h"

namespace tessel::runtime {
namespace {

using platform::DialogButton;
using platform::DialogType;
using platform::FakeUi;
using platform::ScriptedAction;

class LocalizedMessagesTest : public testing::Test {
 protected:
  void SetUp() override {
    // The catalogue's own texts are Windows'; Linux replaces a few.
    os.family = platform::OsFamily::Windows;
    SetLanguageCodeProvider([this] {
      ++language_queries;
      return language;
    });
  }
  void TearDown() override { SetLanguageCodeProvider({}); }

  std::string language = "en";
  int language_queries = 0;
  FakeUi ui;
  platform::ScopedUi scoped_ui{ui};
  platform::FakeOs os;
  platform::ScopedOs scoped_os{os};
};

struct LookupCase {
  const char* language;
  int index;
  const char* text;
};

TEST_F(LocalizedMessagesTest, PicksTheRowByExactCodeElseEnglish) {
  const LookupCase cases[] = {
      {"de", 0, "de"},
      {"de", 1, "Error"},
      {"de", 2, "Bestätigen"},
      {"es", 2, "Confirmar"},
      {"zh", 2, "确认"},
      {"fr", 3, "J'accepte"},
      {"it", 4, "Annulla"},
      {"pt", 0, "en"},
      {"pt", 2, "Confirm"},
      {"", 1, "Error"},
      {"DE", 2, "Confirm"},  // codes compare case-sensitively
      {"d", 0, "en"},
      {"en", 7,
       "The Microsoft WebView2 runtime is required to run this application. Do you want to "
       "install it now?"},
      {"es", 7,
       "El Microsoft WebView2 runtime es necesario para esta aplicación. ¿Quiere instalarlo "
       "ahora?"},
      {"it", 5, "Questa non è un'applicazione Windows valida."},
      {"zh", 6, "运行此应用程序需要Microsoft WebView2运行时。 该应用程序无法继续，将立即关闭。"},
      {"zh", 7, "运行此应用程序需要Microsoft WebView2运行时。 您要立即安装吗？"},
      {"en", 9,
       "You cancel the installation of Microsoft WebView2 runtime, This application cannot "
       "continue and will be closed now."},
  };
  for (const LookupCase& c : cases) {
    language = c.language;
    EXPECT_EQ(GetLocalizedMessage(c.index), c.text) << c.language << " " << c.index;
  }
}

TEST_F(LocalizedMessagesTest, EveryRowIsCompleteAndItsOwn) {
  language = "en";
  std::array<std::string, 10> english;
  for (int i = 0; i < 10; ++i) english[i] = GetLocalizedMessage(i);
  for (const char* code : {"en", "es", "it", "de", "fr", "zh"}) {
    language = code;
    EXPECT_EQ(GetLocalizedMessage(0), code);
    for (int i = 1; i < 10; ++i) EXPECT_FALSE(GetLocalizedMessage(i).empty()) << code << i;
    // Each message of a translated row is a translation, not the English
    // fallback (titles such as "Error" may coincide).
    if (std::string(code) != "en") {
      for (int i = 5; i < 10; ++i) EXPECT_NE(GetLocalizedMessage(i), english[i]) << code << i;
    }
  }
}

// On Linux the messages about the archive and the engine name what is true
// there, in every language; titles, captions and message 8 stay.
TEST_F(LocalizedMessagesTest, LinuxNamesTheAppArchiveAndWebKitGtk) {
  const LookupCase cases[] = {
      {"en", 5, "This application is damaged: its app archive is missing or cannot be read."},
      {"en", 7,
       "WebKitGTK 4.1 is required to run this application (on Debian and Ubuntu, the package "
       "libwebkit2gtk-4.1-0). Do you want to install it now?"},
      {"pt", 6,
       "WebKitGTK 4.1 is required to run this application (on Debian and Ubuntu, the package "
       "libwebkit2gtk-4.1-0). This application cannot continue and will be closed now."},
      {"de", 5,
       "Diese Anwendung ist beschädigt: Ihr Anwendungsarchiv fehlt oder kann nicht gelesen "
       "werden."},
      {"fr", 9,
       "WebKitGTK 4.1 n'a pas été installé (sous Debian et Ubuntu, le paquet "
       "libwebkit2gtk-4.1-0). Cette application ne peut pas continuer et sera fermée "
       "maintenant."},
      {"zh", 7,
       "运行此应用程序需要WebKitGTK 4.1（在Debian和Ubuntu上为软件包libwebkit2gtk-4.1-0）。"
       "您要立即安装吗？"},
      {"es", 8, "Esta aplicación no puede continuar y se cerrará ahora."},
      {"it", 1, "Errore"},
      {"de", 3, "Akzeptieren"},
      {"fr", 0, "fr"},
  };
  os.family = platform::OsFamily::Posix;
  for (const LookupCase& c : cases) {
    language = c.language;
    EXPECT_EQ(GetLocalizedMessage(c.index), c.text) << c.language << " " << c.index;
  }
  for (const char* code : {"en", "es", "it", "de", "fr", "zh"}) {
    language = code;
    for (const int i : {5, 6, 7, 9}) {
      const std::string text = GetLocalizedMessage(i);
      EXPECT_EQ(text.find("Windows"), std::string::npos) << code << i;
      EXPECT_EQ(text.find("WebView2"), std::string::npos) << code << i;
      if (i != 5) {
        EXPECT_NE(text.find("libwebkit2gtk-4.1-0"), std::string::npos) << code << i;
      }
    }
    // Each language has its own text, not the English one.
    if (std::string(code) != "en") {
      const std::string own = GetLocalizedMessage(5);
      language = "en";
      EXPECT_NE(own, GetLocalizedMessage(5)) << code;
    }
  }
}

TEST_F(LocalizedMessagesTest, IndexOutsideZeroToNineThrows) {
  for (const int index : {-1, 10, INT_MIN, INT_MAX}) {
    try {
      GetLocalizedMessage(index);
      ADD_FAILURE() << index << " did not throw";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "MessageIndex is out of range!");
    }
  }
}

TEST_F(LocalizedMessagesTest, AsksForTheLanguageAtEveryCall) {
  language = "de";
  EXPECT_EQ(GetLocalizedMessage(1), "Error");
  language = "fr";
  EXPECT_EQ(GetLocalizedMessage(1), "Erreur");
  EXPECT_EQ(language_queries, 2);
}

TEST_F(LocalizedMessagesTest, ConfirmationDialogShowsCatalogueCaptionsInLayoutOrder) {
  language = "de";
  ui.actions = {ScriptedAction::Escape()};
  const int result = LocalizedMessageDlg(
      GetLocalizedMessage(7), DialogType::Confirmation, {DialogButton::Cancel, DialogButton::Yes},
      {GetLocalizedMessage(3), GetLocalizedMessage(4)}, GetLocalizedMessage(2));
  EXPECT_EQ(result, platform::mrCancel);
  ASSERT_EQ(ui.dialogs.size(), 1U);
  const platform::ShownDialog& d = ui.dialogs[0];
  EXPECT_EQ(d.title, "Bestätigen");
  EXPECT_EQ(d.type, DialogType::Confirmation);
  EXPECT_EQ(d.buttons, (std::vector<DialogButton>{DialogButton::Yes, DialogButton::Cancel}));
  EXPECT_EQ(d.captions, (std::vector<std::string>{"Akzeptieren", "Stornieren"}));
  EXPECT_EQ(d.default_result, platform::mrYes);
}

TEST_F(LocalizedMessagesTest, FatalMessageShowsErrorDialogThenExitsWithZero) {
  const std::vector<std::vector<ScriptedAction>> answers = {
      {ScriptedAction::Enter()},
      {ScriptedAction::CloseBox()},
      {ScriptedAction::Escape(), ScriptedAction::Click(0)},
      {},
  };
  language = "fr";
  for (const auto& answer : answers) {
    ui.dialogs.clear();
    ui.actions.assign(answer.begin(), answer.end());
    std::optional<int> exit_code;
    try {
      ShowFatalMessage(5);
    } catch (const EProcessExit& e) {
      exit_code = e.exit_code;
    }
    EXPECT_EQ(exit_code, 0);
    ASSERT_EQ(ui.dialogs.size(), 1U);
    const platform::ShownDialog& d = ui.dialogs[0];
    EXPECT_EQ(d.text, "Ce n'est pas une application Windows valide.");
    EXPECT_EQ(d.type, DialogType::Error);
    EXPECT_EQ(d.title, "Erreur");
    EXPECT_EQ(d.buttons, std::vector<DialogButton>{DialogButton::Yes});
    EXPECT_EQ(d.captions, std::vector<std::string>{"J'accepte"});
  }
}

TEST_F(LocalizedMessagesTest, FatalMessageWithoutDisplayStillExitsWithZero) {
  ui.display_available = false;
  EXPECT_THROW(ShowFatalMessage(6), EProcessExit);
  ASSERT_EQ(ui.dialogs.size(), 1U);
  EXPECT_FALSE(ui.dialogs[0].shown);
}

TEST_F(LocalizedMessagesTest, FatalMessageWithBadIndexShowsNothing) {
  EXPECT_THROW(ShowFatalMessage(10), std::out_of_range);
  EXPECT_TRUE(ui.dialogs.empty());
}

// Without a provider the language is the OS seam's, asked at every call.
TEST(LanguageFromOsTest, CatalogueFollowsTheSystemLanguage) {
  platform::FakeOs os;
  platform::ScopedOs scoped(os);
  const std::pair<const char*, const char*> cases[] = {
      {"es", "Confirmar"}, {"zh", "确认"}, {"pt", "Confirm"}, {"de", "Bestätigen"}};
  for (const auto& [code, confirm] : cases) {
    os.language_code = code;
    EXPECT_EQ(GetLanguageCode(), code);
    EXPECT_EQ(GetLocalizedMessage(2), confirm) << code;
  }
}

}  // namespace
}  // namespace tessel::runtime
