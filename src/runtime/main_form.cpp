#include "runtime/main_form.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/engine_basics.h"
#include "platform/file_io.h"
#include "platform/os.h"
#include "runtime/page_trace.h"
#include "shared/bridge_script.h"
#include "shared/desktop_id.h"
#include "shared/settings.h"
#include "shared/utf.h"

namespace tessel::runtime {
namespace {

constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 600;

// Sizes below 0 are not defined for the settings; they fall back to the
// default rather than making a window of the toolkit's smallest size.
int SizeSetting(const shared::TSettings& ini, std::string_view key, int default_value) {
  const int value = ini.ReadInteger("App", key, default_value);
  return value >= 0 ? value : default_value;
}

platform::FileDialogOptions OptionsFor(const shared::TFileDialogRequest& request) {
  platform::FileDialogOptions options;
  options.title = request.title;
  options.file_name = request.file_name;
  for (const shared::TFileType& type : request.file_types) {
    options.filters.push_back({type.display_name, type.mask});
  }
  options.type_index = request.file_type_index;
  options.overwrite_prompt = request.overwrite_prompt;
  return options;
}

}  // namespace

std::string StartPageURL(const std::vector<std::string>& args, bool relaunched,
                         const std::string& index_html) {
  if (relaunched && args.size() == 2) return args[1];
  return "file:///" + index_html;
}

std::string DecodeAppScript(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    shared::utf::AppendUtf8(text, shared::utf::DecodeUtf8(bytes, pos));
  }
  return text;
}

// --- file dialogs --------------------------------------------------------------

std::optional<std::string> TUiFileDialogs::OpenFile(shared::TFileDialogRequest& request) {
  platform::FileDialogOptions options = OptionsFor(request);
  std::optional<std::string> path = platform::CurrentUi().OpenFileDialog(options);
  request.file_type_index = options.type_index;
  return path;
}

std::optional<std::string> TUiFileDialogs::SaveFile(shared::TFileDialogRequest& request) {
  platform::FileDialogOptions options = OptionsFor(request);
  std::optional<std::string> path = platform::CurrentUi().SaveFileDialog(options);
  request.file_type_index = options.type_index;
  return path;
}

// --- the form ------------------------------------------------------------------------

TMainForm::TMainForm(const TLoadedApp& app, std::unique_ptr<platform::TopLevelWindow> window,
                     std::vector<std::string> args)
    : FApp(app), FArgs(std::move(args)), FWindow(std::move(window)) {
  FWindow->OnCloseQuery = [this] {
    bool can_close = false;
    FormCloseQuery(can_close);
    return can_close;
  };
  FWindow->OnClose = [this] { FormClose(); };
  FormCreate();
}

TMainForm::~TMainForm() {
  FWindow->OnCloseQuery = nullptr;
  FWindow->OnClose = nullptr;
  FormClose();
}

void TMainForm::Run() { FWindow->RunMessageLoop(); }

