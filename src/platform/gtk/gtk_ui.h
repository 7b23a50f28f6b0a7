// The GTK 3 implementation of the UI seam. Private to platform/gtk; gtk.h
// stays in the .cpp.
#pragma once

#include <string>

#include "platform/dialog_model.h"
#include "platform/ui.h"

namespace tessel::platform {

class GtkUi : public Ui {
 public:
  bool Initialize() override;
  int MessageDialog(const std::string& text, DialogType type,
                    const std::vector<DialogButton>& buttons,
                    const std::vector<std::string>& captions, const std::string& title) override;
  void ErrorBox(const std::string& text, const std::string& caption) override;
  bool ApplyStyle(const std::string& name) override;
  void RunPlainMainWindow(const std::string& caption) override;
  // main_window_gtk.cpp and file_dialogs_gtk.cpp.
  std::unique_ptr<TopLevelWindow> CreateMainWindow() override;
  std::optional<std::string> OpenFileDialog(FileDialogOptions& options) override;
  std::optional<std::string> SaveFileDialog(FileDialogOptions& options) override;

  // The style last applied; empty for the platform's look.
  const std::string& style() const { return style_; }

 private:
  // Shows the dialog described by `layout` and returns its answer.
  int RunDialog(const std::string& text, const DialogLayout& layout, const std::string& title);

  bool initialized_ = false;
  bool display_ = false;
  std::string style_;
};

}  // namespace tessel::platform
