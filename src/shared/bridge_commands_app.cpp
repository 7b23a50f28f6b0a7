// app.* (50001-50004) and window.* (60001-60006). None of them answers with a
// failure; close and the full-screen switches never answer at all.
#include <nlohmann/json.hpp>

#include "shared/bridge_commands.h"
#include "shared/browser_external_module.h"
#include "shared/settings.h"
#include "shared/str_utils.h"

namespace tessel::shared {
namespace {

constexpr int kDefaultWindowBorder = 2;  // sizeable
constexpr int kBorderNone = 0;

std::string Json(std::string_view text) { return TStrUtils::StringToJsonString(text); }

}  // namespace

void TBrowserExternalModule::HandleAppClose(const std::string& /*uuid*/) {
  // The page's promise stays pending while the application shuts down.
  if (FOnAppCloseRequest) FOnAppCloseRequest(this);
}

void TBrowserExternalModule::HandleAppInFullscreen(const std::string& uuid) {
  ReplySuccess(uuid, FInFullscreen ? "true" : "false");
}

void TBrowserExternalModule::HandleAppEnterFullscreen(const std::string& /*uuid*/) {
  if (!IsRuntime()) return ShowRuntimeOnlyMessage("enterFullscreen");
  if (FInFullscreen) return;
  FInFullscreen = true;
  if (FMainForm == nullptr) return;
  FMainForm->SetBorderStyle(kBorderNone);
  FMainForm->SetWindowState(TWindowState::Maximized);
}

void TBrowserExternalModule::HandleAppExitFullscreen(const std::string& /*uuid*/) {
  if (!IsRuntime()) return ShowRuntimeOnlyMessage("exitFullscreen");
  if (!FInFullscreen) return;
  FInFullscreen = false;
  if (FMainForm == nullptr) return;
  // Always back to normal with the configured border, read now: the state
  // and border from before full screen are not remembered.
  FMainForm->SetWindowState(TWindowState::Normal);
  FMainForm->SetBorderStyle(
      FProjectINI != nullptr ? FProjectINI->ReadInteger("App", "WindowBorder", kDefaultWindowBorder)
                             : kDefaultWindowBorder);
}

void TBrowserExternalModule::HandleWindowGetStyle(const std::string& uuid) {
  const bool on_top = FMainForm != nullptr && FMainForm->StayOnTop();
  ReplySuccess(uuid, Json(on_top ? "ontop" : "normal"));
}

void TBrowserExternalModule::HandleWindowSetStyle(const std::string& uuid,
                                                  const nlohmann::json& data) {
  const bool on_top = ArgString(data, "style", "normal") == "ontop";
  if (FMainForm != nullptr) FMainForm->SetStayOnTop(on_top);
  ReplySuccess(uuid, "true");
}

void TBrowserExternalModule::HandleWindowGetState(const std::string& uuid) {
  const TWindowState state = FMainForm != nullptr ? FMainForm->WindowState() : TWindowState::Normal;
  switch (state) {
    case TWindowState::Minimized:
      return ReplySuccess(uuid, Json("minimized"));
    case TWindowState::Maximized:
      return ReplySuccess(uuid, Json("maximized"));
    case TWindowState::Normal:
      break;
  }
  ReplySuccess(uuid, Json("normal"));
}

void TBrowserExternalModule::HandleWindowSetState(const std::string& uuid,
                                                  const nlohmann::json& data) {
  // Exact words only; anything else leaves the window as it is.
  const std::string state = ArgString(data, "state", "normal");
  if (FMainForm != nullptr) {
    if (state == "normal") FMainForm->SetWindowState(TWindowState::Normal);
    if (state == "minimized") FMainForm->SetWindowState(TWindowState::Minimized);
    if (state == "maximized") FMainForm->SetWindowState(TWindowState::Maximized);
  }
  ReplySuccess(uuid, "true");
}

void TBrowserExternalModule::HandleWindowGetTitle(const std::string& uuid) {
  ReplySuccess(uuid, Json(FMainForm != nullptr ? FMainForm->Caption() : std::string()));
}

void TBrowserExternalModule::HandleWindowSetTitle(const std::string& uuid,
                                                  const nlohmann::json& data) {
  const std::string title = ArgString(data, "title", "");
  if (FMainForm != nullptr) FMainForm->SetCaption(title);
  ReplySuccess(uuid, "true");
}

}  // namespace tessel::shared
