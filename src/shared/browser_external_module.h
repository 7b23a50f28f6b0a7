// The host side of the script bridge: reads the messages that window.vtx
// posts, runs the command their function ID names and posts one reply per
// answered call, {"uuid": "...", "success": true|false, "result": <JSON>}.
//
// Threads: the UI thread only, except the worker that runs a console command
// (shell.command), whose reply comes back through platform::RunOnUiThread.
// Nothing thrown leaves EdgeBrowserWebMessageReceived: a message that cannot
// be read ends its dispatch without a reply and goes to OnDispatchError.
//
// Only the application's own documents reach the commands: the browser host
// tells which those are (IBridgeBrowser::IsAppDocument). A message from any
// other document (a page of another origin, a local file the app did not
// serve itself, a frame, a window the page opened) is dropped without any
// effect, so a foreign page can neither start programs nor touch files. A
// reply goes only to the document that asked: once another document has
// taken its place it is dropped, so what a command found never reaches a
// page that did not ask for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shared/bridge_commands.h"
#include "shared/edge_ex.h"

namespace tessel::shared {

class TExeZip;
class TSettings;

// A bridge message or argument that cannot be read: a member missing ("Value
// 'id' not found"), or of a kind that cannot be converted.
class EBridgeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the module needs of the browser host: the web view that receives the
// replies, the application folder, and the focus. UI thread only.
class IBridgeBrowser {
 public:
  virtual ~IBridgeBrowser() = default;
  // Posts `json` to the top-level document `document` (the engine's id, see
  // IsAppDocument) while it is still the one shown: false, and nothing
  // posted, once another has taken its place. An undeliverable reply is
  // lost.
  virtual bool PostWebMessageAsJson(std::uint64_t document, const std::string& json) = 0;
  // The folder of the running executable, ending with the separator:
  // relative paths from pages are resolved against it.
  virtual std::string AppDirPath() const = 0;
  // Gives the keyboard focus to the window two levels above the web view
  // control (its parent's parent), then to the control itself.
  virtual void FocusWebView() = 0;
  // True when a message from the top-level document `document` (the engine's
  // id of the document that posted), now at `source`, comes from the
  // application's own document shown in the window.
  virtual bool IsAppDocument(const std::string& source, std::uint64_t document) const = 0;
};

// IBridgeBrowser over the web view component, for the browser host to hand
// to the module. `focus_host` focuses the control's parent's parent (may be
// empty); the control itself is focused with SetFocus. `is_app_document`
// answers IsAppDocument (empty: no document is). Replies go through the
// engine's PostWebMessageAsJsonToDocument; an engine that cannot tell
// documents apart gets none. The component must outlive this object.
class TEdgeBrowserBridge : public IBridgeBrowser {
 public:
  using TIsAppDocument = std::function<bool(const std::string& source, std::uint64_t document)>;
  TEdgeBrowserBridge(TCustomEdgeBrowser& browser, std::string app_dir_path,
                     std::function<void()> focus_host = {}, TIsAppDocument is_app_document = {});
  bool PostWebMessageAsJson(std::uint64_t document, const std::string& json) override;
  std::string AppDirPath() const override { return FAppDirPath; }
  void FocusWebView() override;
  bool IsAppDocument(const std::string& source, std::uint64_t document) const override {
    return FIsAppDocument && FIsAppDocument(source, document);
  }

 private:
  TCustomEdgeBrowser& FBrowser;
  std::string FAppDirPath;
  std::function<void()> FFocusHost;
  TIsAppDocument FIsAppDocument;
};

class TBrowserExternalModule;
using TAppCloseRequestEvent = std::function<void(TBrowserExternalModule* Sender)>;
using TBridgeErrorEvent = std::function<void(const std::string& Message)>;

class TBrowserExternalModule {
 public:
  // The version `hello` answers.
  static constexpr std::string_view kBridgeVersion = "2021.28";

  // Every reference unset, InFullscreen false, no file dialogs.
  TBrowserExternalModule();
  // Clears the references. A console command still running keeps running on
  // its own; its reply is dropped.
  ~TBrowserExternalModule();
  TBrowserExternalModule(const TBrowserExternalModule&) = delete;
  TBrowserExternalModule& operator=(const TBrowserExternalModule&) = delete;

