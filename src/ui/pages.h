// What the drawn window shows for every page of the UiState, and where each element lies: the
// frame (title band, close button, brand image, version, progress rail), each page's body, the
// buttons and the link under the page, and the question box over everything. The same geometry
// serves drawing and hit testing, so a click lands on exactly what was drawn. Pure: it draws into
// a Canvas and decides nothing about pages (the state machine does).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/canvas.h"
#include "ui/ui_state.h"

namespace zs::ui {

inline constexpr float kWindowWidth = 880;
inline constexpr float kWindowHeight = 560;
inline constexpr float kTitleBandHeight = 54;

// The licence text as the box shows it: decoded text wrapped at 528 units, size 12.
std::vector<std::wstring> licenseLinesOf(const std::wstring& text);

// The header line: "Setup · Step 2 of 4" and the like.
std::wstring headerLine(const UiState& s);
const wchar_t* pageTitle(Page page);

struct HitBox {
  Element element = Element::None;
  RectF rect;
};
// The interactive elements of the current frame, in hit-test order (the last containing entry wins).
std::vector<HitBox> hitBoxes(const UiState& s);
// The element under a point in layout units; none when nothing is there.
Element hitTest(const UiState& s, float x, float y);

// The folder field on the options page and the baseline of the text inside it, where the real
// folder box is placed.
RectF folderField(const UiState& s);
float folderBaseline(const UiState& s);

// The licence box and its scroll geometry on the welcome page.
RectF licenseBox(const UiState& s);
int32_t licenseMaxScroll(const UiState& s);
// The scroll track (from 2 units left of the thumb to the box's right edge) and the thumb.
RectF licenseTrack(const UiState& s);
RectF licenseThumb(const UiState& s);
// The track length the thumb can move along: track height less the thumb's.
float licenseFreeTrack(const UiState& s);

// Draws the whole frame of the state.
void drawPage(Canvas& canvas, const UiState& s);

}  // namespace zs::ui
