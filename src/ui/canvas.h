// What page drawing may ask of whatever draws it. Every coordinate is in layout units of the
// 880 x 560 window (one unit is `scale` device pixels); every colour is a named entry of the
// current theme's palette. The Direct2D renderer implements it for the window, and tests record
// it, so that the page code decides what is shown without knowing how it is drawn.
#pragma once

#include <cstddef>
#include <string_view>

#include "ui/geometry.h"
#include "ui/palette.h"

namespace zs::ui {

enum class Weight : int { Regular = 0, Medium = 1, SemiBold = 2 };

// The text sizes there are formats for.
inline constexpr float kTextSizes[6] = {11, 12, 13, 15, 20, 24};

class Canvas {
 public:
  virtual ~Canvas() = default;
  // Edges snapped to device pixels.
  virtual void fillRect(const RectF& r, Colour colour) = 0;
  virtual void fillRoundRect(const RectF& r, float radius, Colour colour) = 0;
  // The outer shape in `border`, and inside it, one device pixel in, the shape in `fill`.
  virtual void borderedRoundRect(const RectF& r, float radius, Colour border, Colour fill) = 0;
  // An outline on pixel centres.
  virtual void strokeRoundRect(const RectF& r, float radius, float width, Colour colour) = 0;
  virtual void line(PointF a, PointF b, float width, Colour colour) = 0;
  // Connected segments through the points (the check mark).
  virtual void polyline(const PointF* points, size_t count, float width, Colour colour) = 0;
  virtual void fillCircle(PointF centre, float radius, Colour colour) = 0;
  virtual void strokeCircle(PointF centre, float radius, float width, Colour colour) = 0;
  // Clockwise from startDegrees (0 = up) over sweepDegrees.
  virtual void arc(PointF centre, float radius, float startDegrees, float sweepDegrees, float width,
                   Colour colour) = 0;
  // One line of text whose line box starts at topLeft (the baseline is the size's ascent below
  // it); size is one of kTextSizes. Text is never wrapped here: the page code wraps.
  virtual void text(std::wstring_view text, PointF topLeft, float size, Weight weight, Colour colour) = 0;
  // The link's underline for text drawn at topLeft in size, broken under descenders.
  virtual void linkUnderline(std::wstring_view text, PointF topLeft, float size, Colour colour) = 0;
  // The brand image; nothing when it could not be prepared.
  virtual void brand(const RectF& r) = 0;
  virtual void pushClip(const RectF& r) = 0;
  virtual void popClip() = 0;
};

}  // namespace zs::ui
