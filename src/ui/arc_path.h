// A circular arc as cubic Bezier pieces, for targets that draw arc segments as straight lines
// (Wine's Direct2D does). Pure arithmetic, so that the shape is checked without a picture.
#pragma once

#include <vector>

#include "ui/canvas.h"

namespace zs::ui {

struct BezierPiece {
  PointF control1;
  PointF control2;
  PointF end;
};

struct ArcPath {
  PointF start;
  std::vector<BezierPiece> pieces;  // none for an empty sweep
};

// Clockwise from startDegrees (0 = up) over sweepDegrees (negative: anticlockwise), at most one
// full turn, in pieces of at most 90 degrees each.
ArcPath arcPath(PointF centre, float radius, float startDegrees, float sweepDegrees);

}  // namespace zs::ui
