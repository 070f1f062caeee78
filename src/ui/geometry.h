// Points and rectangles in layout units of the window, for the page layout and for what draws it.
#pragma once

namespace zs::ui {

struct PointF {
  float x = 0;
  float y = 0;
};

struct RectF {
  float left = 0;
  float top = 0;
  float right = 0;
  float bottom = 0;
  float width() const { return right - left; }
  float height() const { return bottom - top; }
  bool contains(float x, float y) const { return x >= left && x < right && y >= top && y < bottom; }
};

}  // namespace zs::ui
