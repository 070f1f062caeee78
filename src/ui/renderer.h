// The Direct2D and DirectWrite backend of the drawn window: factories, the 18 text formats in
// the embedded typeface (or an installed one), one render target per window size and scale, one
// brush recoloured per primitive, and the brand bitmap. It reports failures as HRESULTs and
// reason texts; the window decides about the software target and plain mode.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "ui/canvas.h"
#include "ui/theme_choice.h"

namespace zs::ui {

class Renderer {
 public:
  Renderer();
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Factories, fonts, text formats, rendering parameters, stroke style. False with a reason text.
  bool initialise(std::wstring& reason);
  // The embedded fonts could not be used; an installed font draws instead.
  bool installedFont() const;

  // Under Wine a child window is hidden under an HWND target, so the window asks for a target
  // bound to its paint DC instead; set before the first target is made.
  void useDcTarget(bool on);

  HRESULT makeTarget(HWND window, UINT width, UINT height, bool software, double scale);
  HRESULT resizeTarget(double scale, UINT width, UINT height);
  void releaseTarget();
  bool hasTarget() const;
  double targetScale() const;

  // One frame: BeginDraw, draw(canvas), EndDraw. paintDc is the DC of BeginPaint (used by a DC
  // target). E_POINTER without a target; E_FAIL when a primitive failed but EndDraw succeeded.
  HRESULT drawFrame(Theme theme, HDC paintDc, const std::function<void(Canvas&)>& draw);
  // The same for the part of the window in `dirty` (device pixels) only: a DC target is bound to
  // that part alone, so that a small repaint (the turning busy mark) costs a small one.
  HRESULT drawFrame(Theme theme, HDC paintDc, const RECT& dirty, const std::function<void(Canvas&)>& draw);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zs::ui