  // --- references (not owned; each must outlive its use) ---
  // Target of the app and window commands.
  IAppWindow* MainForm() const { return FMainForm; }
  void SetMainForm(IAppWindow* value) { FMainForm = value; }
  // Source of files.extractFile. Unset, the module runs "without an
  // archive": isRuntime answers false and the runtime-only commands show a
  // message instead of acting.
  const TExeZip* ExeZip() const { return FExeZip; }
  void SetExeZip(const TExeZip* value) { FExeZip = value; }
  // An app folder run live (with its trailing separator): it stands for the
  // archive, so the module is the runtime's.
  const std::string& AppFolder() const { return FAppFolder; }
  void SetAppFolder(std::string value) { FAppFolder = std::move(value); }
  bool IsRuntime() const { return FExeZip != nullptr || !FAppFolder.empty(); }
  // `name` ('/'-separated) below the app folder, in the system's form.
  std::string AppFolderPath(const std::string& name) const;
  // Read for "WindowBorder" and "DirName" in section "App".
  const TSettings* ProjectINI() const { return FProjectINI; }
  void SetProjectINI(const TSettings* value) { FProjectINI = value; }
  // Receives the replies; without it nothing is answered.
  IBridgeBrowser* BrowserForm() const { return FBrowserForm; }
  void SetBrowserForm(IBridgeBrowser* value) { FBrowserForm = value; }
  // Asked by app.close to close the application (the main window's
  // AppCloseRequested: allow closing, then close).
  const TAppCloseRequestEvent& OnAppCloseRequest() const { return FOnAppCloseRequest; }
  void SetOnAppCloseRequest(TAppCloseRequestEvent value) { FOnAppCloseRequest = std::move(value); }

  // --- owned ---
  // The open and save dialogs, kept for the module's life so the type chosen
  // last carries over. Without them every dialog counts as cancelled.
  IFileDialogs* FileDialogs() const { return FFileDialogs.get(); }
  void SetFileDialogs(std::unique_ptr<IFileDialogs> value) { FFileDialogs = std::move(value); }

  // Title of the message boxes shown without an archive.
  const std::string& ApplicationTitle() const { return FApplicationTitle; }
  void SetApplicationTitle(std::string value) { FApplicationTitle = std::move(value); }

  // Where the reason of a message left without an answer goes (unreadable,
  // foreign, naming no function, or a command's error), as "<function>
  // (<id>): <reason>" once the function is known ("files.fileExists (30001):
  // no argument object"); by default nowhere.
  void SetOnDispatchError(TBridgeErrorEvent value) { FOnDispatchError = std::move(value); }
  // Told the uuid of a reply dropped because the document that asked is no
  // longer shown; by default nobody.
  void SetOnReplyDropped(TBridgeErrorEvent value) { FOnReplyDropped = std::move(value); }

  // True while the application considers itself in full screen; only
  // app.enterFullscreen and app.exitFullscreen change it (the main window
  // sets it when it starts in full screen).
  bool InFullscreen() const { return FInFullscreen; }
  void SetInFullscreen(bool value) { FInFullscreen = value; }

  // --- dispatch ---
  // The web view's OnWebMessageReceived handler. Never throws.
  void EdgeBrowserWebMessageReceived(TCustomEdgeBrowser* Sender,
                                     TWebMessageReceivedEventArgs& Args);
  // The same, on the engine's argument object alone. Never throws.
  void WebMessageReceived(platform::WebMessageReceivedEventArgs& args);

  // Posts {"uuid": <uuid>, "success": <success>, "result": <result>} to the
  // document whose message is being answered; `result` is ready JSON text.
  void PostBridgeReply(const std::string& uuid, const std::string& result, bool success);
  // The same for a reply that comes later (a console command's): to
  // `document`, the RequestDocument() of the message it answers.
  void PostBridgeReply(std::uint64_t document, const std::string& uuid, const std::string& result,
                       bool success);
  // The engine's id of the document whose message is being dispatched (0
  // outside a dispatch).
  std::uint64_t RequestDocument() const { return FRequestDocument; }
  void ReplySuccess(const std::string& uuid, const std::string& result);
  void ReplyFailure(const std::string& uuid, const std::string& result);

  // --- reading messages and arguments (throw EBridgeError) ---
  // A member of the message as text: null is "", a string its text, a number
  // its JSON text, a boolean "true"/"false"; an object or array throws, and
  // so does a missing member ("Value '<name>' not found"; every member is
  // missing when `message` is not an object).
  static std::string RequiredString(const nlohmann::json& message, std::string_view name);
  // A member that must exist, of any kind (only an object supplies
  // arguments).
  static const nlohmann::json& RequiredObject(const nlohmann::json& message, std::string_view name);
  // An argument as text: absent or null (or `data` not an object) gives
  // `default_value`; otherwise as RequiredString.
  static std::string ArgString(const nlohmann::json& data, std::string_view name,
                               std::string_view default_value);
  // An argument as a boolean: absent or null gives `default_value`; a
  // boolean itself; a string "true"/"false" in any letter case; a number,
  // false when zero. Anything else throws.
  static bool ArgBool(const nlohmann::json& data, std::string_view name, bool default_value);