void TMainForm::FormCreate() {
  const shared::TSettings& ini = *FApp.ProjectINI;

  FCanClose = false;
  // Before the content view: making it may realize the window, which takes
  // its class from this.
  FWindow->SetApplicationId(shared::DesktopAppId(FApp.ID));

  FBrowserExternalModule = std::make_unique<shared::TBrowserExternalModule>();
  shared::TBrowserExternalModule& module = *FBrowserExternalModule;
  module.SetExeZip(FApp.ExeZip.get());
  module.SetAppFolder(FApp.AppFolder);

  // The host fills the window's client area; giving its web view a parent
  // starts the engine, which reports back only from the UI loop.
  shared::IBrowserFormView* view = this;
  FBrowserForm = std::make_unique<shared::TBrowserForm>(FWindow->CreateContentView(),
                                                        FWindow->ClientArea(), view);
  shared::TBrowserForm& host = *FBrowserForm;

  host.SetExeZip(FApp.ExeZip.get());
  host.SetIsRuntime(true);
  host.SetAppDirName(FApp.DirName);
  host.SetHandleRequests(true);
  host.SetRuntimeAppID(FApp.ID);
  host.SetWithExternal(true);
  host.SetExternalScript(std::string(shared::BridgeScript()));

  const bool live = !FApp.AppFolder.empty();
  // An author running the folder wants the inspector whatever the app says.
  host.SetAllowDebug(live || ini.ReadBool("App", "AllowDebug", false));
  host.SetAllowContextMenu(ini.ReadBool("App", "AllowContextMenu", false));

  shared::TEdgeBrowser& edge = host.EdgeBrowser();
  edge.SetOnWebMessageReceived(
      [this](shared::TCustomEdgeBrowser* sender, shared::TWebMessageReceivedEventArgs& args) {
        // What the page announces is the host's, not the bridge's.
        if (args.ArgsInterface() && FBrowserForm &&
            FBrowserForm->TakeAnnouncement(*args.ArgsInterface())) {
          return;
        }
        if (FBrowserExternalModule)
          FBrowserExternalModule->EdgeBrowserWebMessageReceived(sender, args);
      });
  edge.SetOnDocumentTitleChanged(
      [this](shared::TCustomEdgeBrowser* sender, const std::string& title) {
        EdgeBrowserDocumentTitleChanged(sender, title);
      });

  FBridgeBrowser = std::make_unique<shared::TEdgeBrowserBridge>(
      edge, host.AppDirPath(), [this] { FWindow->Activate(); },
      [&host](const std::string& source, std::uint64_t document) {
        return host.IsAppDocument(source, document);
      });
  module.SetMainForm(this);
  module.SetBrowserForm(FBridgeBrowser.get());
  module.SetProjectINI(FApp.ProjectINI.get());
  module.SetOnAppCloseRequest(
      [this](shared::TBrowserExternalModule* sender) { AppCloseRequested(sender); });
  module.SetFileDialogs(std::make_unique<TUiFileDialogs>());
  module.SetApplicationTitle(FApp.Name);

  host.SetWebviewJavascript(
      DecodeAppScript(ReadAppFile(FApp, "vtx-webviewjs").value_or(std::string())));

  FWindow->SetCaption(FApp.Name);
  FWindow->SetApplicationTitle(FApp.Name);
  // A Linux app's icon travels in its archive (Windows has it as a resource).
  const std::optional<std::string> icon = ReadAppFile(FApp, std::string(shared::kAppIconEntry));
  if (icon && !icon->empty()) FWindow->SetIcon(*icon);

  FWindow->SetSize(SizeSetting(ini, "Width", kDefaultWidth),
                   SizeSetting(ini, "Height", kDefaultHeight));

  // Maxima before minima: a minimum above its maximum raises the maximum.
  FWindow->SetMaxWidth(ini.ReadInteger("App", "MaxWidth", 0));
  FWindow->SetMaxHeight(ini.ReadInteger("App", "MaxHeight", 0));
  FWindow->SetMinWidth(ini.ReadInteger("App", "MinWidth", 0));
  FWindow->SetMinHeight(ini.ReadInteger("App", "MinHeight", 0));

  if (ini.ReadInteger("App", "WindowStyle", 0) == 1) {
    FWindow->SetBorderStyle(platform::kBorderNone);
    FWindow->SetWindowState(platform::WindowState::Maximized);
    module.SetInFullscreen(true);
  } else {
    FWindow->SetBorderStyle(ini.ReadInteger("App", "WindowBorder", platform::kBorderSizeable));
    switch (ini.ReadInteger("App", "WindowState", 0)) {
      case 0:
        FWindow->SetWindowState(platform::WindowState::Normal);
        break;
      case 1:
        FWindow->SetWindowState(platform::WindowState::Maximized);
        break;
      default:
        break;  // the state as made: normal
    }
  }

  if (ini.ReadInteger("App", "WindowOrder", 0) == 1) FWindow->SetStayOnTop(true);

  host.SetStartPageURL(StartPageURL(FArgs, FApp.Relaunched, FApp.IndexHtml));

  if (live) {
    host.SetAppFolder(FApp.AppFolder);
    std::string error;
    // Quiet for 150 ms: an editor's save (write, rename, remove) is one
    // burst, and the reload still comes well within half a second.
    FFolderWatch = platform::WatchFolder(
        FApp.AppFolder, 150,
        [this](const platform::FolderChanges& changes) { AppFolderChanged(changes); }, error);
    if (!FFolderWatch) {
      platform::WriteStderr("tessel: changes to the app folder will not reload the page: " + error +
                            '\n');
    }
  }
}

namespace {

// Settings that shape the window as it is made: a change to them shows in
// the next window only.
constexpr std::string_view kWindowKeys[] = {
    "Width",      "Height",           "MinWidth",    "MinHeight",   "MaxWidth",
    "MaxHeight",  "WindowBorder",     "WindowState", "WindowStyle", "WindowOrder",
    "AllowDebug", "AllowContextMenu", "Theme",       "ID",          "DirName",
    "IndexHtml",  "AllowInstances",   "Password"};

}  // namespace

