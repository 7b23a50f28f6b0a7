// The application's main window: builds the bridge module and the browser
// host, shapes the top-level window by the app's settings, picks the start
// page, lets the page decide whether the window may close, and lets the
// caption follow the page's title.
//
// Threads: UI thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/folder_watch.h"
#include "platform/ui.h"
#include "runtime/exe_zip_loader.h"
#include "shared/bridge_commands.h"
#include "shared/browser_external_module.h"
#include "shared/browser_form.h"

namespace tessel::runtime {

// The script run in the page at every close request.
inline constexpr std::string_view kCloseQueryScript = "vtx.events.onCloseQuery();";

// The start address: argument 2 unchanged in a relaunch (`relaunched`, see
// TLoadedApp::Relaunched), whose command line is exactly the app's ID and an
// address; otherwise "file:///" followed by `index_html`, so that a start by
// hand cannot choose the app's first document.
std::string StartPageURL(const std::vector<std::string>& args, bool relaunched,
                         const std::string& index_html);

// The app's own script (the archive entry "vtx-webviewjs") as text: UTF-8
// with a byte-order mark kept (it is the character U+FEFF, which scripts
// read as white space); invalid bytes become U+FFFD.
std::string DecodeAppScript(std::string_view bytes);

// The platform's file dialogs (platform::Ui) as the bridge module's dialogs.
class TUiFileDialogs : public shared::IFileDialogs {
 public:
  std::optional<std::string> OpenFile(shared::TFileDialogRequest& request) override;
  std::optional<std::string> SaveFile(shared::TFileDialogRequest& request) override;
};

class TMainForm : public shared::IAppWindow, private shared::IBrowserFormView {
 public:
  // FormCreate: `app` is the start-up state (it must outlive the form),
  // `window` the hidden top-level window to shape (not null), `args` the
  // command-line arguments after the program's name. The web view's engine
  // reports readiness only once the UI loop runs, so everything set here is
  // in place by then.
  TMainForm(const TLoadedApp& app, std::unique_ptr<platform::TopLevelWindow> window,
            std::vector<std::string> args);
  // Frees what FormClose has not freed yet.
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Shows the window and runs the UI loop until it closes (FormClose has run
  // by then).
  void Run();

  // --- the window's and the web view's events ---
  // Every close request: refused until the page agreed; each one runs
  // kCloseQueryScript in the page, nothing waiting for it.
  void FormCloseQuery(bool& CanClose);
  // The window closed: frees the bridge module, then the browser host with
  // its web view.
  void FormClose();
  // The caption follows the page's title while "DynamicAppTitle" is on
  // (read anew each time); the application's title stays.
  void EdgeBrowserDocumentTitleChanged(shared::TCustomEdgeBrowser* Sender,
                                       const std::string& ADocumentTitle);
  // The page asked to close the application: closing is allowed from now on,
  // and the window closes.
  void AppCloseRequested(shared::TBrowserExternalModule* Sender);

  bool CanClose() const { return FCanClose; }
  // Null once FormClose has run.
  shared::TBrowserForm* BrowserForm() const { return FBrowserForm.get(); }
  shared::TBrowserExternalModule* BrowserExternalModule() const {
    return FBrowserExternalModule.get();
  }
  platform::TopLevelWindow& Window() const { return *FWindow; }
  const TLoadedApp& App() const { return FApp; }

  // --- the main window as the app and window commands see it ---
  void SetBorderStyle(int border_style) override;
  shared::TWindowState WindowState() const override;
  void SetWindowState(shared::TWindowState state) override;
  bool StayOnTop() const override;
  void SetStayOnTop(bool stay_on_top) override;
  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;

  // An app folder run live changed (`changes` as the folder watch reports
  // them): a changed vtx.ini is read again, and the page reloads.
  void AppFolderChanged(const platform::FolderChanges& changes);

 private:
  void FormCreate();

  // The browser host's visible parts.
  void SetBusyBarVisible(bool visible) override;
  void FocusParentOfParent() override;
  std::optional<std::string> ChooseDownloadPath(const std::string& suggested_name,
                                                const std::string& site) override;

  const TLoadedApp& FApp;
  const std::vector<std::string> FArgs;
  std::unique_ptr<platform::TopLevelWindow> FWindow;

  bool FCanClose = false;
  std::unique_ptr<shared::TBrowserForm> FBrowserForm;
  std::unique_ptr<shared::TBrowserExternalModule> FBrowserExternalModule;
  // The host as the module sees it (replies, folder, focus); freed between
  // the module and the host.
  std::unique_ptr<shared::TEdgeBrowserBridge> FBridgeBrowser;
  // Only for an app folder run live.
  std::unique_ptr<platform::FolderWatch> FFolderWatch;
};

// Hooks for demos, tests and benchmarks, read from the environment when
// called (nothing happens when none is set):
// - TESSEL_TRACE=1 (always on for an app folder run live): every resource the host serves ("tessel:
// served
//   <archive|beside-exe|absolute> <location> <mime type>") and every
//   completed navigation ("tessel: navigation completed ok|failed") are
//   written to stderr, and so is what TPageTrace reports: the page's console
//   messages and uncaught errors, "file:" requests nothing served, and
//   bridge messages left without an answer.
// - TESSEL_SCREENSHOT=<file>: at the first completed navigation the page is
//   captured into <file> as PNG, then the application closes.
// - TESSEL_CLOSE_AFTER_LOAD=1: the application closes at the first completed
//   navigation.
void InstallDiagnostics(TMainForm& form);

}  // namespace tessel::runtime
