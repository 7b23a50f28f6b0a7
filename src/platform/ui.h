// The user-interface seam: what the runtime needs of the platform's toolkit.
// Every method runs on the UI thread (the thread that first used the seam);
// none may be called from any other thread. Texts are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// --- top-level windows -------------------------------------------------------

// As in engine.h: a GtkWidget* on GTK, an HWND on Windows. (engine.h is not
// included: its HRESULT would hide the system's in Windows code.)
using NativeWindowHandle = void*;
class NativeView;  // native_view.h

enum class WindowState { Normal, Minimized, Maximized };

// Border styles, numbered as the app's "WindowBorder" setting. Any other
// value is treated as kBorderSizeable.
inline constexpr int kBorderNone = 0;
inline constexpr int kBorderSingle = 1;          // caption, fixed size
inline constexpr int kBorderSizeable = 2;        // caption, resizable (the default)
inline constexpr int kBorderDialog = 3;          // caption without minimize/maximize, fixed size
inline constexpr int kBorderToolWindow = 4;      // small caption, fixed size, not on the taskbar
inline constexpr int kBorderSizeToolWindow = 5;  // the same, resizable

// The limits of a window's outer size, in the window's units (see
// TopLevelWindow); 0 is no limit, and so is a negative value. Setting a
// maximum below the minimum of its dimension lowers that minimum to it;
// setting a minimum above the maximum raises that maximum to it. So when
// maxima are set before minima, the minimum wins.
class SizeLimits {
 public:
  int MaxWidth() const { return max_width_; }
  int MaxHeight() const { return max_height_; }
  int MinWidth() const { return min_width_; }
  int MinHeight() const { return min_height_; }
  void SetMaxWidth(int value);
  void SetMaxHeight(int value);
  void SetMinWidth(int value);
  void SetMinHeight(int value);

  // A size kept within the limits: above a non-zero maximum it becomes the
  // maximum, otherwise below a non-zero minimum it becomes the minimum.
  int ConstrainWidth(int width) const;
  int ConstrainHeight(int height) const;

  friend bool operator==(const SizeLimits&, const SizeLimits&) = default;

 private:
  int max_width_ = 0;
  int max_height_ = 0;
  int min_width_ = 0;
  int min_height_ = 0;
};

// The application's top-level window. Every property can change while the
// window is shown; border, state and stacking change the native window in
// place, never by re-creating it, so a web view inside keeps its page.
//
// Its client area holds the content (a native container the browser host
// fills) above a marquee busy bar 4 units high. Sizes are the window's outer
// size as far as the toolkit controls it: on Windows including the frame, on
// X11 the size of the client window that the window manager frames. Units
// are pixels on X11 and 96-dpi units on Windows, scaled to the DPI of the
// window's monitor.
//
// UI thread only. The platform's windows come from Ui::CreateMainWindow.
class TopLevelWindow {
 public:
  virtual ~TopLevelWindow() = default;

  // Asked at every request to close the window (close box, system menu, the
  // system's close key, the window manager, Close()); false keeps it open.
  // Empty: every request closes.
  std::function<bool()> OnCloseQuery;
  // Called once, after the window has closed, from RunMessageLoop once its
  // loop has ended (so never from inside an event the window's content is
  // handling). The native window is destroyed after it returns.
  std::function<void()> OnClose;

  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string Caption() const = 0;
  // The title the system shows for the application (task bar, window
  // switcher) where it differs from the caption.
  virtual void SetApplicationTitle(const std::string& title) = 0;
  virtual std::string ApplicationTitle() const = 0;
  // The name the desktop knows the application by (the window class and
  // program name on Linux), so that its desktop entry finds the window.
  // Given before the window is first shown. Windows: nothing to do.
  virtual void SetApplicationId(const std::string& /*id*/) {}
  // The window's icon from the bytes of a square PNG: shown at its own size
  // and scaled down to 48, 32 and 16 px. Bytes that do not read as a
  // picture leave the icon as it was. Windows: nothing to do, the program's
  // resource icon (the app's, written by the packer) is the window's.
  virtual void SetIcon(const std::string& /*png*/) {}

  // Sets the outer size, kept within Limits(). Negative values count as 0.
  void SetSize(int width, int height);
  // The current outer size (of the restored window while it is not shown).
  virtual int Width() const = 0;
  virtual int Height() const = 0;

  // Each limit follows SizeLimits' rules and applies to the current size at
  // once, and to every later size change (by the user, the system or the
  // program).
  const SizeLimits& Limits() const { return limits_; }
  void SetMaxWidth(int value);
  void SetMaxHeight(int value);
  void SetMinWidth(int value);
  void SetMinHeight(int value);

  // One of the kBorder* values; others count as kBorderSizeable.
  virtual void SetBorderStyle(int border_style) = 0;
  virtual int BorderStyle() const = 0;
  // The state last set or, once the window is shown, the one the system
  // reports. Before the first Show the state is applied when the window
  // appears.
  virtual void SetWindowState(WindowState state) = 0;
  virtual WindowState State() const = 0;
  // Kept above every window that is not itself kept on top.
  virtual void SetStayOnTop(bool stay_on_top) = 0;
  virtual bool StayOnTop() const = 0;

