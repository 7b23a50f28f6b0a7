// Any bytes as a message posted to the bridge, in both forms an engine hands
// over (the JSON text of a posted value, and a posted string), from the
// application's own document or a foreign one. Nothing may escape the
// dispatcher, and every message gets at most one reply, which is valid JSON
// of the fixed shape and carries the message's own uuid.
//
// Nothing real happens: the OS seam is a fake (no program starts, no folder
// is removed, no window is listed), there is no archive (nothing is
// extracted), the dialogs are cancelled, and every path resolves inside a
// private temporary folder. Inputs that name a parent folder ("..") anywhere
// are skipped, so the file commands cannot reach outside it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/engine_basics.h"
#include "platform/fake/fake_engine.h"
#include "platform/fake/fake_os.h"
#include "platform/fake/fake_ui.h"
#include "platform/fake/fake_ui_dispatch.h"
#include "shared/browser_external_module.h"
#include "shared/settings.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tessel::shared::TBrowserExternalModule;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Every path is relative, so each one lands in the temporary folder.
class ContainedOs : public tessel::platform::FakeOs {
 public:
  bool IsAbsolutePath(std::string_view) const override { return false; }
};

constexpr const char* kAppSource = "file:///index.html";

class Browser : public tessel::shared::IBridgeBrowser {
 public:
  explicit Browser(std::string app_dir) : app_dir_(std::move(app_dir)) {}
  std::vector<std::string> posted;
  bool PostWebMessageAsJson(std::uint64_t /*document*/, const std::string& text) override {
    posted.push_back(text);
    return true;
  }
  std::string AppDirPath() const override { return app_dir_; }
  void FocusWebView() override {}
  bool IsAppDocument(const std::string& source, std::uint64_t document) const override {
    return source == kAppSource && document == 1;
  }

 private:
  std::string app_dir_;
};

class Window : public tessel::shared::IAppWindow {
 public:
  void SetBorderStyle(int) override {}
  tessel::shared::TWindowState WindowState() const override { return state_; }
  void SetWindowState(tessel::shared::TWindowState state) override { state_ = state; }
  bool StayOnTop() const override { return on_top_; }
  void SetStayOnTop(bool value) override { on_top_ = value; }
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& value) override { caption_ = value; }

 private:
  tessel::shared::TWindowState state_ = tessel::shared::TWindowState::Normal;
  bool on_top_ = false;
  std::string caption_ = "App";
};

// A private folder (mkdtemp: nobody can have planted links in it), removed
// at exit. Kept alive past every static destructor.
const fs::path& Sandbox() {
  static const fs::path* const path = [] {
    std::string pattern = (fs::temp_directory_path() / "fuzz_bridge_XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr);
    auto* made = new fs::path(pattern);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Sandbox(), ec);
    });
    return made;
  }();
  return *path;
}

bool NamesParentFolder(const json& value) {
  if (value.is_string()) return value.get_ref<const std::string&>().find("..") != std::string::npos;
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (key.find("..") != std::string::npos || NamesParentFolder(member)) return true;
    }
  }
  if (value.is_array()) {
    for (const json& item : value) {
      if (NamesParentFolder(item)) return true;
    }
  }
  return false;
}

// The uuid text the dispatcher reads from `message`, if it can.
bool ExpectedUuid(const json& message, std::string* uuid) {
  if (!message.is_object()) return false;
  const auto it = message.find("uuid");
  if (it == message.end()) return false;
  if (it->is_string())
    *uuid = it->get<std::string>();
  else if (it->is_null())
    uuid->clear();
  else if (it->is_boolean() || it->is_number())
    *uuid = it->dump();
  else
    return false;
  return true;
}

void CheckReply(const std::string& reply, const json& message) {
  const json parsed = json::parse(reply, nullptr, /*allow_exceptions=*/false);
  Check(parsed.is_object() && parsed.size() == 3);
  Check(parsed.contains("uuid") && parsed["uuid"].is_string());
  Check(parsed.contains("success") && parsed["success"].is_boolean());
  Check(parsed.contains("result"));
  Check(reply.rfind("{\"uuid\": ", 0) == 0);
  std::string uuid;
  Check(ExpectedUuid(message, &uuid));
  Check(parsed["uuid"].get<std::string>() == uuid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: bit 0 picks the form, bit 1 a foreign document.
  const unsigned mode = data[0];
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool as_string = (mode & 1) != 0;
  const std::string posted = as_string ? tessel::platform::EncodeJsonString(bytes) : bytes;
  const json message = json::parse(posted, nullptr, /*allow_exceptions=*/false);
  if (NamesParentFolder(message)) return 0;

  const fs::path& sandbox = Sandbox();
  ContainedOs os;
  os.executable_path = (sandbox / "app").string();
  os.temp_path = sandbox.string() + "/";
  tessel::platform::ScopedOs scoped_os(os);
  tessel::platform::FakeUi ui;
  tessel::platform::ScopedUi scoped_ui(ui);
  tessel::platform::FakeUiDispatcher dispatcher;
  tessel::platform::ScopedUiDispatcher scoped_dispatcher(dispatcher);

  Browser browser(sandbox.string() + "/");
  Window window;
  tessel::shared::TSettings settings;
  bool escaped = false;
  {
    TBrowserExternalModule module;
    module.SetBrowserForm(&browser);
    module.SetMainForm(&window);
    module.SetProjectINI(&settings);
    tessel::platform::FakeWebMessageReceivedEventArgs args;
    args.source = (mode & 2) != 0 ? "https://example.com/" : kAppSource;
    args.document_id = (mode & 4) != 0 ? 2 : 1;
    args.json = posted;
    try {
      module.WebMessageReceived(args);
    } catch (...) {
      escaped = true;
    }
    // A console command answers from its worker through the UI queue.
    dispatcher.RunUntil([] { return TBrowserExternalModule::RunningCommands() == 0; },
                        std::chrono::seconds(10));
    dispatcher.Drain();
  }
  Check(!escaped);
  Check(browser.posted.size() <= 1);
  if ((mode & 2) != 0) Check(browser.posted.empty());
  for (const std::string& reply : browser.posted) CheckReply(reply, message);

  std::error_code ec;
  if (!fs::is_empty(sandbox, ec)) {
    for (const auto& entry : fs::directory_iterator(sandbox, ec)) fs::remove_all(entry.path(), ec);
  }
  return 0;
}
