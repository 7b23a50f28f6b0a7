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

// On Linux the messages about the app archive and the engine say what is true
// there; the other texts, index 8 included, are the same as above. Same row
// order as the catalogue, English first.
struct TPosixRow {
  std::string_view code;
  std::string_view not_an_app;            // 5
  std::string_view engine_required;       // 6
  std::string_view install_question;      // 7
  std::string_view engine_still_missing;  // 9
};

constexpr std::array<TPosixRow, 6> kPosixRows = {{
    {"en",
     "This application is damaged: its app archive is missing or cannot be read.",
     "WebKitGTK 4.1 is required to run this application (on Debian and Ubuntu, the package libwebkit2gtk-4.1-0). This application cannot continue and will be closed now.",
     "WebKitGTK 4.1 is required to run this application (on Debian and Ubuntu, the package libwebkit2gtk-4.1-0). Do you want to install it now?",
     "WebKitGTK 4.1 was not installed (on Debian and Ubuntu, the package libwebkit2gtk-4.1-0). This application cannot continue and will be closed now."},
    {"es",
     "Esta aplicación está dañada: falta su archivo de aplicación o no se puede leer.",
     "Se necesita WebKitGTK 4.1 para ejecutar esta aplicación (en Debian y Ubuntu, el paquete libwebkit2gtk-4.1-0). Esta aplicación no puede continuar y se cerrará ahora.",
     "Se necesita WebKitGTK 4.1 para ejecutar esta aplicación (en Debian y Ubuntu, el paquete libwebkit2gtk-4.1-0). ¿Quiere instalarlo ahora?",
     "WebKitGTK 4.1 no se ha instalado (en Debian y Ubuntu, el paquete libwebkit2gtk-4.1-0). Esta aplicación no puede continuar y se cerrará ahora."},
    {"it",
     "Questa applicazione è danneggiata: il suo archivio dell'applicazione manca o non può essere letto.",
     "WebKitGTK 4.1 è necessario per eseguire questa applicazione (su Debian e Ubuntu, il pacchetto libwebkit2gtk-4.1-0). Questa applicazione non può continuare e verrà chiusa ora.",
     "WebKitGTK 4.1 è necessario per eseguire questa applicazione (su Debian e Ubuntu, il pacchetto libwebkit2gtk-4.1-0). Vuoi installarlo ora?",
     "WebKitGTK 4.1 non è stato installato (su Debian e Ubuntu, il pacchetto libwebkit2gtk-4.1-0). Questa applicazione non può continuare e verrà chiusa ora."},
    {"de",
     "Diese Anwendung ist beschädigt: Ihr Anwendungsarchiv fehlt oder kann nicht gelesen werden.",
     "WebKitGTK 4.1 ist erforderlich, um diese Anwendung auszuführen (unter Debian und Ubuntu das Paket libwebkit2gtk-4.1-0). Diese Anwendung kann nicht fortgesetzt werden und wird jetzt geschlossen.",
     "WebKitGTK 4.1 ist erforderlich, um diese Anwendung auszuführen (unter Debian und Ubuntu das Paket libwebkit2gtk-4.1-0). Möchten Sie es jetzt installieren?",
     "WebKitGTK 4.1 wurde nicht installiert (unter Debian und Ubuntu das Paket libwebkit2gtk-4.1-0). Diese Anwendung kann nicht fortgesetzt werden und wird jetzt geschlossen."},
    {"fr",
     "Cette application est endommagée : son archive d'application est absente ou illisible.",
     "WebKitGTK 4.1 est requis pour exécuter cette application (sous Debian et Ubuntu, le paquet libwebkit2gtk-4.1-0). Cette application ne peut pas continuer et sera fermée maintenant.",
     "WebKitGTK 4.1 est requis pour exécuter cette application (sous Debian et Ubuntu, le paquet libwebkit2gtk-4.1-0). Voulez-vous l'installer maintenant ?",
     "WebKitGTK 4.1 n'a pas été installé (sous Debian et Ubuntu, le paquet libwebkit2gtk-4.1-0). Cette application ne peut pas continuer et sera fermée maintenant."},
    {"zh",
     "此应用程序已损坏：其应用程序存档缺失或无法读取。",
     "运行此应用程序需要WebKitGTK 4.1（在Debian和Ubuntu上为软件包libwebkit2gtk-4.1-0）。该应用程序无法继续，将立即关闭。",
     "运行此应用程序需要WebKitGTK 4.1（在Debian和Ubuntu上为软件包libwebkit2gtk-4.1-0）。您要立即安装吗？",
     "未安装WebKitGTK 4.1（在Debian和Ubuntu上为软件包libwebkit2gtk-4.1-0），此应用程序无法继续，将立即关闭。"},
}};
// clang-format on

// The Linux text at `index` of the row for `code`, or nothing where the
// catalogue's own text holds.
std::string_view PosixMessage(std::string_view code, std::size_t index) {
  const TPosixRow* row = &kPosixRows[0];
  for (const TPosixRow& candidate : kPosixRows) {
    if (candidate.code == code && &candidate != &kPosixRows[0]) row = &candidate;
  }
  switch (index) {
    case 5:
      return row->not_an_app;
    case 6:
      return row->engine_required;
    case 7:
      return row->install_question;
    case 9:
      return row->engine_still_missing;
    default:
      return {};
  }
}

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
  if (platform::CurrentOs().Family() == platform::OsFamily::Posix) {
    const std::string_view text = PosixMessage(code, index);
    if (!text.empty()) return std::string(text);
  }
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