  // The native container that the content fills (a GtkContainer* on GTK, an
  // HWND on Windows); owned by the window, valid for its life.
  virtual NativeWindowHandle ClientArea() = 0;
  // A new windowed control for a web view, to be placed in ClientArea(); the
  // window keeps it filling the area above the busy bar.
  virtual std::unique_ptr<NativeView> CreateContentView() = 0;
  // The marquee bar along the bottom edge (hidden when the window is made).
  virtual void SetBusyBarVisible(bool visible) = 0;
  virtual bool BusyBarVisible() const = 0;
  // Gives the window the input focus (and brings it forward).
  virtual void Activate() = 0;

  // Shows the window; the first time, centred on the screen unless its
  // state places it.
  virtual void Show() = 0;
  virtual bool Shown() const = 0;
  // Requests closing, as the close box does: OnCloseQuery decides. Closing
  // hides the window at once and ends RunMessageLoop's loop.
  virtual void Close() = 0;
  virtual bool Closed() const = 0;
  // Shows the window unless it is shown or closed, runs the UI loop until it
  // closes, then calls OnClose. Returns at once (after OnClose) when the
  // window closed before.
  virtual void RunMessageLoop() = 0;

 protected:
  // The native side of a size or limit change: Limits() holds the limits to
  // enforce (e.g. as the window manager's size hints), and the size to give
  // the window now is (width, height), already within them.
  virtual void ApplySize(int width, int height) = 0;
  virtual void ApplyLimits() = 0;

 private:
  void ChangeLimit(void (SizeLimits::*setter)(int), int value);

  SizeLimits limits_;
};

// --- file dialogs ----------------------------------------------------------------

struct FileDialogFilter {
  std::string description;  // e.g. "Text files"
  std::string pattern;      // one mask, e.g. "*.txt"; "*.*" is every file
  friend bool operator==(const FileDialogFilter&, const FileDialogFilter&) = default;
};

struct FileDialogOptions {
  std::string title;                      // empty: the platform's own title
  std::string file_name;                  // initial name (or path); empty: none
  std::vector<FileDialogFilter> filters;  // empty: no type filter
  // In: the preselected filter, counted from 1 (beyond the list: the first).
  // Out: the filter selected when the dialog closed, confirmed or not.
  std::size_t type_index = 1;
  bool overwrite_prompt = false;  // save dialog: confirm replacing a file
};

// --- pictures and fonts of the further system utilities ------------------------

// A picture in memory: `pixels` holds width * height values 0xAARRGGBB
// (straight alpha), rows top to bottom.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

// A font by family name, em size in pixels and style.
struct FontSpec {
  std::string name = "Sans";
  int pixel_size = 12;
  bool bold = false;
  bool italic = false;
};

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

  // A new, hidden top-level window (see TopLevelWindow); null without a
  // display. The caller owns it.
  virtual std::unique_ptr<TopLevelWindow> CreateMainWindow() = 0;

  // The platform's modal open and save dialogs, owned by the active window:
  // the full path of the chosen file, or nullopt when the user cancelled or
  // the dialog could not be shown (no display). options.type_index is
  // written back either way. The dialog's modal loop dispatches other UI
  // work meanwhile. Never throw.
  virtual std::optional<std::string> OpenFileDialog(FileDialogOptions& options) = 0;
  virtual std::optional<std::string> SaveFileDialog(FileDialogOptions& options) = 0;

  // ---- further system utilities ------------------------------------------------
  // The base definitions are the platform's own (ui_extras_gtk.cpp,
  // ui_extras_win32.cpp); test doubles override them.

  // The first icon of `path` at its own size, drawn at (0, 0) into `bitmap`,
  // which takes that size; false, with `bitmap` untouched, when there is
  // none. Windows: ExtractIconW index 0 and DrawIcon on a 32-bit bitmap.
  // Linux: for a .desktop entry its Icon (a path, or a name in the icon
  // theme, at 48 pixels); an image file is its own icon; a program (ELF)
  // carries none.
  virtual bool ExtractFileIcon(const std::string& path, Bitmap& bitmap);

  // The width in pixels of `text` set in `font` on the screen, 0 for the
  // empty text. Windows: GetTextExtentPoint32W on the screen's device context
  // with the font selected. Linux: Pango's logical width at the font's pixel
  // size (no display needed).
  virtual int TextWidth(const FontSpec& font, const std::string& text);

  // A synthetic press and release of the Windows virtual key `virtual_key`,
  // delivered to whatever has the keyboard focus. True when the events were
  // handed to the system. Windows: keybd_event with the scan code of
  // MapVirtualKeyW (MAPVK_VK_TO_VSC) and KEYEVENTF_EXTENDEDKEY, then the same
  // with KEYEVENTF_KEYUP. Linux: XTest on $DISPLAY, the key mapped to its X
  // keysym (KeysymOfVirtualKey); false without a display, the XTest
  // extension or a mapping.
  virtual bool PressKey(int virtual_key);

  // Asks the application to end: the message loop of the main window ends
  // soon after, without asking its close query. Windows: PostQuitMessage(0).
  // GTK: every top-level window is destroyed.
  virtual void QuitApplication();
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

// The most of a window title or application name that is handed to the
// window system: a page's title of many megabytes would otherwise end the
// app (X refuses the request). Cut at a character boundary of UTF-8 text.
inline constexpr std::size_t kMaxWindowTitleBytes = 4096;
std::string WindowSystemTitle(std::string_view text);

// The X keysym that stands for the Windows virtual key `virtual_key` (letters
// as lower case, digits, function, editing, cursor, keypad and modifier
// keys), or 0 when there is none.
unsigned long KeysymOfVirtualKey(int virtual_key);

}  // namespace tessel::platform
