#include "runtime/require_password_form.h"

#include "platform/ui.h"
#include "platform/ui_startup.h"

namespace tessel::runtime {

TRequirePasswordForm::TRequirePasswordForm() { FPassword.clear(); }

void TRequirePasswordForm::PasswordEditKeyUp(const std::string& text) {
  if (text == FPassword) FModalResult = platform::mrOk;
}

int TRequirePasswordForm::ShowModal() {
  FModalResult = platform::mrNone;
  const bool accepted =
      platform::CurrentStartupUi().RunPasswordPrompt(Caption, [this](const std::string& text) {
        PasswordEditKeyUp(text);
        return FModalResult == platform::mrOk;
      });
  FModalResult = accepted ? platform::mrOk : platform::mrCancel;
  return FModalResult;
}

bool RequirePassword(const std::string& password, const std::string& name) {
  TRequirePasswordForm form;
  form.Caption = name;
  form.SetPassword(password);
  return form.ShowModal() == platform::mrOk;
}

}  // namespace tessel::runtime
