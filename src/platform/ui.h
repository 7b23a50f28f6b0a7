// The user-interface seam: what the runtime needs of the platform's toolkit.
// Every method runs on the UI thread (the thread that first used the seam);
// none may be called from any other thread. Texts are UTF-8.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tessel::platform {

// Chooses the dialog's icon (see DialogIconFor in dialog_model.h).
enum class DialogType { Warning, Error, Information, Confirmation, Custom };

// The standard buttons, declared in the order dialogs lay them out.
enum class DialogButton {
  Yes,
  No,
  OK,
  Cancel,
  Abort,
  Retry,
  Ignore,
  All,
  NoToAll,
  YesToAll,
  Help,
  Close
};

// Modal results: what a dialog answers. The values are fixed (callers compare
// against them and Win32 shares Cancel == IDCANCEL == 2); 10 and 11 are unused.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;
inline constexpr int mrRetry = 4;
inline constexpr int mrIgnore = 5;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;
inline constexpr int mrClose = 8;
inline constexpr int mrHelp = 9;
inline constexpr int mrAll = 12;
inline constexpr int mrNoToAll = 13;
inline constexpr int mrYesToAll = 14;

class Ui {
 public:
  virtual ~Ui() = default;

  // Connects to the display. Idempotent: later calls return the first
  // answer without retrying. False when no display is available; every other
  // method calls it first, so calling it is only needed to ask the question.
  virtual bool Initialize() = 0;

  // Shows `text` in the platform's modal message dialog with its own loop and
  // returns the modal result of the answer. The buttons are a set: duplicates
  // count once, an empty set shows OK alone, and they are laid out in
  // DialogButton's order whatever the order passed. The i-th laid-out button
  // is captioned captions[i] while i < captions.size(); the rest keep the
  // platform's caption, and surplus captions are ignored. The window title is
  // `title`. Enter answers the default button (OK, else Yes, else the first
  // one); Escape answers Cancel (2) when Cancel is present and is ignored
  // otherwise; the close box answers Cancel (2) (Win32 task dialogs show no
  // close box when there is no Cancel button). Without a display the title
  // and text go to stderr and the answer is the close box's, Cancel (2).
  // Never throws.
  virtual int MessageDialog(const std::string& text, DialogType type,
                            const std::vector<DialogButton>& buttons,
                            const std::vector<std::string>& captions, const std::string& title) = 0;

  // The system's own message box: error icon, `text`, one OK button, window
  // title `caption`; returns when it is dismissed however that happens.
  // Without a display the caption and text go to stderr.
  virtual void ErrorBox(const std::string& text, const std::string& caption) = 0;

  // Gives every window and dialog shown from now on the look of the visual
  // style `name` (its canonical name; the lookup by name is not the seam's
  // business). False, with the look unchanged, when the style cannot be
  // applied. Works without a display.
  virtual bool ApplyStyle(const std::string& name) = 0;

  // Shows a plain, centred 800x600 top-level window titled `caption` and runs
  // the message loop until the user closes it with the close box. Returns at
  // once without a display.
  virtual void RunPlainMainWindow(const std::string& caption) = 0;
};

// The process-wide UI seam: the real implementation unless a test installed
// another with SetCurrentUi. Not owned by the caller.
Ui& CurrentUi();

// Installs `ui` as the process-wide seam (tests only); nullptr restores the
// real one. The caller keeps ownership and must outlive its use.
void SetCurrentUi(Ui* ui);

// The platform's real implementation (chosen by CMake). Creating it touches
// no display; Initialize does.
std::unique_ptr<Ui> MakeNativeUi();

}  // namespace tessel::platform
