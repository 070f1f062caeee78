// Where everything the drawn window shows lies, for every page of the UiState: the frame's
// metrics, the buttons and the link under the page, the licence box and its scroll bar, the
// options page's field and task boxes, the close button and the question box. Drawing and hit
// testing both take their geometry from here, so that a click lands on exactly what was drawn.
// Pure: it measures text but draws nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ui/geometry.h"
#include "ui/ui_state.h"

namespace zs::ui {

inline constexpr float kWindowWidth = 880;
inline constexpr float kWindowHeight = 560;
inline constexpr float kTitleBandHeight = 54;

// Lengths in layout units that the drawing needs as well.
inline constexpr float kRailWidth = 232;
inline constexpr float kBodyLine = 19.5f;
inline constexpr float kSmallLine = 17.39f;
inline constexpr float kLicenseLine = 19.2f;
inline constexpr float kLicensePadding = 24;  // top and bottom together
inline constexpr float kThumbInset = 4;
inline constexpr float kThumbWidth = 6;
inline constexpr float kFieldHeight = 36;
// The folder's text sits this far inside the field's border, whether the folder box shows it or
// the frame draws it, so that it does not move when a question hides the box.
inline constexpr float kFieldTextInset = 10;
// A task's detail wraps to at most this many lines under its label.
inline constexpr size_t kTaskDetailLines = 2;
inline constexpr float kToggleHeight = 20;
inline constexpr float kAcceptRow = 20;
inline constexpr float kAcceptLabelGap = 26;
inline constexpr float kQuestionPad = 20;

inline constexpr const wchar_t* kAcceptLabel = L"I accept the license agreement";

// Every length below is in layout units of the frame being drawn; the pixel-dependent parts come
// from the scale.
struct Frame {
  double k = 1;  // device pixels per unit
  float p = 1;
  float l11 = 0, l12 = 0, l13 = 0, l15 = 0, l24 = 0;
  float contentLeft = 0, contentRight = 0, contentTop = 0, contentBottom = 0;
  float rowTop = 0;
  float headerTop = 0, titleTop = 0;
  RectF inner;  // the body's area inside the content card
};
Frame frameOf(const UiState& s);

// A text's width at a size.
float widthOf(std::wstring_view text, float size);
// One line that fits the width: cut at its end with an ellipsis, or with fromEnd (a path, whose
// end says most) at its start.
std::wstring fitLine(std::wstring_view text, float maxWidth, float size, bool fromEnd = false);
// At most maxLines of the wrapped lines; the last one kept says with an ellipsis that more was cut.
void capLines(std::vector<std::wstring>& lines, size_t maxLines, float maxWidth, float size);

// The licence text as the box shows it: decoded text wrapped at 528 units, size 12.
std::vector<std::wstring> licenseLinesOf(const std::wstring& text);

// ---- The frame ----

RectF closeButtonRect(const Frame& f);

struct Button {
  Element element = Element::None;
  const wchar_t* text = L"";
  bool primary = false;
  bool disabled = false;
  RectF rect;
  float textSize = 13;
};
// The buttons under the page, the primary rightmost.
std::vector<Button> pageButtons(const UiState& s, const Frame& f);

// The link under the page, left of the buttons, on the pages that have one.
bool linkShown(Page page);
const wchar_t* linkText(const UiState& s);
RectF linkTextRect(const UiState& s, const Frame& f);

// ---- The question box ----

struct QuestionText {
  const wchar_t* title;
  const wchar_t* primary;
  const wchar_t* secondary;  // null: none
};
QuestionText questionText(Question q);

struct QuestionBox {
  RectF box;
  std::vector<std::wstring> lines;
  float bodyWidth = 0;
  std::vector<Button> buttons;
};
QuestionBox questionBox(const UiState& s, const Frame& f);

// ---- The welcome page ----

struct LicenseLayout {
  std::vector<std::wstring> intro;
  RectF box;
  RectF accept;  // the box and its label
};
LicenseLayout licenseLayout(const Frame& f);

// The licence box and its scroll geometry.
RectF licenseBox(const UiState& s);
int32_t licenseMaxScroll(const UiState& s);
// The scroll track (from 2 units left of the thumb to the box's right edge) and the thumb.
RectF licenseTrack(const UiState& s);
RectF licenseThumb(const UiState& s);
// The track length the thumb can move along: track height less the thumb's.
float licenseFreeTrack(const UiState& s);

// ---- The options page ----

struct TaskRow {
  size_t index = 0;
  RectF row;
  RectF toggle;
  std::vector<std::wstring> detail;  // wrapped to the width left of the toggle
};

struct OptionsLayout {
  float labelTop = 0;
  RectF field;
  Button browse;
  std::vector<TaskRow> tasks;
  float noteTop = 0;
};
OptionsLayout optionsLayout(const UiState& s, const Frame& f);

// The folder field and the baseline of the text inside it, where the real folder box is placed.
RectF folderField(const UiState& s);
// Where the folder's text lies inside the field: left and right as the folder box and the drawn
// text both use them.
RectF folderTextSpan(const Frame& f, const RectF& field);
float folderBaseline(const UiState& s);

// ---- The progress pages ----

// One row of the step list: a plain row, or the panel of the running step (the single row of
// "Putting things back" is a panel too).
struct ProgressRow {
  int32_t step = 0;
  float top = 0;
  bool panel = false;
};
std::vector<ProgressRow> progressRows(const UiState& s, const Frame& f);
float runningPanelHeight(const Frame& f);
// The busy mark's centre in a running panel whose top is panelTop.
PointF busyMarkCentre(const Frame& f, float panelTop);
// The area of every busy mark on the frame (empty when none turns): what the animation timer
// repaints, and nothing else.
std::vector<RectF> busyMarkAreas(const UiState& s);

// ---- Hit testing ----

struct HitBox {
  Element element = Element::None;
  RectF rect;
};
// The interactive elements of the current frame, in hit-test order (the last containing entry wins).
std::vector<HitBox> hitBoxes(const UiState& s);
// The element under a point in layout units; none when nothing is there.
Element hitTest(const UiState& s, float x, float y);

}  // namespace zs::ui
