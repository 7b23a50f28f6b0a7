// shell.* (70001-70004).
#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/ui_dispatch.h"
#include "shared/bridge_commands.h"
#include "shared/browser_external_module.h"
#include "shared/str_utils.h"
#include "shared/sys_utils.h"

namespace tessel::shared {
namespace {

std::string Json(std::string_view text) { return TStrUtils::StringToJsonString(text); }

std::atomic<std::size_t> g_running_commands{0};

// Length of the white space, control character or full stop that ends
// `text` (in UTF-8 bytes), 0 when it ends otherwise.
std::size_t TrailingJunkLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t from_end) {
    return static_cast<unsigned char>(text[text.size() - from_end]);
  };
  const unsigned char last = byte(1);
  if (last <= 0x20 || last == 0x7F || last == '.') return 1;
  // U+0080..U+00A0: C1 controls and the no-break space.
  if (text.size() >= 2 && byte(2) == 0xC2 && last >= 0x80 && last <= 0xA0) return 2;
  if (text.size() >= 3) {
    const unsigned char lead = byte(3), mid = byte(2);
    // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
    if (lead == 0xE2 && mid == 0x80 &&
        (last <= 0x8A || last == 0xA8 || last == 0xA9 || last == 0xAF)) {
      return 3;
    }
    if (lead == 0xE2 && mid == 0x81 && last == 0x9F) return 3;
    if (lead == 0xE3 && mid == 0x80 && last == 0x80) return 3;
  }
  return 0;
}

}  // namespace

std::string SystemErrorMessage(int code) {
  std::string text = platform::CurrentOs().ErrorText(code);
  while (const std::size_t n = TrailingJunkLength(text)) text.resize(text.size() - n);
  return text;
}

