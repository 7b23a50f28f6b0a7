// The portable rules of the message dialog: which buttons it shows in which
// order, which caption each gets, and what Enter, Escape, the close box and a
// click answer. Every Ui implementation, the fake included, builds its dialog
// from this, so the rules are written and tested once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.h"

namespace tessel::platform {

enum class DialogIcon { None, Warning, Error, Information };

// A button as laid out: its kind, what it answers, and the caller's caption
// (nullopt: the platform's own caption for the kind).
struct LaidOutButton {
  DialogButton button;
  int modal_result;
  std::optional<std::string> caption;
};

struct DialogLayout {
  DialogIcon icon = DialogIcon::None;
  std::vector<LaidOutButton> buttons;  // never empty
  int default_result = mrNone;         // Enter
  int escape_result = mrNone;          // mrNone: Escape leaves the dialog open
  int close_box_result = mrCancel;
};

// The things a user can do to an open dialog.
enum class UserAction { Enter, Escape, CloseBox, Click };

int ModalResultOf(DialogButton button);

// English captions for platforms that have none of their own (Win32 task
// dialog buttons, which are all custom).
std::string_view DefaultButtonCaption(DialogButton button);

// Warning and error get their icons; information and confirmation the
// information icon; custom none.
DialogIcon DialogIconFor(DialogType type);

// Lays out `buttons` (a set: order and duplicates do not matter; empty means
// OK alone) in DialogButton order and gives the i-th laid-out button
// captions[i] while there is one. The default is OK, else Yes, else the first
// button; Escape answers Cancel only when Cancel is present.
DialogLayout LayOutDialog(DialogType type, const std::vector<DialogButton>& buttons,
                          const std::vector<std::string>& captions);

// What `action` answers on a dialog laid out as `layout`; `button_index` is
// the laid-out position for Click. nullopt when the action leaves the dialog
// open (Escape without Cancel, a click beside every button).
std::optional<int> AnswerFor(const DialogLayout& layout, UserAction action,
                             std::size_t button_index = 0);

}  // namespace tessel::platform
