#include "platform/fake/fake_main_window.h"

#include "platform/fake/fake_ui.h"

namespace tessel::platform {

std::string WindowStateName(WindowState state) {
  switch (state) {
    case WindowState::Minimized:
      return "minimized";
    case WindowState::Maximized:
      return "maximized";
    case WindowState::Normal:
      break;
  }
  return "normal";
}

bool FakeMainWindow::RequestClose() {
  if (closed) return true;
  ++close_queries;
  if (OnCloseQuery && !OnCloseQuery()) {
    changes.push_back("close refused");
    return false;
  }
  closed = true;
  shown = false;
  changes.push_back("closed");
  return true;
}

void FakeMainWindow::SetCaption(const std::string& value) {
  caption = value;
  changes.push_back("caption " + value);
}

void FakeMainWindow::SetApplicationTitle(const std::string& value) {
  application_title = value;
  changes.push_back("application title " + value);
}

void FakeMainWindow::SetApplicationId(const std::string& value) {
  application_id = value;
  changes.push_back("application id " + value);
}

void FakeMainWindow::SetIcon(const std::string& png) {
  icon = png;
  changes.push_back("icon " + std::to_string(png.size()) + " bytes");
}

void FakeMainWindow::SetBorderStyle(int value) {
  border_style = value >= kBorderNone && value <= kBorderSizeToolWindow ? value : kBorderSizeable;
  changes.push_back("border " + std::to_string(border_style));
}

void FakeMainWindow::SetWindowState(WindowState value) {
  state = value;
  changes.push_back("state " + WindowStateName(value));
}

void FakeMainWindow::SetStayOnTop(bool value) {
  stay_on_top = value;
  changes.push_back(std::string("on top ") + (value ? "1" : "0"));
}

std::unique_ptr<NativeView> FakeMainWindow::CreateContentView() {
  auto view = std::make_unique<FakeNativeView>();
  content_view = view.get();
  return view;
}

void FakeMainWindow::SetBusyBarVisible(bool visible) {
  busy_bar_visible = visible;
  changes.push_back(std::string("busy bar ") + (visible ? "1" : "0"));
}

void FakeMainWindow::Show() {
  if (closed) return;
  if (!centred && state == WindowState::Normal) centred = true;
  shown = true;
  changes.push_back("show");
}

void FakeMainWindow::RunMessageLoop() {
  if (!closed && !shown) Show();
  if (!closed && loop) loop(*this);
  if (closed && !on_close_done_) {
    on_close_done_ = true;
    ++on_close_calls;
    if (OnClose) OnClose();
  }
}

void FakeMainWindow::ApplySize(int new_width, int new_height) {
  width = new_width;
  height = new_height;
  changes.push_back("size " + std::to_string(width) + "x" + std::to_string(height));
}

void FakeMainWindow::ApplyLimits() {
  const SizeLimits& l = Limits();
  changes.push_back("limits max " + std::to_string(l.MaxWidth()) + "x" +
                    std::to_string(l.MaxHeight()) + " min " + std::to_string(l.MinWidth()) + "x" +
                    std::to_string(l.MinHeight()));
}

// --- FakeUi's windows and file dialogs ---------------------------------------------

std::unique_ptr<TopLevelWindow> FakeUi::CreateMainWindow() {
  if (!display_available) return nullptr;
  auto window = std::make_unique<FakeMainWindow>();
  last_main_window = window.get();
  return window;
}

std::optional<std::string> FakeUi::ShowFileDialog(bool save, FileDialogOptions& options) {
  file_dialogs.push_back({save, options});
  if (!display_available) return std::nullopt;
  FileDialogAnswer answer;
  if (!file_dialog_answers.empty()) {
    answer = file_dialog_answers.front();
    file_dialog_answers.pop_front();
  }
  const std::size_t count = options.filters.size();
  if (count != 0) {
    std::size_t selected =
        options.type_index >= 1 && options.type_index <= count ? options.type_index : 1;
    if (answer.select_type_index >= 1 && answer.select_type_index <= count) {
      selected = answer.select_type_index;
    }
    options.type_index = selected;
  }
  return answer.path;
}

std::optional<std::string> FakeUi::OpenFileDialog(FileDialogOptions& options) {
  return ShowFileDialog(false, options);
}

std::optional<std::string> FakeUi::SaveFileDialog(FileDialogOptions& options) {
  return ShowFileDialog(true, options);
}

}  // namespace tessel::platform
