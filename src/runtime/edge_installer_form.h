// The splash shown while the web engine's installer runs: a small borderless
// window with an animated busy indicator, which the user cannot close.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui_startup.h"

namespace tessel::runtime {

// The default of `InstallFormColor`: system colour 26, the hot-track colour.
inline constexpr std::int32_t kDefaultInstallFormColor = static_cast<std::int32_t>(0xFF00001A);

// The busy indicator as the form holds it; the integers the settings give.
struct TActivityIndicator {
  // 0 black, 1 white; other values draw white.
  int IndicatorColor = 1;
  // 0 momentum dots, 1 rotating sector, 2 sector ring; other values draw dots.
  int IndicatorType = 0;
};

class TEdgeInstallerForm {
 public:
  // FormCreate: the hot-track colour, a white indicator of momentum dots.
  TEdgeInstallerForm();
  ~TEdgeInstallerForm();
  TEdgeInstallerForm(const TEdgeInstallerForm&) = delete;
  TEdgeInstallerForm& operator=(const TEdgeInstallerForm&) = delete;

  // A colour in the settings' integer form: top byte 0xFF names a system
  // colour by the index in the low byte, otherwise 0x00BBGGRR.
  std::int32_t Color = kDefaultInstallFormColor;
  TActivityIndicator ActivityIndicator;
  // What the desktop lists the window as; the form has no frame to show it.
  std::string Caption;

  // Shows the form without a modal loop, centred, animating; returns at once.
  // The window stays until the form is destroyed (in practice: until the
  // process ends).
  void Show();
  bool Visible() const;

  // The user may never close the form.
  bool FormCloseQuery() const { return false; }

  // What the native window is given: Color resolved (system colours through
  // platform::ResolveSystemColor) and the indicator's integers mapped.
  platform::InstallerSplashLook Look() const;

 private:
  std::unique_ptr<platform::InstallerSplash> FSplash;
};

// The colour of a settings colour integer (see TEdgeInstallerForm::Color).
platform::RgbColor ResolveFormColor(std::int32_t color);

}  // namespace tessel::runtime
