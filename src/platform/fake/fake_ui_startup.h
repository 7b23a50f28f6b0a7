// A deterministic start-up UI for unit tests: the password prompt is typed
// from a script, splashes and elevated runs are recorded. Obeys the contract
// of platform::StartupUi.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui_startup.h"

namespace tessel::platform {

class FakeStartupUi;

// A splash as the user saw it; it stays in the fake's list after the object
// is gone.
struct FakeSplashRecord {
  InstallerSplashLook look;
  bool shown = false;
  bool destroyed = false;
};

struct PasswordPromptRecord {
  std::string caption;
  std::vector<std::string> texts_seen;  // handed to key_up, in order
  bool accepted = false;
};

struct RunAsAdminCall {
  std::string file;
  std::string params;
  bool splash_visible = false;  // whether a splash was on screen meanwhile
};

class FakeStartupUi : public StartupUi {
 public:
  bool display_available = true;

  // The edit box's text after each key release, in order; once they are used
  // up without acceptance the user closes the prompt with the close box.
  std::vector<std::string> password_texts;
  std::vector<PasswordPromptRecord> prompts;

  std::vector<FakeSplashRecord> splashes;

  // Answers of SystemColor by index; others have no colour of their own.
  std::map<int, RgbColor> system_colors;

  // What the elevated program does (the default: nothing) and its exit code.
  std::function<std::uint32_t(const std::string& file, const std::string& params)> run_as_admin;
  std::vector<RunAsAdminCall> run_as_admin_calls;

  bool RunPasswordPrompt(const std::string& caption, const PasswordKeyUp& key_up) override;
  std::unique_ptr<InstallerSplash> CreateInstallerSplash(const InstallerSplashLook& look) override;
  std::optional<RgbColor> SystemColor(int index) override;
  std::uint32_t RunAsAdminAndWait(const std::string& file, const std::string& params) override;

  // Whether some splash is shown and not destroyed.
  bool AnySplashVisible() const;
};

// Installs a start-up UI for the lifetime of a scope.
class ScopedStartupUi {
 public:
  explicit ScopedStartupUi(StartupUi& ui) { SetCurrentStartupUi(&ui); }
  ~ScopedStartupUi() { SetCurrentStartupUi(nullptr); }
  ScopedStartupUi(const ScopedStartupUi&) = delete;
  ScopedStartupUi& operator=(const ScopedStartupUi&) = delete;
};

}  // namespace tessel::platform