void TMainForm::AppFolderChanged(const platform::FolderChanges& changes) {
  if (!FBrowserForm) return;
  // Version control's own bookkeeping (a commit, a fetch) is no edit.
  const bool edited = std::ranges::any_of(changes, [](const std::string& path) {
    return !std::ranges::any_of(
        std::initializer_list<std::string_view>{".git", ".svn", ".hg"},
        [&path](std::string_view folder) {
          return path.starts_with(folder) &&
                 (path.size() == folder.size() || path[folder.size()] == '/');
        });
  });
  if (!edited) return;
  const bool settings_changed = std::ranges::any_of(changes, [](const std::string& path) {
    return path.empty() || platform::EqualsIgnoreAsciiCase(path, "vtx.ini");
  });
  if (settings_changed) {
    shared::TSettings& ini = *FApp.ProjectINI;
    std::vector<std::string> before;
    for (const std::string_view key : kWindowKeys) {
      before.push_back(ini.ReadString("App", std::string(key), ""));
    }
    const std::string name_before = ini.ReadString("App", "Name", "");
    ini.LoadFromBytes(ReadAppFile(FApp, "vtx.ini").value_or(std::string()));
    std::string later;
    for (std::size_t i = 0; i < std::size(kWindowKeys); ++i) {
      if (ini.ReadString("App", std::string(kWindowKeys[i]), "") == before[i]) continue;
      later += (later.empty() ? "" : ", ") + std::string(kWindowKeys[i]);
    }
    if (!later.empty()) {
      platform::WriteStderr("tessel: vtx.ini changed " + later +
                            ": that takes a new window (start the app again)\n");
    }
    const std::string name = ini.ReadString("App", "Name", "");
    if (name != name_before && !name.empty()) {
      FWindow->SetApplicationTitle(name);
      if (!ini.ReadBool("App", "DynamicAppTitle", false)) FWindow->SetCaption(name);
      if (FBrowserExternalModule) FBrowserExternalModule->SetApplicationTitle(name);
    }
  }
  // The app's script is part of the document script, which the engine took
  // when the view was made.
  if (std::ranges::find(changes, "vtx-webviewjs") != changes.end()) {
    platform::WriteStderr(
        "tessel: vtx-webviewjs changed: that takes a new window (start the app again)\n");
  }
  FBrowserForm->EdgeBrowser().Refresh();
}

void TMainForm::FormCloseQuery(bool& CanClose) {
  CanClose = FCanClose;
  if (!FBrowserForm) return;
  shared::TEdgeBrowser& edge = FBrowserForm->EdgeBrowser();
  // Only an app document can agree, so nothing else may keep the user from
  // closing the app: not a foreign document (the bridge does not answer it),
  // and not an engine still starting or never coming (the page's say starts
  // with its first document).
  if (!FBrowserForm->AppDocumentShown()) CanClose = true;
  // Nor can a page whose process has ended.
  if (FBrowserForm->PageGone()) CanClose = true;
  // Asked every time, allowed or not; nothing waits for the page.
  edge.ExecuteScript(std::string(kCloseQueryScript));
}

void TMainForm::FormClose() {
  FFolderWatch.reset();
  FBrowserExternalModule.reset();
  FBridgeBrowser.reset();
  FBrowserForm.reset();
}

void TMainForm::EdgeBrowserDocumentTitleChanged(shared::TCustomEdgeBrowser* /*Sender*/,
                                                const std::string& ADocumentTitle) {
  if (FApp.ProjectINI->ReadBool("App", "DynamicAppTitle", false)) {
    FWindow->SetCaption(ADocumentTitle);
  }
}

void TMainForm::AppCloseRequested(shared::TBrowserExternalModule* /*Sender*/) {
  FCanClose = true;
  FWindow->Close();
}

// --- the main window for the app and window commands ------------------------------

void TMainForm::SetBorderStyle(int border_style) { FWindow->SetBorderStyle(border_style); }

shared::TWindowState TMainForm::WindowState() const {
  switch (FWindow->State()) {
    case platform::WindowState::Minimized:
      return shared::TWindowState::Minimized;
    case platform::WindowState::Maximized:
      return shared::TWindowState::Maximized;
    case platform::WindowState::Normal:
      break;
  }
  return shared::TWindowState::Normal;
}

void TMainForm::SetWindowState(shared::TWindowState state) {
  switch (state) {
    case shared::TWindowState::Minimized:
      return FWindow->SetWindowState(platform::WindowState::Minimized);
    case shared::TWindowState::Maximized:
      return FWindow->SetWindowState(platform::WindowState::Maximized);
    case shared::TWindowState::Normal:
      break;
  }
  FWindow->SetWindowState(platform::WindowState::Normal);
}

