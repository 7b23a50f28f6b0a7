// A deterministic UI seam for unit tests: records everything shown and answers
// dialogs from a scripted queue of user actions, through the same dialog rules
// as the real implementations. Obeys the contract of platform::Ui.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialog_model.h"
#include "platform/fake/fake_main_window.h"
#include "platform/ui.h"

namespace tessel::platform {

// One thing the scripted user does to the open dialog.
struct ScriptedAction {
  UserAction action = UserAction::CloseBox;
  std::size_t button_index = 0;  // laid-out position, for Click

  static ScriptedAction Enter() { return {UserAction::Enter, 0}; }
  static ScriptedAction Escape() { return {UserAction::Escape, 0}; }
  static ScriptedAction CloseBox() { return {UserAction::CloseBox, 0}; }
  static ScriptedAction Click(std::size_t index) { return {UserAction::Click, index}; }
};

// A message dialog as the user saw it.
struct ShownDialog {
  std::string text;
  DialogType type = DialogType::Custom;
  std::string title;
  DialogIcon icon = DialogIcon::None;
  std::vector<DialogButton> buttons;  // in layout order
  std::vector<std::string> captions;  // one per button, as applied
  int default_result = mrNone;
  bool shown = true;  // false: no display, written to stderr instead
  int result = mrNone;
};

struct ShownErrorBox {
  std::string text;
  std::string caption;
};

class FakeUi : public Ui {
 public:
  bool display_available = true;
  bool apply_style_result = true;
  // Consumed front first. An action that leaves the dialog open (Escape
  // without Cancel, a click beside every button) is used up and the next one
  // follows, as a user would try again; with none left the dialog is closed
  // with the close box.
  std::deque<ScriptedAction> actions;

  std::vector<ShownDialog> dialogs;
  std::vector<ShownErrorBox> error_boxes;
  std::vector<std::string> styles;  // every name passed to ApplyStyle
  std::string current_style;        // the last one applied
  std::vector<std::string> main_windows;

  bool Initialize() override { return display_available; }
  int MessageDialog(const std::string& text, DialogType type,
                    const std::vector<DialogButton>& buttons,
                    const std::vector<std::string>& captions, const std::string& title) override;
  void ErrorBox(const std::string& text, const std::string& caption) override;
  bool ApplyStyle(const std::string& name) override;
  void RunPlainMainWindow(const std::string& caption) override;

  // Windows and file dialogs (fake_main_window.cpp). CreateMainWindow makes
  // a FakeMainWindow and remembers it here; valid while its owner keeps it.
  FakeMainWindow* last_main_window = nullptr;
  // Consumed front first; with none left a dialog is cancelled.
  std::deque<FileDialogAnswer> file_dialog_answers;
  std::vector<ShownFileDialog> file_dialogs;

  std::unique_ptr<TopLevelWindow> CreateMainWindow() override;
  std::optional<std::string> OpenFileDialog(FileDialogOptions& options) override;
  std::optional<std::string> SaveFileDialog(FileDialogOptions& options) override;

  // Further system utilities: icons by exact path, a fixed-pitch text width
  // (pixel_size / 2 per byte), key presses and quit requests recorded.
  std::map<std::string, Bitmap> icons;
  bool press_key_result = true;
  std::vector<int> pressed_keys;
  int quit_requests = 0;

  bool ExtractFileIcon(const std::string& path, Bitmap& bitmap) override;
  int TextWidth(const FontSpec& font, const std::string& text) override;
  bool PressKey(int virtual_key) override;
  void QuitApplication() override { ++quit_requests; }

 private:
  std::optional<std::string> ShowFileDialog(bool save, FileDialogOptions& options);
};

std::unique_ptr<FakeUi> MakeFakeUi();

// Installs a UI seam for the lifetime of a scope.
class ScopedUi {
 public:
  explicit ScopedUi(Ui& ui) { SetCurrentUi(&ui); }
  ~ScopedUi() { SetCurrentUi(nullptr); }
  ScopedUi(const ScopedUi&) = delete;
  ScopedUi& operator=(const ScopedUi&) = delete;
};

}  // namespace tessel::platform
