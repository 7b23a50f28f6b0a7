#include "platform/dialog_model.h"

#include <algorithm>
#include <array>

namespace tessel::platform {
namespace {

constexpr std::array kLayoutOrder = {
    DialogButton::Yes,     DialogButton::No,       DialogButton::OK,     DialogButton::Cancel,
    DialogButton::Abort,   DialogButton::Retry,    DialogButton::Ignore, DialogButton::All,
    DialogButton::NoToAll, DialogButton::YesToAll, DialogButton::Help,   DialogButton::Close,
};

}  // namespace

int ModalResultOf(DialogButton button) {
  switch (button) {
    case DialogButton::Yes:
      return mrYes;
    case DialogButton::No:
      return mrNo;
    case DialogButton::OK:
      return mrOk;
    case DialogButton::Cancel:
      return mrCancel;
    case DialogButton::Abort:
      return mrAbort;
    case DialogButton::Retry:
      return mrRetry;
    case DialogButton::Ignore:
      return mrIgnore;
    case DialogButton::All:
      return mrAll;
    case DialogButton::NoToAll:
      return mrNoToAll;
    case DialogButton::YesToAll:
      return mrYesToAll;
    case DialogButton::Help:
      return mrHelp;
    case DialogButton::Close:
      return mrClose;
  }
  return mrNone;
}

std::string_view DefaultButtonCaption(DialogButton button) {
  switch (button) {
    case DialogButton::Yes:
      return "Yes";
    case DialogButton::No:
      return "No";
    case DialogButton::OK:
      return "OK";
    case DialogButton::Cancel:
      return "Cancel";
    case DialogButton::Abort:
      return "Abort";
    case DialogButton::Retry:
      return "Retry";
    case DialogButton::Ignore:
      return "Ignore";
    case DialogButton::All:
      return "All";
    case DialogButton::NoToAll:
      return "No to All";
    case DialogButton::YesToAll:
      return "Yes to All";
    case DialogButton::Help:
      return "Help";
    case DialogButton::Close:
      return "Close";
  }
  return {};
}

DialogIcon DialogIconFor(DialogType type) {
  switch (type) {
    case DialogType::Warning:
      return DialogIcon::Warning;
    case DialogType::Error:
      return DialogIcon::Error;
    case DialogType::Information:
    case DialogType::Confirmation:
      return DialogIcon::Information;
    case DialogType::Custom:
      return DialogIcon::None;
  }
  return DialogIcon::None;
}

DialogLayout LayOutDialog(DialogType type, const std::vector<DialogButton>& buttons,
                          const std::vector<std::string>& captions) {
  DialogLayout layout;
  layout.icon = DialogIconFor(type);
  const auto present = [&](DialogButton b) {
    return std::find(buttons.begin(), buttons.end(), b) != buttons.end();
  };
  for (const DialogButton b : kLayoutOrder) {
    if (!present(b)) continue;
    layout.buttons.push_back({b, ModalResultOf(b), std::nullopt});
  }
  // A dialog without buttons could only be closed, never answered.
  if (layout.buttons.empty()) {
    layout.buttons.push_back({DialogButton::OK, mrOk, std::nullopt});
  }
  for (std::size_t i = 0; i < layout.buttons.size() && i < captions.size(); ++i) {
    layout.buttons[i].caption = captions[i];
  }
  if (present(DialogButton::OK)) {
    layout.default_result = mrOk;
  } else if (present(DialogButton::Yes)) {
    layout.default_result = mrYes;
  } else {
    layout.default_result = layout.buttons.front().modal_result;
  }
  layout.escape_result = present(DialogButton::Cancel) ? mrCancel : mrNone;
  layout.close_box_result = mrCancel;
  return layout;
}

std::optional<int> AnswerFor(const DialogLayout& layout, UserAction action,
                             std::size_t button_index) {
  switch (action) {
    case UserAction::Enter:
      return layout.default_result;
    case UserAction::Escape:
      if (layout.escape_result == mrNone) return std::nullopt;
      return layout.escape_result;
    case UserAction::CloseBox:
      return layout.close_box_result;
    case UserAction::Click:
      if (button_index >= layout.buttons.size()) return std::nullopt;
      return layout.buttons[button_index].modal_result;
  }
  return std::nullopt;
}

}  // namespace tessel::platform
