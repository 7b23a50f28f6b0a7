#include "runtime/localized_messages.h"

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "platform/os.h"
#include "runtime/process_exit.h"

namespace tessel::runtime {
namespace {

constexpr int kMessageCount = 10;
using MessageRow = std::array<std::string_view, kMessageCount>;

// The system's own texts, character for character. Entry 0 is the row's
// language code; the default row is the fallback and is never searched.
// clang-format off
constexpr MessageRow kDefaultRow = {{
    "en",
    "Error",
    "Confirm",
    "Accept",
    "Cancel",
    "This is not a valid Windows application.",
    "The Microsoft WebView2 runtime is required to run this application. This application cannot continue and will be closed now.",
    "The Microsoft WebView2 runtime is required to run this application. Do you want to install it now?",
    "This application cannot continue and will be closed now.",
    "You cancel the installation of Microsoft WebView2 runtime, This application cannot continue and will be closed now.",
}};

constexpr std::array<MessageRow, 5> kFurtherRows = {{
    {{
        "es",
        "Error",
        "Confirmar",
        "Aceptar",
        "Cancelar",
        "Esta no es una aplicación de Windows válida.",
        "El Microsoft WebView2 runtime es necesario para esta aplicación. Esta aplicación no puede continuar y se cerrará ahora.",
        "El Microsoft WebView2 runtime es necesario para esta aplicación. ¿Quiere instalarlo ahora?",
        "Esta aplicación no puede continuar y se cerrará ahora.",
        "Ha cancelado la instalación de Microsoft WebView2 runtime. Esta aplicación no puede continuar y se cerrará ahora.",
    }},
    {{
        "it",
        "Errore",
        "Confermare",
        "Accettare",
        "Annulla",
        "Questa non è un'applicazione Windows valida.",
        "Il runtime di Microsoft WebView2 è necessario per eseguire questa applicazione. Questa applicazione non può continuare e verrà chiusa ora.",
        "Il runtime di Microsoft WebView2 è necessario per eseguire questa applicazione. Vuoi installarlo ora?",
        "Questa applicazione non può continuare e verrà chiusa ora.",
        "Annulla l'installazione del runtime di Microsoft WebView2, questa applicazione non può continuare e verrà chiusa ora.",
    }},
    {{
        "de",
        "Error",
        "Bestätigen",
        "Akzeptieren",
        "Stornieren",
        "Dies ist keine gültige Windows-Anwendung.",
        "Die Microsoft WebView2-Laufzeit ist erforderlich, um diese Anwendung auszuführen. Diese Anwendung kann nicht fortgesetzt werden und wird jetzt geschlossen.",
        "Die Microsoft WebView2-Laufzeit ist erforderlich, um diese Anwendung auszuführen. Möchten Sie es jetzt installieren?",
        "Diese Anwendung kann nicht fortgesetzt werden und wird jetzt geschlossen.",
        "Sie brechen die Installation der Microsoft WebView2-Laufzeit ab. Diese Anwendung kann nicht fortgesetzt werden und wird jetzt geschlossen.",
    }},
    {{
        "fr",
        "Erreur",
        "Confirmer",
        "J'accepte",
        "Annuler",
        "Ce n'est pas une application Windows valide.",
        "Le runtime Microsoft WebView2 est requis pour exécuter cette application. Cette application ne peut pas continuer et sera fermée maintenant.",
        "Le runtime Microsoft WebView2 est requis pour exécuter cette application. Voulez-vous l'installer maintenant?",
        "Cette application ne peut pas continuer et sera fermée maintenant.",
        "Vous annulez l'installation du runtime Microsoft WebView2. Cette application ne peut pas continuer et sera fermée maintenant.",
    }},
    {{
        "zh",
        "错误",
        "确认",
        "接受",
        "取消",
        "这不是有效的Windows应用程序。",
        "运行此应用程序需要Microsoft WebView2运行时。 该应用程序无法继续，将立即关闭。",
        "运行此应用程序需要Microsoft WebView2运行时。 您要立即安装吗？",
        "此应用程序无法继续，将立即关闭。",
        "您取消了Microsoft WebView2运行时的安装，此应用程序无法继续，将立即关闭。",
    }},
}};
// clang-format on

LanguageCodeProvider& Provider() {
  static LanguageCodeProvider provider;
  return provider;
}

}  // namespace

std::string GetLanguageCode() {
  const LanguageCodeProvider& provider = Provider();
  return provider ? provider() : platform::CurrentOs().LanguageCode();
}

void SetLanguageCodeProvider(LanguageCodeProvider provider) { Provider() = std::move(provider); }

std::string GetLocalizedMessage(int message_index) {
  if (message_index < 0 || message_index >= kMessageCount) {
    throw std::out_of_range("MessageIndex is out of range!");
  }
  const auto index = static_cast<std::size_t>(message_index);
  const std::string code = GetLanguageCode();
  for (const MessageRow& row : kFurtherRows) {
    if (row[0] == code) return std::string(row[index]);
  }
  return std::string(kDefaultRow[index]);
}

int LocalizedMessageDlg(const std::string& msg, platform::DialogType type,
                        const std::vector<platform::DialogButton>& buttons,
                        const std::vector<std::string>& captions, const std::string& title) {
  return platform::CurrentUi().MessageDialog(msg, type, buttons, captions, title);
}

void ShowFatalMessage(int message_index) {
  LocalizedMessageDlg(GetLocalizedMessage(message_index), platform::DialogType::Error,
                      {platform::DialogButton::Yes}, {GetLocalizedMessage(3)},
                      GetLocalizedMessage(1));
  throw EProcessExit{0};
}

}  // namespace tessel::runtime
