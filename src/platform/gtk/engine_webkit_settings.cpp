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

#define TESSEL_WEBKIT_SETTING(Name, field, initial) \
  HRESULT get_##Name(bool* v) override {            \
    if (core_->closed()) return kEInvalidState;     \
    return Out(v, Read(&EngineFlags::field));       \
  }                                                 \
  HRESULT put_##Name(bool v) override {             \
    if (core_->closed()) return kEInvalidState;     \
    Write(&EngineFlags::field, v);                  \
    return kSOk;                                    \
  }
  TESSEL_ENGINE_SETTINGS(TESSEL_WEBKIT_SETTING)
#undef TESSEL_WEBKIT_SETTING

 private:
  using Flag = bool EngineFlags::*;

  // Scripts and developer tools are WebKit's own settings; the others are
  // stored in the view and applied where they matter (or only read back).
  bool Read(Flag flag) const {
    if (flag == &EngineFlags::script_enabled) {
      return webkit_settings_get_enable_javascript_markup(WebKitSettingsOf()) != FALSE;
    }
    if (flag == &EngineFlags::dev_tools_enabled) {
      return webkit_settings_get_enable_developer_extras(WebKitSettingsOf()) != FALSE;
    }
    return core_->flags.*flag;
  }
  void Write(Flag flag, bool v) {
    if (flag == &EngineFlags::script_enabled) {
      webkit_settings_set_enable_javascript_markup(WebKitSettingsOf(), v ? TRUE : FALSE);
    } else if (flag == &EngineFlags::dev_tools_enabled) {
      webkit_settings_set_enable_developer_extras(WebKitSettingsOf(), v ? TRUE : FALSE);
    } else {
      core_->flags.*flag = v;
    }
  }

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
  // A page restored from the back-forward cache comes back without a load
  // the host could stop: going back from a foreign page would bring the
  // app's page, and its bridge, back past the navigation rule. Every
  // history step is a load of its own instead.
  webkit_settings_set_enable_page_cache(settings, FALSE);
  return settings;
}

std::shared_ptr<EngineSettings> MakeSettings(std::shared_ptr<ViewCore> core) {
  return std::make_shared<Settings>(std::move(core));
}

}  // namespace tessel::platform::webkit
