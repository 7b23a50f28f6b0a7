// Shows one real dialog or window through the UI seam and prints how it was
// answered, for dialog_e2e.sh to drive under Xvfb.
//   dialog_probe confirm             the install question (message 7)
//   dialog_probe fatal INDEX         ShowFatalMessage(INDEX)
//   dialog_probe errorbox TEXT TITLE the system error box
//   dialog_probe window CAPTION      the plain main window
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ui.h"
#include "runtime/localized_messages.h"
#include "runtime/process_exit.h"

namespace {

using tessel::platform::DialogButton;
using tessel::platform::DialogType;
using tessel::runtime::GetLocalizedMessage;

int Run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "confirm") {
    // Passed out of order on purpose: the dialog lays them out itself.
    const int result = tessel::runtime::LocalizedMessageDlg(
        GetLocalizedMessage(7), DialogType::Confirmation, {DialogButton::Cancel, DialogButton::Yes},
        {GetLocalizedMessage(3), GetLocalizedMessage(4)}, GetLocalizedMessage(2));
    std::printf("result %d\n", result);
    return 0;
  }
  if (mode == "fatal" && argc > 2) {
    try {
      tessel::runtime::ShowFatalMessage(std::atoi(argv[2]));
    } catch (const tessel::runtime::EProcessExit& e) {
      std::printf("exit %d\n", e.exit_code);
      return e.exit_code;
    }
  }
  if (mode == "errorbox" && argc > 3) {
    tessel::platform::CurrentUi().ErrorBox(argv[2], argv[3]);
    std::printf("dismissed\n");
    return 0;
  }
  if (mode == "window" && argc > 2) {
    tessel::platform::CurrentUi().RunPlainMainWindow(argv[2]);
    std::printf("closed\n");
    return 0;
  }
  std::fprintf(
      stderr, "usage: dialog_probe confirm | fatal INDEX | errorbox TEXT TITLE | window CAPTION\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  const int code = Run(argc, argv);
  std::fflush(stdout);
  return code;
}
