// The installer splash: its look from the settings' integers, its colours,
// and the busy indicator's frames that both toolkits draw.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/busy_indicator.h"
#include "platform/fake/fake_ui_startup.h"
#include "runtime/edge_installer_form.h"

namespace tessel::runtime {
namespace {

using platform::BusyIndicatorColor;
using platform::BusyIndicatorKind;
using platform::RgbColor;

TEST(EdgeInstallerFormTest, MapsTheSettingsIntegersToALook) {
  platform::FakeStartupUi ui;
  platform::ScopedStartupUi scoped(ui);
  ui.system_colors[26] = {10, 20, 30};
  struct Case {
    std::int32_t color;
    int indicator_color;
    int indicator_type;
    RgbColor want_color;
    BusyIndicatorColor want_indicator;
    BusyIndicatorKind want_kind;
  };
  const Case cases[] = {
      // The defaults: the platform's hot-track colour, white dots.
      {kDefaultInstallFormColor,
       1,
       0,
       {10, 20, 30},
       BusyIndicatorColor::White,
       BusyIndicatorKind::MomentumDots},
      {0x00FF8000,
       0,
       1,
       {0x00, 0x80, 0xFF},
       BusyIndicatorColor::Black,
       BusyIndicatorKind::RotatingSector},
      {0x000000FF, 1, 2, {0xFF, 0, 0}, BusyIndicatorColor::White, BusyIndicatorKind::SectorRing},
      // A system colour the platform has none for: the classic value.
      {static_cast<std::int32_t>(0xFF00000F),
       1,
       0,
       {0xF0, 0xF0, 0xF0},
       BusyIndicatorColor::White,
       BusyIndicatorKind::MomentumDots},
      // No such system colour: black, as the system answers.
      {static_cast<std::int32_t>(0xFF0000C8),
       1,
       0,
       {0, 0, 0},
       BusyIndicatorColor::White,
       BusyIndicatorKind::MomentumDots},
      // Integers the indicator does not know keep its defaults.
      {0x00102030,
       7,
       -3,
       {0x30, 0x20, 0x10},
       BusyIndicatorColor::White,
       BusyIndicatorKind::MomentumDots},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.color);
    TEdgeInstallerForm form;
    form.Color = c.color;
    form.ActivityIndicator.IndicatorColor = c.indicator_color;
    form.ActivityIndicator.IndicatorType = c.indicator_type;
    const platform::InstallerSplashLook look = form.Look();
    EXPECT_EQ(look.color, c.want_color);
    EXPECT_EQ(look.indicator_color, c.want_indicator);
    EXPECT_EQ(look.indicator_kind, c.want_kind);
  }
}

TEST(EdgeInstallerFormTest, StartsWithTheDefaultsShowsOneWindowAndNeverAgreesToClose) {
  platform::FakeStartupUi ui;
  platform::ScopedStartupUi scoped(ui);
  {
    TEdgeInstallerForm form;
    EXPECT_EQ(form.Color, static_cast<std::int32_t>(0xFF00001A));
    EXPECT_EQ(form.ActivityIndicator.IndicatorColor, 1);
    EXPECT_EQ(form.ActivityIndicator.IndicatorType, 0);
    EXPECT_FALSE(form.Visible());
    form.Show();
    form.Show();
    EXPECT_TRUE(form.Visible());
    EXPECT_FALSE(form.FormCloseQuery());
    ASSERT_EQ(ui.splashes.size(), 1U);
    EXPECT_TRUE(ui.AnySplashVisible());
  }
  EXPECT_TRUE(ui.splashes[0].destroyed);
}

TEST(BusyIndicatorTest, EveryKindStaysInsideItsSquareAndChangesEveryTenthOfASecond) {
  constexpr double kSize = platform::kBusyIndicatorSize;
  for (const BusyIndicatorKind kind :
       {BusyIndicatorKind::MomentumDots, BusyIndicatorKind::RotatingSector,
        BusyIndicatorKind::SectorRing}) {
    SCOPED_TRACE(static_cast<int>(kind));
    std::vector<double> previous;
    for (std::uint64_t t = 0; t < 3000; t += 100) {
      const auto shapes = platform::BusyIndicatorFrame(kind, kSize, t);
      ASSERT_FALSE(shapes.empty());
      std::vector<double> frame;  // every point and opacity of the frame
      for (const platform::IndicatorShape& s : shapes) {
        EXPECT_GE(s.opacity, 0.0);
        EXPECT_LE(s.opacity, 1.0);
        frame.push_back(s.opacity);
        for (const platform::PointD& p : platform::ShapeOutline(s, 16)) {
          EXPECT_GE(p.x, 0.0);
          EXPECT_LE(p.x, kSize);
          EXPECT_GE(p.y, 0.0);
          EXPECT_LE(p.y, kSize);
          frame.push_back(p.x);
          frame.push_back(p.y);
        }
      }
      if (!previous.empty()) {
        bool changed = frame.size() != previous.size();
        for (std::size_t j = 0; !changed && j < frame.size(); ++j) {
          changed = std::abs(frame[j] - previous[j]) > 0.001;
        }
        EXPECT_TRUE(changed) << "at " << t << " ms";
      }
      previous = frame;
    }
  }
}

TEST(BusyIndicatorTest, TheRingsLitSegmentStepsRound) {
  auto lit = [](std::uint64_t t) {
    const auto shapes = platform::BusyIndicatorFrame(BusyIndicatorKind::SectorRing, 64, t);
    std::size_t best = 0;
    for (std::size_t i = 1; i < shapes.size(); ++i) {
      if (shapes[i].opacity > shapes[best].opacity) best = i;
    }
    return best;
  };
  EXPECT_NE(lit(0), lit(100));
  EXPECT_EQ(lit(0), lit(960));  // one full turn
}

TEST(BusyIndicatorTest, ColoursAndBlending) {
  EXPECT_EQ(platform::IndicatorRgb(BusyIndicatorColor::Black), (RgbColor{0, 0, 0}));
  EXPECT_EQ(platform::IndicatorRgb(BusyIndicatorColor::White), (RgbColor{255, 255, 255}));
  const RgbColor white{255, 255, 255};
  const RgbColor blue{0, 102, 204};
  EXPECT_EQ(platform::BlendColors(white, blue, 1.0), white);
  EXPECT_EQ(platform::BlendColors(white, blue, 0.0), blue);
  EXPECT_EQ(platform::BlendColors(white, blue, 0.5), (RgbColor{128, 179, 230}));
  EXPECT_EQ(platform::BlendColors(white, blue, 7.0), white);  // clamped
}

}  // namespace
}  // namespace tessel::runtime
