// A bridge module wired to doubles: the fake OS, UI and UI queue, a browser
// that records replies, a main window and file dialogs that record what is
// done to them. Messages are sent as a page at a "file:" address posts them.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "platform/fake/fake_ui_dispatch.h"
#include "shared/browser_external_module.h"
#include "shared/settings.h"
#include "shared/str_utils.h"

namespace tessel::test {

using shared::IAppWindow;
using shared::IBridgeBrowser;
using shared::IFileDialogs;
using shared::TFileDialogRequest;
using shared::TWindowState;

inline constexpr const char* kAppDocument = "file:///index.html";
// The engine's id of that document.
inline constexpr std::uint64_t kAppDocumentId = 1;

// The fake OS with system error texts the test chooses, and a console start
// the test can take over.
class BridgeOs : public platform::FakeOs {
 public:
  std::map<int, std::string> error_texts;
  std::function<std::unique_ptr<platform::ConsoleProcess>()> start_console;
  std::function<void()> end_console_commands;

  std::string ErrorText(int code) const override {
    const auto it = error_texts.find(code);
    return it != error_texts.end() ? it->second : FakeOs::ErrorText(code);
  }
  using FakeOs::StartConsole;
  std::unique_ptr<platform::ConsoleProcess> StartConsole(
      const std::vector<std::string>& argv, const std::string& working_dir, bool show_window,
      platform::ConsoleStartError* error) override {
    if (!start_console) return FakeOs::StartConsole(argv, working_dir, show_window, error);
    console_starts.push_back({argv, working_dir, show_window});
    return start_console();
  }
  void EndConsoleCommands() override {
    if (end_console_commands) end_console_commands();
  }
};

class RecordingBrowser : public IBridgeBrowser {
 public:
  std::vector<std::string> posted;
  std::string app_dir_path = "/opt/app/";
  int focus_requests = 0;

  // The shown top-level document; replies to any other are dropped.
  std::uint64_t shown_document = kAppDocumentId;
  bool PostWebMessageAsJson(std::uint64_t document, const std::string& json) override {
    if (document != shown_document) return false;
    posted.push_back(json);
    return true;
  }
  std::string AppDirPath() const override { return app_dir_path; }
  void FocusWebView() override { ++focus_requests; }
  // The shown document is the app's own, so its "file:" messages count.
  bool app_document_shown = true;
  bool IsAppDocument(const std::string& source, std::uint64_t document) const override {
    return app_document_shown && document == shown_document &&
           shared::TBrowserExternalModule::IsFileAddress(source);
  }
};

// Records every change in `calls`, in order ("border 0", "state maximized",
// "ontop true", "caption x").
class FakeAppWindow : public IAppWindow {
 public:
  int border_style = 2;
  TWindowState state = TWindowState::Normal;
  bool stay_on_top = false;
  std::string caption = "App";
  std::vector<std::string> calls;

  void SetBorderStyle(int value) override {
    border_style = value;
    calls.push_back("border " + std::to_string(value));
  }
  TWindowState WindowState() const override { return state; }
  void SetWindowState(TWindowState value) override {
    state = value;
    static const char* const kNames[] = {"normal", "minimized", "maximized"};
    calls.push_back(std::string("state ") + kNames[static_cast<int>(value)]);
  }
  bool StayOnTop() const override { return stay_on_top; }
  void SetStayOnTop(bool value) override {
    stay_on_top = value;
    calls.push_back(std::string("ontop ") + (value ? "true" : "false"));
  }
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& value) override {
    caption = value;
    calls.push_back("caption " + value);
  }
};

// Answers each showing from `answers` (front first; none left: cancelled).
// An answer may switch the type index, and may run something while the
// dialog is "open", as the toolkit's modal loop would.
class FakeFileDialogs : public IFileDialogs {
 public:
  struct Answer {
    std::optional<std::string> path;
    std::optional<std::size_t> choose_type;  // the user switches to this type
    std::function<void()> while_open;
  };
  struct Shown {
    bool save = false;
    TFileDialogRequest request;  // as the dialog received it
  };
  std::deque<Answer> answers;
  std::vector<Shown> shown;

  std::optional<std::string> OpenFile(TFileDialogRequest& request) override {
    return Show(false, request);
  }
  std::optional<std::string> SaveFile(TFileDialogRequest& request) override {
    return Show(true, request);
  }

 private:
  std::optional<std::string> Show(bool save, TFileDialogRequest& request) {
    shown.push_back({save, request});
    if (answers.empty()) return std::nullopt;
    Answer answer = std::move(answers.front());
    answers.pop_front();
    if (answer.while_open) answer.while_open();
    if (answer.choose_type) request.file_type_index = *answer.choose_type;
    return answer.path;
  }
};

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() {
    os_.executable_path = "/opt/app/tessel-demo";
    module_.SetBrowserForm(&browser_);
    module_.SetMainForm(&window_);
    module_.SetProjectINI(&settings_);
    module_.SetOnDispatchError([this](const std::string& message) { errors_.push_back(message); });
  }

  // Posts `json` as the page at `source` would; returns what was replied to
  // this message (nothing, or one reply).
  std::vector<std::string> Send(const std::string& json, const std::string& source = kAppDocument) {
    const std::size_t before = browser_.posted.size();
    platform::FakeWebMessageReceivedEventArgs args;
    args.source = source;
    args.document_id = kAppDocumentId;
    args.json = json;
    module_.WebMessageReceived(args);
    return {browser_.posted.begin() + static_cast<std::ptrdiff_t>(before), browser_.posted.end()};
  }

  // Calls function `id` with uuid "u1" and `data` (JSON text); the reply, or
  // "" when none came. Fails the test on more than one reply.
  std::string Call(int id, const std::string& data = "{}") {
    const auto replies =
        Send(R"({"id":)" + std::to_string(id) + R"(,"uuid":"u1","data":)" + data + "}");
    EXPECT_LE(replies.size(), 1u) << "function " << id;
    return replies.empty() ? std::string() : replies.front();
  }

  static std::string Success(const std::string& result) {
    return R"({"uuid": "u1", "success": true, "result": )" + result + "}";
  }
  static std::string Failure(const std::string& result) {
    return R"({"uuid": "u1", "success": false, "result": )" + result + "}";
  }
  // The JSON string literal the module writes for `text`.
  static std::string Str(const std::string& text) {
    return shared::TStrUtils::StringToJsonString(text);
  }

  BridgeOs os_;
  platform::ScopedOs scoped_os_{os_};
  platform::FakeUi ui_;
  platform::ScopedUi scoped_ui_{ui_};
  platform::FakeUiDispatcher dispatcher_;
  platform::ScopedUiDispatcher scoped_dispatcher_{dispatcher_};
  RecordingBrowser browser_;
  FakeAppWindow window_;
  shared::TSettings settings_;
  std::vector<std::string> errors_;
  shared::TBrowserExternalModule module_;
};

}  // namespace tessel::test
