#include "ui/arc_path.h"

#include <algorithm>
#include <cmath>

namespace zs::ui {

namespace {

PointF onCircle(PointF centre, double radius, double radians) {
  return {static_cast<float>(centre.x + radius * std::sin(radians)),
          static_cast<float>(centre.y - radius * std::cos(radians))};
}

}  // namespace

ArcPath arcPath(PointF centre, float radius, float startDegrees, float sweepDegrees) {
  const double toRadians = 3.14159265358979323846 / 180.0;
  double at = startDegrees * toRadians;
  ArcPath path{onCircle(centre, radius, at), {}};
  const double sweep = std::clamp(static_cast<double>(sweepDegrees), -360.0, 360.0);
  if (sweep == 0 || radius <= 0) return path;
  const int count = static_cast<int>(std::ceil(std::fabs(sweep) / 90.0 - 1e-9));
  const double step = sweep / count * toRadians;
  // The control points lie on the tangents, 4/3 tan(step / 4) of the radius from the ends; the
  // tangent of the clockwise angle a is (cos a, sin a) in window coordinates.
  const double reach = radius * 4.0 / 3.0 * std::tan(step / 4);
  for (int i = 0; i < count; ++i) {
    const double to = at + step;
    const PointF from = onCircle(centre, radius, at);
    const PointF end = onCircle(centre, radius, to);
    path.pieces.push_back({{static_cast<float>(from.x + reach * std::cos(at)), static_cast<float>(from.y + reach * std::sin(at))},
                           {static_cast<float>(end.x - reach * std::cos(to)), static_cast<float>(end.y - reach * std::sin(to))},
                           end});
    at = to;
  }
  return path;
}

}  // namespace zs::ui
