#include "platform/fake/fake_ui.h"

namespace tessel::platform {

int FakeUi::MessageDialog(const std::string& text, DialogType type,
                          const std::vector<DialogButton>& buttons,
                          const std::vector<std::string>& captions, const std::string& title) {
  const DialogLayout layout = LayOutDialog(type, buttons, captions);
  ShownDialog& shown = dialogs.emplace_back();
  shown.text = text;
  shown.type = type;
  shown.title = title;
  shown.icon = layout.icon;
  shown.default_result = layout.default_result;
  for (const LaidOutButton& b : layout.buttons) {
    shown.buttons.push_back(b.button);
    shown.captions.push_back(b.caption ? *b.caption : std::string(DefaultButtonCaption(b.button)));
  }
  if (!display_available) {
    shown.shown = false;
    shown.result = layout.close_box_result;
    return shown.result;
  }
  while (!actions.empty()) {
    const ScriptedAction next = actions.front();
    actions.pop_front();
    if (const auto answer = AnswerFor(layout, next.action, next.button_index)) {
      shown.result = *answer;
      return shown.result;
    }
  }
  shown.result = layout.close_box_result;
  return shown.result;
}

void FakeUi::ErrorBox(const std::string& text, const std::string& caption) {
  error_boxes.push_back({text, caption});
}

bool FakeUi::ApplyStyle(const std::string& name) {
  styles.push_back(name);
  if (!apply_style_result) return false;
  current_style = name;
  return true;
}

void FakeUi::RunPlainMainWindow(const std::string& caption) {
  if (display_available) main_windows.push_back(caption);
}

std::unique_ptr<FakeUi> MakeFakeUi() { return std::make_unique<FakeUi>(); }

bool FakeUi::ExtractFileIcon(const std::string& path, Bitmap& bitmap) {
  const auto it = icons.find(path);
  if (it == icons.end()) return false;
  bitmap = it->second;
  return true;
}

int FakeUi::TextWidth(const FontSpec& font, const std::string& text) {
  return static_cast<int>(text.size()) * font.pixel_size / 2;
}

bool FakeUi::PressKey(int virtual_key) {
  pressed_keys.push_back(virtual_key);
  return press_key_result;
}

}  // namespace tessel::platform