bool TMainForm::StayOnTop() const { return FWindow->StayOnTop(); }
void TMainForm::SetStayOnTop(bool stay_on_top) { FWindow->SetStayOnTop(stay_on_top); }
std::string TMainForm::Caption() const { return FWindow->Caption(); }
void TMainForm::SetCaption(const std::string& caption) { FWindow->SetCaption(caption); }

// --- the browser host's visible parts ---------------------------------------------

void TMainForm::SetBusyBarVisible(bool visible) { FWindow->SetBusyBarVisible(visible); }

void TMainForm::FocusParentOfParent() { FWindow->Activate(); }

std::optional<std::string> TMainForm::ChooseDownloadPath(const std::string& suggested_name,
                                                         const std::string& site) {
  platform::FileDialogOptions options;
  options.file_name = suggested_name;
  // A file the app did not offer itself says where it comes from.
  if (!site.empty()) options.title = "Save File from " + site;
  options.overwrite_prompt = true;
  return platform::CurrentUi().SaveFileDialog(options);
}

// --- diagnostics ---------------------------------------------------------------------

void InstallDiagnostics(TMainForm& form) {
  const platform::Os& os = platform::CurrentOs();
  const bool trace = os.GetEnv("TESSEL_TRACE") == "1" || !form.App().AppFolder.empty();
  const std::string screenshot = os.GetEnv("TESSEL_SCREENSHOT");
  const bool close_after_load = os.GetEnv("TESSEL_CLOSE_AFTER_LOAD") == "1";
  shared::TBrowserForm* host = form.BrowserForm();
  if (host == nullptr || (!trace && screenshot.empty() && !close_after_load)) return;

  if (trace) {
    auto page_trace = std::make_shared<TPageTrace>(platform::WriteStderr);
    host->SetDiagnosticScript(std::string(TPageTrace::Script()));
    host->OnResourceUnserved = [page_trace](const std::string& uri) { page_trace->Unserved(uri); };
    if (shared::TBrowserExternalModule* module = form.BrowserExternalModule()) {
      module->SetOnDispatchError(
          [page_trace](const std::string& reason) { page_trace->Unanswered(reason); });
      module->SetOnReplyDropped(
          [page_trace](const std::string& uuid) { page_trace->ReplyDropped(uuid); });
    }
    shared::TEdgeBrowser& web_view = host->EdgeBrowser();
    web_view.SetOnWebMessageReceived(
        [page_trace, previous = web_view.OnWebMessageReceived()](
            shared::TCustomEdgeBrowser* sender, shared::TWebMessageReceivedEventArgs& args) {
          if (args.ArgsInterface() && page_trace->WebMessage(*args.ArgsInterface())) return;
          if (previous) previous(sender, args);
        });
    host->OnResourceServed = [](const shared::TServedResource& resource) {
      const char* origin = resource.Origin == shared::TResourceOrigin::Archive ? "archive"
                           : resource.Origin == shared::TResourceOrigin::BesideExecutable
                               ? "beside-exe"
                               : "absolute";
      std::string line = std::string("tessel: served ") + origin + ' ' + resource.Location + ' ' +
                         resource.MimeType;
      if (resource.Status != 200) {
        line += ' ' + std::to_string(resource.Status) + ' ' + resource.ContentRange;
      }
      platform::WriteStderr(line + '\n');
    };
  }

  shared::TEdgeBrowser& edge = host->EdgeBrowser();
  auto first = std::make_shared<bool>(true);
  edge.SetOnNavigationCompleted(
      [&form, trace, screenshot, close_after_load, first, previous = edge.OnNavigationCompleted()](
          shared::TCustomEdgeBrowser* sender, bool success, platform::WebErrorStatus status) {
        if (previous) previous(sender, success, status);
        if (trace) {
          platform::WriteStderr(success ? "tessel: navigation completed ok\n"
                                        : "tessel: navigation completed failed\n");
        }
        if (!*first) return;
        *first = false;
        if (!screenshot.empty()) {
          sender->CapturePreview(screenshot);
          // A capture that could not start reports nothing later.
          if (platform::Failed(sender->LastErrorCode())) {
            platform::WriteStderr("tessel: capturing the page failed\n");
            form.AppCloseRequested(nullptr);
          }
        } else if (close_after_load) {
          form.AppCloseRequested(nullptr);
        }
      });
  if (!screenshot.empty()) {
    edge.SetOnCapturePreviewCompleted(
        [&form, screenshot](shared::TCustomEdgeBrowser*, platform::HRESULT result) {
          if (platform::Failed(result))
            platform::WriteStderr("tessel: capturing the page failed\n");
          else
            platform::WriteStderr("tessel: page captured into " + screenshot + '\n');
          form.AppCloseRequested(nullptr);
        });
  }
}

}  // namespace tessel::runtime
