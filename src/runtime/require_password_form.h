// The password prompt: shown before the main window when the app has a
// password, it closes by itself at the key release that makes the typed text
// equal to the password. There is no button; closing it any other way ends
// the process.
#pragma once

#include <string>

namespace tessel::runtime {

class TRequirePasswordForm {
 public:
  // FormCreate: no expected password yet.
  TRequirePasswordForm();

  // The title; start-up sets it to the app's Name.
  std::string Caption = "[App Name]";

  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& password) { FPassword = password; }

  // The edit box's key release, with its whole text: a text equal to the
  // password (same bytes, same length, case-sensitive, nothing trimmed) sets
  // the modal result to OK; anything else changes nothing.
  void PasswordEditKeyUp(const std::string& text);

  int ModalResult() const { return FModalResult; }

  // Shows the form modally: platform::mrOk (1) once the password was typed,
  // platform::mrCancel (2) when the user closed the form (or there is no
  // display to ask on).
  int ShowModal();

 private:
  std::string FPassword;
  int FModalResult = 0;
};

// The start-up stage: asks for `password` in a prompt titled `name`; true
// only when the user typed it. Start-up ends the process with exit code 0
// otherwise.
bool RequirePassword(const std::string& password, const std::string& name);

}  // namespace tessel::runtime
