#include "platform/busy_indicator.h"

#include <algorithm>
#include <cmath>

namespace tessel::platform {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTurn = 2 * kPi;

// Slow at both ends, fast in the middle: the dots' momentum.
double EaseInOut(double t) { return t < 0.5 ? 4 * t * t * t : 1 - std::pow(-2 * t + 2, 3) / 2; }

double Phase(std::uint64_t elapsed_ms, std::uint64_t period_ms) {
  return static_cast<double>(elapsed_ms % period_ms) / static_cast<double>(period_ms);
}

// Five dots chase each other round a circle, each a little behind the one
// before, speeding up and slowing down as they go.
std::vector<IndicatorShape> MomentumDots(double size, std::uint64_t elapsed_ms) {
  constexpr int kDots = 5;
  constexpr std::uint64_t kPeriod = 1800;
  constexpr double kLag = 0.07;  // of a period, between neighbours
  const double c = size / 2;
  const double dot = size / 16;
  const double orbit = c - dot - 1;
  std::vector<IndicatorShape> shapes;
  for (int i = 0; i < kDots; ++i) {
    double t = Phase(elapsed_ms, kPeriod) - kLag * i;
    if (t < 0) t += 1;
    const double angle = kTurn * EaseInOut(t);
    IndicatorShape s;
    s.center_x = c + orbit * std::sin(angle);
    s.center_y = c - orbit * std::cos(angle);
    s.outer_radius = dot;
    s.sweep = kTurn;
    s.opacity = 1.0 - 0.12 * i;
    shapes.push_back(s);
  }
  return shapes;
}

// A quarter pie turning over a faint full disc.
std::vector<IndicatorShape> RotatingSector(double size, std::uint64_t elapsed_ms) {
  constexpr std::uint64_t kPeriod = 1200;
  const double c = size / 2;
  const double r = c - 2;
  IndicatorShape track;
  track.center_x = track.center_y = c;
  track.outer_radius = r;
  track.sweep = kTurn;
  track.opacity = 0.25;
  IndicatorShape sector = track;
  sector.start_angle = kTurn * Phase(elapsed_ms, kPeriod);
  sector.sweep = kTurn / 4;
  sector.opacity = 1;
  return {track, sector};
}

// Twelve ring segments; the lit one steps round and the ones behind it fade.
std::vector<IndicatorShape> SectorRing(double size, std::uint64_t elapsed_ms) {
  constexpr int kSegments = 12;
  constexpr std::uint64_t kStepMs = 80;
  const double c = size / 2;
  const double slot = kTurn / kSegments;
  const auto head = static_cast<int>((elapsed_ms / kStepMs) % kSegments);
  std::vector<IndicatorShape> shapes;
  for (int i = 0; i < kSegments; ++i) {
    const int behind = (head - i + kSegments) % kSegments;
    IndicatorShape s;
    s.center_x = s.center_y = c;
    s.outer_radius = c - 2;
    s.inner_radius = c * 0.58;
    s.start_angle = i * slot + slot * 0.1;
    s.sweep = slot * 0.8;
    s.opacity = std::max(0.15, 1.0 - behind * 0.12);
    shapes.push_back(s);
  }
  return shapes;
}

}  // namespace

bool IndicatorShape::IsDisc() const { return inner_radius <= 0 && sweep >= kTurn; }

std::vector<IndicatorShape> BusyIndicatorFrame(BusyIndicatorKind kind, double size,
                                               std::uint64_t elapsed_ms) {
  switch (kind) {
    case BusyIndicatorKind::RotatingSector:
      return RotatingSector(size, elapsed_ms);
    case BusyIndicatorKind::SectorRing:
      return SectorRing(size, elapsed_ms);
    case BusyIndicatorKind::MomentumDots:
      break;
  }
  return MomentumDots(size, elapsed_ms);
}

RgbColor IndicatorRgb(BusyIndicatorColor color) {
  return color == BusyIndicatorColor::Black ? RgbColor{0, 0, 0} : RgbColor{255, 255, 255};
}

RgbColor BlendColors(RgbColor over, RgbColor under, double opacity) {
  opacity = std::clamp(opacity, 0.0, 1.0);
  auto mix = [&](std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>(std::lround(a * opacity + b * (1 - opacity)));
  };
  return {mix(over.red, under.red), mix(over.green, under.green), mix(over.blue, under.blue)};
}

std::vector<PointD> ShapeOutline(const IndicatorShape& shape, int arc_steps) {
  arc_steps = std::max(arc_steps, 2);
  std::vector<PointD> points;
  auto at = [&](double radius, double angle) {
    return PointD{shape.center_x + radius * std::sin(angle),
                  shape.center_y - radius * std::cos(angle)};
  };
  for (int i = 0; i <= arc_steps; ++i) {
    points.push_back(at(shape.outer_radius, shape.start_angle + shape.sweep * i / arc_steps));
  }
  if (shape.IsDisc()) return points;
  if (shape.inner_radius <= 0) {
    points.push_back({shape.center_x, shape.center_y});
    return points;
  }
  for (int i = arc_steps; i >= 0; --i) {
    points.push_back(at(shape.inner_radius, shape.start_angle + shape.sweep * i / arc_steps));
  }
  return points;
}

}  // namespace tessel::platform
