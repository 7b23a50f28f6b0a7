#include "shared/browser_external_module.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "platform/engine_basics.h"
#include "platform/ui.h"
#include "shared/settings.h"
#include "shared/str_utils.h"

namespace tessel::shared {
namespace {

using nlohmann::json;

constexpr std::string_view kClickedMessage = "vtx-webbrowser-clicked";

// The member `name` of `value`, or null when `value` is not an object or has
// no such member.
const json* FindMember(const json& value, std::string_view name) {
  if (!value.is_object()) return nullptr;
  const auto it = value.find(name);
  return it == value.end() ? nullptr : &*it;
}

// Text of a JSON scalar; nullopt for an object, array or binary value.
std::optional<std::string> ScalarText(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return std::string();
    case json::value_t::string:
      return value.get<std::string>();
    case json::value_t::boolean:
      return std::string(value.get<bool>() ? "true" : "false");
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return value.dump();
    default:
      return std::nullopt;
  }
}

std::string ConversionError(std::string_view name, const json& value) {
  return "invalid value for '" + std::string(name) + "': " + value.type_name();
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

// --- TEdgeBrowserBridge ----------------------------------------------------------

TEdgeBrowserBridge::TEdgeBrowserBridge(TCustomEdgeBrowser& browser, std::string app_dir_path,
                                       std::function<void()> focus_host,
                                       TIsAppDocument is_app_document)
    : FBrowser(browser),
      FAppDirPath(std::move(app_dir_path)),
      FFocusHost(std::move(focus_host)),
      FIsAppDocument(std::move(is_app_document)) {}

bool TEdgeBrowserBridge::PostWebMessageAsJson(std::uint64_t document, const std::string& json) {
  const auto web_view = FBrowser.DefaultInterface();
  return web_view && web_view->PostWebMessageAsJsonToDocument(document, json) == platform::kSOk;
}

void TEdgeBrowserBridge::FocusWebView() {
  if (FFocusHost) FFocusHost();
  FBrowser.SetFocus();
}

// --- the module ----------------------------------------------------------------------

TBrowserExternalModule::TBrowserExternalModule() = default;

TBrowserExternalModule::~TBrowserExternalModule() {
  // Before the commands end: their replies have nowhere to go now.
  FAlive.reset();
  EndCommandWorkers();
  FMainForm = nullptr;
  FExeZip = nullptr;
  FAppFolder.clear();
  FProjectINI = nullptr;
  FBrowserForm = nullptr;
  FOnAppCloseRequest = nullptr;
}

bool TBrowserExternalModule::IsFileAddress(std::string_view source) {
  return source.size() >= 5 && EqualsIgnoreAsciiCase(source.substr(0, 5), "file:");
}

void TBrowserExternalModule::EdgeBrowserWebMessageReceived(TCustomEdgeBrowser* /*Sender*/,
                                                           TWebMessageReceivedEventArgs& Args) {
  if (Args.ArgsInterface()) WebMessageReceived(*Args.ArgsInterface());
}

void TBrowserExternalModule::WebMessageReceived(platform::WebMessageReceivedEventArgs& args) {
  // Whatever a message does wrong ends here: the engine's callback never
  // sees an exception, and the next message is dispatched as usual.
  try {
    Dispatch(args);
  } catch (const std::exception& error) {
    if (FOnDispatchError) FOnDispatchError(error.what());
  } catch (...) {
    if (FOnDispatchError) FOnDispatchError("Unknown error");
  }
}

// The functions of window.vtx by ID, with the names the page calls them by
// (resources/vtx_external.js).
struct TBrowserExternalModule::TFunction {
  std::int32_t Id;
  std::string_view Name;
  void (TBrowserExternalModule::*Plain)(const std::string& uuid);
  void (TBrowserExternalModule::*WithData)(const std::string& uuid, const json& data);
};

const TBrowserExternalModule::TFunction* TBrowserExternalModule::FindFunction(std::int32_t id) {
  using M = TBrowserExternalModule;
  static constexpr TFunction kFunctions[] = {
      {10001, "hello", &M::HandleHello, nullptr},
      {10002, "isRuntime", &M::HandleIsRuntime, nullptr},
      {20001, "dialogs.openFile", nullptr, &M::HandleDialogsOpenFile},
      {20002, "dialogs.saveFile", nullptr, &M::HandleDialogsSaveFile},
      {30001, "files.fileExists", nullptr, &M::HandleFilesFileExists},
      {30002, "files.deleteFile", nullptr, &M::HandleFilesDeleteFile},
      {30003, "files.writeTextFile", nullptr, &M::HandleFilesWriteTextFile},
      {30004, "files.extractFile", nullptr, &M::HandleFilesExtractFile},
      {40001, "folders.dirExists", nullptr, &M::HandleFoldersDirExists},
      {40002, "folders.deleteDir", nullptr, &M::HandleFoldersDeleteDir},
      {40003, "folders.getTempDir", &M::HandleFoldersGetTempDir, nullptr},
      {40004, "folders.getUserDocumentsDir", &M::HandleFoldersGetUserDocumentsDir, nullptr},
      {40005, "folders.getUserDesktopDir", &M::HandleFoldersGetUserDesktopDir, nullptr},
      {40006, "folders.getAppExecutableDir", &M::HandleFoldersGetAppExecutableDir, nullptr},
      {50001, "app.close", &M::HandleAppClose, nullptr},
      {50002, "app.inFullscreen", &M::HandleAppInFullscreen, nullptr},
      {50003, "app.enterFullscreen", &M::HandleAppEnterFullscreen, nullptr},
      {50004, "app.exitFullscreen", &M::HandleAppExitFullscreen, nullptr},
      {60001, "window.getStyle", &M::HandleWindowGetStyle, nullptr},
      {60002, "window.setStyle", nullptr, &M::HandleWindowSetStyle},
      {60003, "window.getState", &M::HandleWindowGetState, nullptr},
      {60004, "window.setState", nullptr, &M::HandleWindowSetState},
      {60005, "window.getTitle", &M::HandleWindowGetTitle, nullptr},
      {60006, "window.setTitle", nullptr, &M::HandleWindowSetTitle},
      {70001, "shell.execute", nullptr, &M::HandleShellExecute},
      {70002, "shell.explore", nullptr, &M::HandleShellExplore},
      {70003, "shell.command", nullptr, &M::HandleShellCommand},
      {70004, "shell.windows", &M::HandleShellWindows, nullptr},
  };
  for (const TFunction& function : kFunctions) {
    if (function.Id == id) return &function;
  }
  return nullptr;
}

std::string_view TBrowserExternalModule::FunctionName(std::int32_t id) {
  const TFunction* function = FindFunction(id);
  return function != nullptr ? function->Name : std::string_view();
}

std::optional<std::int32_t> TBrowserExternalModule::FunctionId(const json& message) {
  const json* id = FindMember(message, "id");
  const std::optional<std::string> id_text = id != nullptr ? ScalarText(*id) : std::nullopt;
  return id_text ? TSettings::ParseInteger(*id_text) : std::nullopt;
}

std::string TBrowserExternalModule::CallSubject(const json& message) {
  const json* id = FindMember(message, "id");
  if (id == nullptr) return "not a bridge call: no function id";
  const std::optional<std::string> id_text = ScalarText(*id);
  if (!id_text) return "not a bridge call: " + ConversionError("id", *id);
  const std::optional<int32_t> number = TSettings::ParseInteger(*id_text);
  if (!number) return "function id '" + *id_text + "' is not a number";
  const std::string_view name = FunctionName(*number);
  if (name.empty()) return "unknown function " + std::to_string(*number);
  return std::string(name) + " (" + std::to_string(*number) + ")";
}

void TBrowserExternalModule::Dispatch(platform::WebMessageReceivedEventArgs& args) {
  std::string source;
  std::uint64_t document = 0;
  if (!platform::Succeeded(args.get_Source(&source)) ||
      !platform::Succeeded(args.get_DocumentId(&document)) || FBrowserForm == nullptr ||
      !FBrowserForm->IsAppDocument(source, document)) {
    std::string message_json;
    args.get_WebMessageAsJson(&message_json);
    const json message = json::parse(platform::WithoutLoneSurrogates(message_json), nullptr,
                                     /*allow_exceptions=*/false);
    const std::string subject =
        message.is_object() && message.contains("id") ? CallSubject(message) : "message";
    throw EBridgeError(subject + ": refused, from a document that is not the app's own: " + source);
  }
  // A dialog's nested loop may dispatch another message before this one is
  // answered, each answering its own document, or end the module itself.
  struct TRequestScope {
    std::weak_ptr<int> Alive;
    std::uint64_t& Current;
    std::uint64_t Previous;
    ~TRequestScope() {
      if (!Alive.expired()) Current = Previous;
    }
  } const scope{FAlive, FRequestDocument, std::exchange(FRequestDocument, document)};

  std::string text;
  args.TryGetWebMessageAsString(&text);  // stays empty for a message that is no string
  if (!IsRuntime() && text == kClickedMessage) {
    if (FBrowserForm != nullptr) FBrowserForm->FocusWebView();
    return;
  }

  std::string message_json;
  args.get_WebMessageAsJson(&message_json);
  // A lone surrogate (a text cut inside an emoji) reads as U+FFFD; the call
  // is answered like any other.
  const json message = json::parse(platform::WithoutLoneSurrogates(message_json), nullptr,
                                   /*allow_exceptions=*/false);
  // Not errors for the page, which simply gets no answer; told all the same,
  // naming the function, so an author can see why a call never settles.
  if (!message.is_object()) throw EBridgeError("not a bridge call: the message is no JSON object");
  const std::string subject = CallSubject(message);
  const std::optional<std::int32_t> id = FunctionId(message);
  const TFunction* function = id ? FindFunction(*id) : nullptr;
  if (function == nullptr) throw EBridgeError(subject);
  try {
    if (FindMember(message, "uuid") == nullptr) throw EBridgeError("no uuid");
    const std::string uuid = RequiredString(message, "uuid");
    const json* data = FindMember(message, "data");
    if (data == nullptr) throw EBridgeError("no argument object");
    if (function->Plain != nullptr) return (this->*function->Plain)(uuid);
    return (this->*function->WithData)(uuid, *data);
  } catch (const std::exception& error) {
    throw EBridgeError(subject + ": " + error.what());
  }
}

// --- reading ---------------------------------------------------------------------------

std::string TBrowserExternalModule::RequiredString(const json& message, std::string_view name) {
  const json& value = RequiredObject(message, name);
  std::optional<std::string> text = ScalarText(value);
  if (!text) throw EBridgeError(ConversionError(name, value));
  return std::move(*text);
}

const json& TBrowserExternalModule::RequiredObject(const json& message, std::string_view name) {
  const json* value = FindMember(message, name);
  if (value == nullptr) throw EBridgeError("Value '" + std::string(name) + "' not found");
  return *value;
}

std::string TBrowserExternalModule::ArgString(const json& data, std::string_view name,
                                              std::string_view default_value) {
  const json* value = FindMember(data, name);
  if (value == nullptr || value->is_null()) return std::string(default_value);
  std::optional<std::string> text = ScalarText(*value);
  if (!text) throw EBridgeError(ConversionError(name, *value));
  return std::move(*text);
}

bool TBrowserExternalModule::ArgBool(const json& data, std::string_view name, bool default_value) {
  const json* value = FindMember(data, name);
  if (value == nullptr || value->is_null()) return default_value;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) return value->get<double>() != 0.0;
  if (value->is_string()) {
    const auto& text = value->get_ref<const std::string&>();
    if (EqualsIgnoreAsciiCase(text, "true")) return true;
    if (EqualsIgnoreAsciiCase(text, "false")) return false;
  }
  throw EBridgeError(ConversionError(name, *value));
}

// --- replies ------------------------------------------------------------------------------

void TBrowserExternalModule::PostBridgeReply(const std::string& uuid, const std::string& result,
                                             bool success) {
  PostBridgeReply(FRequestDocument, uuid, result, success);
}

void TBrowserExternalModule::PostBridgeReply(std::uint64_t document, const std::string& uuid,
                                             const std::string& result, bool success) {
  if (FBrowserForm == nullptr) return;
  // A uuid made by the bridge script (hex digits and hyphens) comes out as it
  // went in; encoding it keeps the reply valid JSON for any other uuid too.
  const std::string uuid_text = TStrUtils::StringToJsonString(uuid);
  std::string reply;
  reply.reserve(uuid_text.size() + result.size() + 40);
  reply.append("{\"uuid\": ").append(uuid_text).append(", \"success\": ");
  reply.append(success ? "true" : "false").append(", \"result\": ").append(result).append("}");
  if (!FBrowserForm->PostWebMessageAsJson(document, reply) && FOnReplyDropped) {
    FOnReplyDropped(uuid);
  }
}

void TBrowserExternalModule::ReplySuccess(const std::string& uuid, const std::string& result) {
  PostBridgeReply(uuid, result, true);
}

void TBrowserExternalModule::ReplyFailure(const std::string& uuid, const std::string& result) {
  PostBridgeReply(uuid, result, false);
}

// --- shared helpers -------------------------------------------------------------------------

std::string TBrowserExternalModule::AppDirPath() const {
  return FBrowserForm != nullptr ? FBrowserForm->AppDirPath() : AppExecutableDir();
}

std::string TBrowserExternalModule::ResolvePath(const std::string& path) const {
  return ResolveAppPath(path, AppDirPath());
}

void TBrowserExternalModule::ShowRuntimeOnlyMessage(std::string_view function_name) {
  platform::CurrentUi().MessageDialog(
      "Calls to vtx.app." + std::string(function_name) + "() works only at runtime.",
      platform::DialogType::Custom, {platform::DialogButton::OK}, {}, FApplicationTitle);
}

// --- hello, isRuntime -----------------------------------------------------------------------

void TBrowserExternalModule::HandleHello(const std::string& uuid) {
  ReplySuccess(uuid, TStrUtils::StringToJsonString(kBridgeVersion));
}

void TBrowserExternalModule::HandleIsRuntime(const std::string& uuid) {
  ReplySuccess(uuid, IsRuntime() ? "true" : "false");
}

}  // namespace tessel::shared