TConsoleResult RunConsoleCommand(const std::string& command, const std::string& working_dir,
                                 bool show_window) {
  platform::Os& os = platform::CurrentOs();
  const std::vector<std::string> argv = os.Family() == platform::OsFamily::Windows
                                            ? std::vector<std::string>{"cmd.exe", "/C", command}
                                            : std::vector<std::string>{"/bin/sh", "-c", command};
  TConsoleResult result;
  platform::ConsoleStartError error;
  const std::unique_ptr<platform::ConsoleProcess> child =
      os.StartConsole(argv, working_dir, show_window, &error);
  if (!child) {
    const std::string reason = SystemErrorMessage(error.code);
    result.error = error.step == platform::ConsoleStartStep::WorkingDir
                       ? "cannot enter the folder '" + working_dir + "': " + reason
                       : "cannot start '" + argv.front() + "': " + reason;
    return result;
  }
  result.started = true;
  // Decoded once at the end: a legacy code page's character may straddle
  // two reads, and its halves decoded apart would be two wrong characters.
  std::string bytes;
  char buf[4096];
  for (;;) {
    const int n = child->Read(buf, static_cast<int>(sizeof buf));
    if (n <= 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  child->Wait();
  result.output = os.AnsiToUtf8(bytes);
  return result;
}

std::string JsonStringArray(const std::vector<std::string>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ',';
    text += TStrUtils::StringToJsonString(items[i]);
  }
  text += ']';
  return text;
}

void TBrowserExternalModule::HandleShellExecute(const std::string& uuid,
                                                const nlohmann::json& data) {
  // The path goes to the shell as given: no slash conversion, no resolution
  // against the application folder.
  const std::string file_path = ArgString(data, "filePath", "");
  if (file_path.empty()) return ReplyFailure(uuid, Json("Missing filePath"));
  const std::string arguments = ArgString(data, "arguments", "");
  if (TSysUtils::ShellExec(file_path, arguments)) return ReplySuccess(uuid, "true");
  ReplyFailure(uuid, Json(SystemErrorMessage(platform::CurrentOs().LastErrorCode())));
}

void TBrowserExternalModule::HandleShellExplore(const std::string& uuid,
                                                const nlohmann::json& data) {
  const std::string file_path = ArgString(data, "filePath", "");
  if (file_path.empty()) return ReplyFailure(uuid, Json("Missing filePath"));
  if (TSysUtils::ShellExplore(file_path)) return ReplySuccess(uuid, "true");
  ReplyFailure(uuid, Json(SystemErrorMessage(platform::CurrentOs().LastErrorCode())));
}

void TBrowserExternalModule::HandleShellCommand(const std::string& uuid,
                                                const nlohmann::json& data) {
  const std::string command = ArgString(data, "command", "");
  if (command.empty()) return ReplyFailure(uuid, Json("Missing command"));
  const std::string working_dir = ArgString(data, "workingDir", "");
  // JSON true reads as "true" too; "True" and "TRUE" hide the window.
  const bool show_window = ArgString(data, "showWindow", "false") == "true";

  // The command runs on a worker of its own, so the window keeps painting and
  // other calls are answered meanwhile; the reply is posted on the UI thread
  // once the command has ended, with all of its output. The module may be
  // gone by then (the application closed): the reply is dropped.
  const std::weak_ptr<int> alive = FAlive;
  auto finished = std::make_shared<std::atomic<bool>>(false);
  // The reply goes to the document that asked, if it is still shown then.
  const std::uint64_t document = RequestDocument();
  auto run = [this, alive, finished, document, uuid, command, working_dir, show_window] {
    TConsoleResult outcome;
    try {
      outcome = RunConsoleCommand(command, working_dir, show_window);
    } catch (const std::exception& error) {
      outcome = {false, {}, std::string("the command failed: ") + error.what()};
    } catch (...) {
      outcome = {false, {}, "the command failed"};
    }
    // Only the reply's text is kept: a large output is held once at a time.
    const bool success = outcome.started;
    std::string result = Json(success ? outcome.output : outcome.error);
    outcome = {};
    // A module that is going takes no more replies: nothing is handed to the
    // UI thread for it, which may be ending too.
    if (!alive.expired()) {
      platform::RunOnUiThread([this, alive, document, uuid, success, result = std::move(result)] {
        if (!alive.expired()) PostBridgeReply(document, uuid, result, success);
      });
    }
    finished->store(true);
    --g_running_commands;
  };
  ReapCommandWorkers();
  FCommandWorkers.reserve(FCommandWorkers.size() + 1);  // no throw once the thread runs
  ++g_running_commands;
  try {
    FCommandWorkers.push_back({std::thread(run), finished});
  } catch (const std::system_error&) {
    run();  // no thread to be had: run it here, as a blocking call
  }
}

void TBrowserExternalModule::ReapCommandWorkers() {
  std::erase_if(FCommandWorkers, [](TCommandWorker& worker) {
    if (!worker.finished->load()) return false;
    worker.thread.join();  // it has posted its reply and is about to return
    return true;
  });
}

void TBrowserExternalModule::EndCommandWorkers() {
  if (FCommandWorkers.empty()) return;
  // The commands are ended first, so their workers read the end of the
  // output and return. One the system cannot end (a program stuck in the
  // kernel, or another holding the output pipe) holds the exit up only for a
  // while; its worker then posts nothing, since the module is gone.
  platform::CurrentOs().EndConsoleCommands();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (TCommandWorker& worker : FCommandWorkers) {
    while (!worker.finished->load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (worker.finished->load()) {
      worker.thread.join();
    } else {
      worker.thread.detach();
    }
  }
  FCommandWorkers.clear();
}

std::size_t TBrowserExternalModule::RunningCommands() { return g_running_commands.load(); }

void TBrowserExternalModule::HandleShellWindows(const std::string& uuid) {
  std::vector<std::string> captions;
  TSysUtils::GetWindowsCaptions(captions);
  ReplySuccess(uuid, JsonStringArray(captions));
}

}  // namespace tessel::shared
