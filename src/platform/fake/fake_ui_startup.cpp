#include "platform/fake/fake_ui_startup.h"

namespace tessel::platform {
namespace {

class FakeSplash : public InstallerSplash {
 public:
  FakeSplash(std::vector<FakeSplashRecord>& records, std::size_t index)
      : records_(records), index_(index) {}
  ~FakeSplash() override { records_[index_].destroyed = true; }
  void Show() override { records_[index_].shown = true; }
  bool Visible() const override { return records_[index_].shown; }

 private:
  std::vector<FakeSplashRecord>& records_;
  std::size_t index_;
};

}  // namespace

bool FakeStartupUi::RunPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) {
  PasswordPromptRecord& record = prompts.emplace_back();
  record.caption = caption;
  if (!display_available) return false;
  for (const std::string& text : password_texts) {
    record.texts_seen.push_back(text);
    if (key_up(text)) {
      record.accepted = true;
      return true;
    }
  }
  return false;
}

std::unique_ptr<InstallerSplash> FakeStartupUi::CreateInstallerSplash(
    const InstallerSplashLook& look) {
  splashes.push_back({look, false, false});
  return std::make_unique<FakeSplash>(splashes, splashes.size() - 1);
}

std::optional<RgbColor> FakeStartupUi::SystemColor(int index) {
  const auto it = system_colors.find(index);
  if (it == system_colors.end()) return std::nullopt;
  return it->second;
}

std::uint32_t FakeStartupUi::RunAsAdminAndWait(const std::string& file, const std::string& params) {
  run_as_admin_calls.push_back({file, params, AnySplashVisible()});
  return run_as_admin ? run_as_admin(file, params) : 0;
}

bool FakeStartupUi::AnySplashVisible() const {
  for (const FakeSplashRecord& s : splashes) {
    if (s.shown && !s.destroyed) return true;
  }
  return false;
}

}  // namespace tessel::platform
