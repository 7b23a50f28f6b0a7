// The busy indicator's drawing, once for every toolkit: a frame is a list of
// simple shapes that GTK draws with cairo and Win32 with GDI.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ui_startup.h"

namespace tessel::platform {

// A disc (inner_radius 0, sweep a full turn) or a ring sector. Angles in
// radians, clockwise from twelve o'clock (screen coordinates, y down).
// `opacity` in [0, 1] over the background.
struct IndicatorShape {
  double center_x = 0;
  double center_y = 0;
  double outer_radius = 0;
  double inner_radius = 0;
  double start_angle = 0;
  double sweep = 0;
  double opacity = 1;
  bool IsDisc() const;
};

// The indicator's side in pixels (the extra-large size) and its place in the
// splash's client area.
inline constexpr int kBusyIndicatorSize = 64;
inline constexpr int kBusyIndicatorLeft = 9;
inline constexpr int kBusyIndicatorTop = 8;
inline constexpr int kInstallerSplashSize = 80;
// How often the toolkits redraw it.
inline constexpr int kBusyIndicatorFrameMs = 33;

// The shapes of `kind` at `elapsed_ms` since the animation started, in an
// indicator of `size` pixels whose top-left corner is (0, 0). Every shape
// lies inside the square; the sequence repeats.
std::vector<IndicatorShape> BusyIndicatorFrame(BusyIndicatorKind kind, double size,
                                               std::uint64_t elapsed_ms);

RgbColor IndicatorRgb(BusyIndicatorColor color);

// `over` laid over `under` with `opacity` (for toolkits without alpha).
RgbColor BlendColors(RgbColor over, RgbColor under, double opacity);

// The points of a shape's outline, for toolkits that fill polygons: a
// sector's outer arc then its inner arc backwards (the centre for a pie).
struct PointD {
  double x = 0;
  double y = 0;
};
std::vector<PointD> ShapeOutline(const IndicatorShape& shape, int arc_steps);

}  // namespace tessel::platform