  // The dotted name the page calls function `id` by ("files.fileExists" for
  // 30001); empty for an ID that names no function.
  static std::string_view FunctionName(std::int32_t id);

  // Console commands (shell.command) of every module whose worker has not
  // finished yet, replies posted or not. Any thread.
  static std::size_t RunningCommands();

  // True for a local-file address: it begins with "file:", in any letter
  // case.
  static bool IsFileAddress(std::string_view source);

 private:
  struct TFunction;
  static const TFunction* FindFunction(std::int32_t id);
  // The function ID of a bridge message; nullopt when it has none that is
  // an integer.
  static std::optional<std::int32_t> FunctionId(const nlohmann::json& message);
  // How the diagnostics name the call `message` makes: "files.fileExists
  // (30001)", or why it names no function.
  static std::string CallSubject(const nlohmann::json& message);
  void Dispatch(platform::WebMessageReceivedEventArgs& args);
  std::string AppDirPath() const;
  std::string ResolvePath(const std::string& path) const;
  void ShowRuntimeOnlyMessage(std::string_view function_name);

  void HandleHello(const std::string& uuid);
  void HandleIsRuntime(const std::string& uuid);
  void HandleDialogsOpenFile(const std::string& uuid, const nlohmann::json& data);
  void HandleDialogsSaveFile(const std::string& uuid, const nlohmann::json& data);
  void HandleFilesFileExists(const std::string& uuid, const nlohmann::json& data);
  void HandleFilesDeleteFile(const std::string& uuid, const nlohmann::json& data);
  void HandleFilesWriteTextFile(const std::string& uuid, const nlohmann::json& data);
  void HandleFilesExtractFile(const std::string& uuid, const nlohmann::json& data);
  void HandleFoldersDirExists(const std::string& uuid, const nlohmann::json& data);
  void HandleFoldersDeleteDir(const std::string& uuid, const nlohmann::json& data);
  void HandleFoldersGetTempDir(const std::string& uuid);
  void HandleFoldersGetUserDocumentsDir(const std::string& uuid);
  void HandleFoldersGetUserDesktopDir(const std::string& uuid);
  void HandleFoldersGetAppExecutableDir(const std::string& uuid);
  void HandleAppClose(const std::string& uuid);
  void HandleAppInFullscreen(const std::string& uuid);
  void HandleAppEnterFullscreen(const std::string& uuid);
  void HandleAppExitFullscreen(const std::string& uuid);
  void HandleWindowGetStyle(const std::string& uuid);
  void HandleWindowSetStyle(const std::string& uuid, const nlohmann::json& data);
  void HandleWindowGetState(const std::string& uuid);
  void HandleWindowSetState(const std::string& uuid, const nlohmann::json& data);
  void HandleWindowGetTitle(const std::string& uuid);
  void HandleWindowSetTitle(const std::string& uuid, const nlohmann::json& data);
  void HandleShellExecute(const std::string& uuid, const nlohmann::json& data);
  void HandleShellExplore(const std::string& uuid, const nlohmann::json& data);
  void HandleShellCommand(const std::string& uuid, const nlohmann::json& data);
  void HandleShellWindows(const std::string& uuid);

  // The dialog commands' shared steps; `save` picks the dialog.
  void HandleFileDialog(const std::string& uuid, const nlohmann::json& data, bool save);

  IAppWindow* FMainForm = nullptr;
  const TExeZip* FExeZip = nullptr;
  std::string FAppFolder;
  const TSettings* FProjectINI = nullptr;
  IBridgeBrowser* FBrowserForm = nullptr;
  TAppCloseRequestEvent FOnAppCloseRequest;
  TBridgeErrorEvent FOnDispatchError;
  TBridgeErrorEvent FOnReplyDropped;
  std::uint64_t FRequestDocument = 0;
  std::unique_ptr<IFileDialogs> FFileDialogs;
  std::string FApplicationTitle;
  bool FInFullscreen = false;

  // Per dialog: the type index the user chose last.
  std::size_t FOpenFileTypeIndex = 1;
  std::size_t FSaveFileTypeIndex = 1;
  // True while a dialog is open; a second request is then answered at once
  // as cancelled.
  bool FDialogOpen = false;

  // The workers of console commands. Kept joinable and joined once done:
  // threads detached at creation are not dependable everywhere (with
  // mingw-w64's winpthreads under Wine some never run). When the module
  // goes, the commands are ended and their workers joined; only one whose
  // command the system could not end is detached.
  struct TCommandWorker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  void ReapCommandWorkers();
  void EndCommandWorkers();
  std::vector<TCommandWorker> FCommandWorkers;

  // Expires with the module: work that outlives a call (a console command's
  // reply, a dialog's nested loop) checks it before touching the module.
  std::shared_ptr<int> FAlive = std::make_shared<int>(0);
};

}  // namespace tessel::shared
