#include "runtime/edge_installer_form.h"

#include "shared/settings.h"

namespace tessel::runtime {

TEdgeInstallerForm::TEdgeInstallerForm() = default;
TEdgeInstallerForm::~TEdgeInstallerForm() = default;

platform::RgbColor ResolveFormColor(std::int32_t color) {
  const shared::TSettingsColor c = shared::TSettingsColor::FromInteger(color);
  if (c.is_system) return platform::ResolveSystemColor(c.system_index);
  return {c.red, c.green, c.blue};
}

platform::InstallerSplashLook TEdgeInstallerForm::Look() const {
  platform::InstallerSplashLook look;
  look.caption = Caption;
  look.color = ResolveFormColor(Color);
  // Values the indicator does not know keep its defaults rather than
  // drawing nothing.
  look.indicator_color = ActivityIndicator.IndicatorColor == 0
                             ? platform::BusyIndicatorColor::Black
                             : platform::BusyIndicatorColor::White;
  switch (ActivityIndicator.IndicatorType) {
    case 1:
      look.indicator_kind = platform::BusyIndicatorKind::RotatingSector;
      break;
    case 2:
      look.indicator_kind = platform::BusyIndicatorKind::SectorRing;
      break;
    default:
      look.indicator_kind = platform::BusyIndicatorKind::MomentumDots;
      break;
  }
  return look;
}

void TEdgeInstallerForm::Show() {
  if (!FSplash) FSplash = platform::CurrentStartupUi().CreateInstallerSplash(Look());
  FSplash->Show();
}

bool TEdgeInstallerForm::Visible() const { return FSplash && FSplash->Visible(); }

}  // namespace tessel::runtime
