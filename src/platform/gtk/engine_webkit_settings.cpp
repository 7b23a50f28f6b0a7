// The engine settings: those WebKit keeps are read and written in its own
// settings object; the rest are stored in the view and applied where they
// matter.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <utility>

#include "platform/engine.h"
#include "platform/gtk/engine_webkit_core.h"

namespace tessel::platform::webkit {
namespace {

class Settings : public EngineSettings {
 public:
  explicit Settings(std::shared_ptr<ViewCore> core) : core_(std::move(core)) {}

  HRESULT get_IsScriptEnabled(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_settings_get_enable_javascript_markup(WebKitSettingsOf()) != FALSE);
  }
  HRESULT put_IsScriptEnabled(bool v) override {
    if (core_->closed()) return kEInvalidState;
    webkit_settings_set_enable_javascript_markup(WebKitSettingsOf(), v ? TRUE : FALSE);
    return kSOk;
  }
  HRESULT get_AreDevToolsEnabled(bool* v) override {
    if (core_->closed()) return kEInvalidState;
    return Out(v, webkit_settings_get_enable_developer_extras(WebKitSettingsOf()) != FALSE);
  }
  HRESULT put_AreDevToolsEnabled(bool v) override {
    if (core_->closed()) return kEInvalidState;
    webkit_settings_set_enable_developer_extras(WebKitSettingsOf(), v ? TRUE : FALSE);
    return kSOk;
  }
#define TESSEL_STORED_SETTING(Name, field)      \
  HRESULT get_##Name(bool* v) override {        \
    if (core_->closed()) return kEInvalidState; \
    return Out(v, core_->field);                \
  }                                             \
  HRESULT put_##Name(bool v) override {         \
    if (core_->closed()) return kEInvalidState; \
    core_->field = v;                           \
    return kSOk;                                \
  }
  TESSEL_STORED_SETTING(IsWebMessageEnabled, web_message_enabled)
  TESSEL_STORED_SETTING(AreDefaultScriptDialogsEnabled, default_script_dialogs_enabled)
  TESSEL_STORED_SETTING(IsStatusBarEnabled, status_bar_enabled)
  TESSEL_STORED_SETTING(AreDefaultContextMenusEnabled, default_context_menus_enabled)
  TESSEL_STORED_SETTING(IsZoomControlEnabled, zoom_control_enabled)
  TESSEL_STORED_SETTING(IsBuiltInErrorPageEnabled, built_in_error_page_enabled)
#undef TESSEL_STORED_SETTING

 private:
  WebKitSettings* WebKitSettingsOf() const { return webkit_web_view_get_settings(core_->view()); }
  std::shared_ptr<ViewCore> core_;
};

}  // namespace

WebKitSettings* NewWebKitSettings() {
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_enable_developer_extras(settings, TRUE);
  // window.open reaches NewWindowRequested, where the host decides, as with
  // WebView2 (WebKit would otherwise block it without a user gesture).
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  // The private scheme is local; without this every one of its documents
  // would be an origin of its own path, and the app's pages could not fetch
  // their own files.
  webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
  return settings;
}

std::shared_ptr<EngineSettings> MakeSettings(std::shared_ptr<ViewCore> core) {
  return std::make_shared<Settings>(std::move(core));
}

}  // namespace tessel::platform::webkit
