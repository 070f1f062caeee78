#include "ui/pages.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "ui/silent_sink.h"
#include "ui/text_layout.h"

namespace zs::ui {

namespace {

// Palette entries by what they are used for here.
constexpr int kBackground = 0;
constexpr int kSurface = 1;  // the content card, and marks drawn on the accent
constexpr int kPanelFill = 2;
constexpr int kField = 3;  // the folder box's own background, and the fields' border
constexpr int kRail = 5;
constexpr int kSubtleFill = 6;
constexpr int kPendingMark = 7;
constexpr int kBorder = 8;
constexpr int kStrongText = 9;
constexpr int kBodyText = 11;
constexpr int kMutedText = 12;
constexpr int kAccent = 13;
constexpr int kAccentHover = 14;
constexpr int kAccentPressed = 15;
constexpr int kFocus = 16;
constexpr int kTrack = 18;
constexpr int kSuccess = 22;
constexpr int kSuccessFill = 23;
constexpr int kError = 28;
constexpr int kErrorFill = 29;
constexpr int kCloseHover = 42;
constexpr int kShadow = 45;
constexpr int kDim = 46;
constexpr int kClosePressed = 55;

constexpr float kRailWidth = 232;
constexpr float kRailPad = 12;
constexpr float kButtonHeight = 40;
constexpr float kButtonGap = 8;
constexpr float kBodyLine = 19.5f;
constexpr float kSmallLine = 17.39f;
constexpr float kLicenseLine = 19.2f;
constexpr float kLicensePadding = 24;  // top and bottom together
constexpr float kThumbInset = 4;
constexpr float kThumbWidth = 6;
constexpr float kMinThumb = 24;
constexpr float kBrandSize = 36;
constexpr float kCloseSize = 36;
constexpr float kFieldHeight = 36;
constexpr float kToggleWidth = 36;
constexpr float kToggleHeight = 20;
constexpr float kAcceptRow = 20;
constexpr float kAcceptBox = 18;
constexpr float kAcceptLabelGap = 26;
constexpr float kMarkBox = 16;
constexpr float kQuestionLeft = 220;
constexpr float kQuestionWidth = 440;
constexpr float kQuestionPad = 20;

const wchar_t* const kPageTitles[kPageCount] = {
    L"Welcome",
    L"Options",
    L"Installing",
    L"Putting things back",
    L"Zelvan is ready",
    L"Installation stopped",
    L"Zelvan wasn't installed",
    L"Setup couldn't finish",
    L"Can't install yet",
    L"Can't install yet",
    L"Can't install",
    L"Can't install",
    L"Can't install yet",
    L"Can't start",
    L"Uninstall Zelvan",
    L"Removing",
    L"Zelvan is removed",
    L"Almost done",
    L"Can't uninstall",
};

constexpr const wchar_t* kIntro =
    L"Zelvan will be installed for everyone on this PC. Please read the license agreement.";
constexpr const wchar_t* kAcceptLabel = L"I accept the license agreement";
constexpr const wchar_t* kFolderLabel = L"Install folder";
constexpr const wchar_t* kBrowse = L"Browse\u2026";
constexpr const wchar_t* kKeepNote = L"Your projects and settings stay as they are.";

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

Frame frameOf(const UiState& s) {
  Frame f;
  double k = f.k = s.scale > 0 ? s.scale : 1.0;
  f.p = static_cast<float>(onePixel(k));
  f.l11 = static_cast<float>(lineHeight(11, k));
  f.l12 = static_cast<float>(lineHeight(12, k));
  f.l13 = static_cast<float>(lineHeight(13, k));
  f.l15 = static_cast<float>(lineHeight(15, k));
  f.l24 = static_cast<float>(lineHeight(24, k));
  f.contentLeft = f.p + 20 + kRailWidth + 20;
  f.contentRight = f.contentLeft + (kWindowWidth - 2 * f.p - 40 - kRailWidth - 20);
  f.headerTop = f.p + kTitleBandHeight + 2;
  f.titleTop = f.headerTop + f.l12 + 6;
  f.contentTop = f.titleTop + f.l24 + 14;
  f.rowTop = kWindowHeight - f.p - 20 - kButtonHeight;
  f.contentBottom = f.rowTop - 16;
  float inset = f.p + 16;
  f.inner = {f.contentLeft + inset, f.contentTop + inset, f.contentRight - inset, f.rowTop - 16 - f.p - 16};
  return f;
}

float width(std::wstring_view text, float size) { return static_cast<float>(textWidth(text, size)); }

bool isHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One line that fits the width: cut at its end with an ellipsis, or with fromEnd (a path, whose
// end says most) at its start.
std::wstring fitLine(std::wstring_view text, float maxWidth, float size, bool fromEnd = false) {
  if (width(text, size) <= maxWidth) return std::wstring(text);
  const std::wstring_view ellipsis = L"\u2026";
  float room = maxWidth - width(ellipsis, size);
  size_t n = 0;
  float used = 0;
  while (n < text.size()) {
    wchar_t c = fromEnd ? text[text.size() - 1 - n] : text[n];
    float w = width(std::wstring_view(&c, 1), size);
    if (used + w > room) break;
    used += w;
    ++n;
  }
  if (fromEnd) {
    size_t from = text.size() - n;
    if (from < text.size() && isLow(text[from])) ++from;  // never the second half of a pair alone
    return std::wstring(ellipsis) + std::wstring(text.substr(from));
  }
  if (n > 0 && isHigh(text[n - 1])) --n;
  std::wstring out(text.substr(0, n));
  while (!out.empty() && out.back() == L' ') out.pop_back();
  return out + std::wstring(ellipsis);
}

// At most maxLines of the wrapped lines; the last one kept says with an ellipsis that more was cut.
void capLines(std::vector<std::wstring>& lines, size_t maxLines, float maxWidth, float size) {
  if (lines.size() <= maxLines) return;
  lines.resize(maxLines);
  if (maxLines == 0) return;
  std::wstring last = lines.back();
  while (!last.empty() && last.back() == L' ') last.pop_back();
  lines.back() = fitLine(last + L"\u2026", maxWidth, size);
}

// Lines one under the other, each centred in its line pitch; none below maxBottom. Returns the
// top of whatever comes next.
float drawLines(Canvas& c, const Frame& f, std::vector<std::wstring> lines, float x, float y, float maxWidth,
                float maxBottom, float size, float pitch, Weight weight, int colour) {
  float ownLine = size == 12 ? f.l12 : size == 13 ? f.l13 : size == 15 ? f.l15 : f.l11;
  size_t fit = pitch > 0 && maxBottom > y ? static_cast<size_t>((maxBottom - y + 0.01f) / pitch) : 0;
  capLines(lines, fit, maxWidth, size);
  float offset = (pitch - ownLine) / 2;
  for (size_t i = 0; i < lines.size(); ++i)
    c.text(lines[i], {x, y + static_cast<float>(i) * pitch + offset}, size, weight, colour);
  return y + static_cast<float>(lines.size()) * pitch;
}

float paragraph(Canvas& c, const Frame& f, std::wstring_view text, float y, int colour) {
  RectF in = f.inner;
  return drawLines(c, f, wrapText(text, in.width(), 13), in.left, y, in.width(), in.bottom, 13, kBodyLine,
                   Weight::Regular, colour);
}

RectF inflate(const RectF& r, float d) { return {r.left - d, r.top - d, r.right + d, r.bottom + d}; }

void focusRing(Canvas& c, const RectF& r, float radius) { c.strokeRoundRect(inflate(r, 3), radius + 3, 2, kFocus); }

// ---- Texts by page ----

// The body paragraphs of the message pages, in order; empty for pages with a body of their own.
std::vector<std::wstring> messageParagraphs(const UiState& s) {
  switch (s.page) {
    case kPageStopped: return {L"Everything is back the way it was."};
    case kPageFailed:
      return {L"Setup ran into a problem and put everything back the way it was."};
    case kPageIncomplete:
      return {L"Some changes are still in place. Run this setup again to finish putting things back."};
    case kPageOldWindows: return {L"Zelvan needs Windows 8.1 or later. Nothing has been changed."};
    case kPageNoDotNet:
      return {L"Zelvan needs .NET Framework 4.8, and this PC doesn't have it yet. Nothing has been changed.",
              L"Install .NET Framework 4.8 from Microsoft, then run this setup again."};
    case kPageDamaged: return {L"This setup file is damaged. Please download it again. Nothing has been changed."};
    case kPageNewerInstalled:
      return {L"A newer version of Zelvan is already installed. Nothing has been changed."};
    case kPageMsiCopy:
      return {L"An older Windows Installer copy of Zelvan is on this PC. Remove it in Apps & Features, then run "
              L"this setup again."};
    case kPageBadSwitch: return {L"Setup doesn't recognise this switch: " + s.errorDetail};
    case kPageConfirmUninstall: return {L"Zelvan will be removed from this PC."};
    case kPageRemoved: return {L"Your projects and settings are still in your Documents folder."};
    case kPageAlmostDone: return {L"Some files were in use. They'll go the next time you restart."};
    case kPageCantUninstall:
      return {L"Setup's record of this install is missing, so nothing was removed. Run the Zelvan setup again to "
              L"repair it."};
    default: return {};
  }
}

bool linkShown(int32_t page) {
  switch (page) {
    case kPageReady:
    case kPageStopped:
    case kPageFailed:
    case kPageIncomplete:
    case kPageNoDotNet:
    case kPageRemoved:
    case kPageAlmostDone: return true;
    default: return false;
  }
}

const wchar_t* linkText(const UiState& s) {
  if (s.page == kPageNoDotNet) return L"Open Microsoft's download page";
  return s.role == kRoleUninstall ? L"View the uninstall log" : L"View the install log";
}

RectF linkTextRect(const UiState& s, const Frame& f) {
  float y = f.rowTop + (kButtonHeight - f.l13) / 2;
  return {f.contentLeft, y, f.contentLeft + width(linkText(s), 13), y + f.l13};
}

RectF linkHitRect(const UiState& s, const Frame& f) {
  RectF t = linkTextRect(s, f);
  return {t.left - 4, f.rowTop + 6, t.right + 4, f.rowTop + kButtonHeight - 6};
}

// ---- Buttons ----

struct Button {
  int32_t element = 0;
  const wchar_t* text = L"";
  bool primary = false;
  bool disabled = false;
  RectF rect;
};

float buttonWidth(const Button& b, const Frame& f) {
  return width(b.text, 13) + (b.primary ? 44 : 36 + 2 * f.p);
}

// Right to left from `right`, so that the last listed ends up rightmost.
void layoutRow(std::vector<Button>& row, float right, float top, const Frame& f) {
  float x = right;
  for (auto it = row.rbegin(); it != row.rend(); ++it) {
    float w = buttonWidth(*it, f);
    it->rect = {x - w, top, x, top + kButtonHeight};
    x -= w + kButtonGap;
  }
}

std::vector<Button> pageButtons(const UiState& s, const Frame& f) {
  std::vector<Button> row;
  switch (s.page) {
    case kPageWelcome:
      row = {{kElemCancel, L"Cancel", false, false, {}}, {kElemNext, L"Next", true, !s.licenseAccepted, {}}};
      break;
    case kPageOptions:
      row = {{kElemBack, L"Back", false, false, {}}, {kElemInstall, L"Install", true, false, {}}};
      break;
    case kPageInstalling: row = {{kElemCancel, L"Cancel", false, !stopOffered(s), {}}}; break;
    case kPageRollingBack: row = {{kElemCancel, L"Cancel", false, true, {}}}; break;
    case kPageReady:
      if (s.noRun)
        row = {{kElemClose, L"Close", true, false, {}}};
      else
        row = {{kElemClose, L"Close", false, false, {}}, {kElemOpenApp, L"Open Zelvan", true, false, {}}};
      break;
    case kPageConfirmUninstall:
      row = {{kElemCancel, L"Cancel", false, false, {}}, {kElemUninstall, L"Uninstall", true, false, {}}};
      break;
    case kPageRemoving: break;
    default: row = {{kElemClose, L"Close", true, false, {}}}; break;
  }
  layoutRow(row, f.contentRight, f.rowTop, f);
  return row;
}

struct QuestionText {
  const wchar_t* title;
  const wchar_t* primary;
  const wchar_t* secondary;  // null: none
};

QuestionText questionText(int32_t q) {
  switch (q) {
    case kQuestionAppOpen: return {L"Zelvan is open", L"Close Zelvan", L"Cancel"};
    case kQuestionAppDidNotClose: return {L"Zelvan didn't close", L"Try again", L"Cancel"};
    case kQuestionStop: return {L"Stop installing?", L"Stop installing", L"Keep installing"};
    case kQuestionFileInUse: return {L"A file is in use", L"Try again", L"Cancel"};
    default: return {L"Couldn't open that", L"Close", nullptr};
  }
}

std::wstring questionBody(const UiState& s) {
  switch (s.question) {
    case kQuestionAppOpen: return L"Setup needs to close Zelvan to continue. Save your work first.";
    case kQuestionAppDidNotClose: return L"Save your work and close Zelvan yourself, then try again.";
    case kQuestionStop: return L"Zelvan will be put back the way it was.";
    case kQuestionFileInUse: return s.inUseFile + L" is in use. Close whatever is using it, then try again.";
    default:
      return L"Setup couldn't start it for you. Zelvan is in the Start menu; the log is at " + s.logPath + L".";
  }
}

struct QuestionBox {
  RectF box;
  std::vector<std::wstring> lines;
  float bodyWidth = 0;
  std::vector<Button> buttons;
};

QuestionBox questionBox(const UiState& s, const Frame& f) {
  QuestionBox q;
  q.bodyWidth = kQuestionWidth - 2 * f.p - 2 * kQuestionPad;
  q.lines = wrapText(questionBody(s), q.bodyWidth, 13);
  float fixed = 2 * f.p + 2 * kQuestionPad + f.l15 + 8 + 16 + kButtonHeight;
  // A body longer than the window keeps as many lines as fit, so the buttons stay reachable.
  size_t most = static_cast<size_t>(std::max(1.0f, (kWindowHeight - 40 - fixed) / kBodyLine));
  capLines(q.lines, most, q.bodyWidth, 13);
  float height = fixed + kBodyLine * static_cast<float>(q.lines.size());
  float top = (kWindowHeight - height) / 2;
  q.box = {kQuestionLeft, top, kQuestionLeft + kQuestionWidth, top + height};
  QuestionText t = questionText(s.question);
  if (t.secondary) q.buttons.push_back({kElemSecondary, t.secondary, false, false, {}});
  q.buttons.push_back({kElemPrimary, t.primary, true, false, {}});
  layoutRow(q.buttons, q.box.right - f.p - kQuestionPad, q.box.bottom - f.p - kQuestionPad - kButtonHeight, f);
  return q;
}

// ---- Title band ----

RectF closeButtonRect(const Frame& f) {
  float right = kWindowWidth - f.p - 20;
  float top = (kTitleBandHeight - kCloseSize) / 2;
  return {right - kCloseSize, top, right, top + kCloseSize};
}

// ---- Page 0 ----

struct LicenseLayout {
  std::vector<std::wstring> intro;
  RectF box;
  RectF accept;  // the box and its label
};

LicenseLayout licenseLayout(const Frame& f) {
  LicenseLayout l;
  RectF in = f.inner;
  l.intro = wrapText(kIntro, in.width(), 13);
  float boxTop = in.top + kBodyLine * static_cast<float>(l.intro.size()) + 12;
  float acceptTop = in.bottom - kAcceptRow;
  l.box = {in.left, boxTop, in.right, acceptTop - 14};
  l.accept = {in.left, acceptTop, in.left + width(kAcceptLabel, 13) + kAcceptLabelGap, acceptTop + kAcceptRow};
  return l;
}

float licenseContentHeight(const UiState& s) {
  return static_cast<float>(s.licenseLines.size()) * kLicenseLine + kLicensePadding;
}

// ---- Page 1 ----

struct TaskRow {
  size_t index = 0;
  RectF row;
  RectF toggle;
};

constexpr float kTaskRowGap = 12;

struct OptionsLayout {
  float labelTop = 0;
  RectF field;
  Button browse;
  std::vector<TaskRow> tasks;
  float noteTop = 0;
};

OptionsLayout optionsLayout(const UiState& s, const Frame& f) {
  OptionsLayout o;
  RectF in = f.inner;
  o.labelTop = in.top;
  float fieldTop = in.top + f.l13 + 8;
  o.browse = {kElemBrowse, kBrowse, false, false, {}};
  float bw = buttonWidth(o.browse, f);
  o.browse.rect = {in.right - bw, fieldTop, in.right, fieldTop + kFieldHeight};
  o.field = {in.left, fieldTop, in.right - bw - kButtonGap, fieldTop + kFieldHeight};
  float y = o.field.bottom + 20;
  float rowHeight = f.l13 + 2 + kSmallLine;
  for (size_t i = 0; i < s.tasks.size() && i < static_cast<size_t>(kShownTaskBoxes); ++i) {
    if (!s.tasks[i].visible) continue;
    TaskRow t;
    t.index = i;
    t.row = {in.left, y, in.right, y + rowHeight};
    float ty = y + (rowHeight - kToggleHeight) / 2;
    t.toggle = {in.right - kToggleWidth, ty, in.right, ty + kToggleHeight};
    o.tasks.push_back(t);
    y += rowHeight + kTaskRowGap;
  }
  o.noteTop = y + 4;
  return o;
}

// ---- Drawing helpers ----

void checkMark(Canvas& c, float x, float y, float grow, float strokeWidth, int colour) {
  const PointF pts[3] = {{x + 5 * grow, y + 8.2f * grow}, {x + 7 * grow, y + 10.2f * grow}, {x + 11 * grow, y + 6 * grow}};
  c.polyline(pts, 3, strokeWidth, colour);
}

void crossMark(Canvas& c, PointF centre, float half, float strokeWidth, int colour) {
  c.line({centre.x - half, centre.y - half}, {centre.x + half, centre.y + half}, strokeWidth, colour);
  c.line({centre.x + half, centre.y - half}, {centre.x - half, centre.y + half}, strokeWidth, colour);
}

void drawButton(Canvas& c, const UiState& s, const Frame& f, const Button& b, bool live) {
  const float radius = 8;
  bool hover = live && s.hover == b.element;
  bool pressed = live && s.pressed == b.element;
  int textColour;
  if (b.disabled) {
    c.borderedRoundRect(b.rect, radius, kBorder, kSubtleFill);
    textColour = kPendingMark;
  } else if (b.primary) {
    c.fillRoundRect(b.rect, radius, pressed ? kAccentPressed : hover ? kAccentHover : kAccent);
    textColour = kSurface;
  } else {
    c.borderedRoundRect(b.rect, radius, kBorder, pressed ? kRail : hover ? kSubtleFill : kSurface);
    textColour = kStrongText;
  }
  float tw = width(b.text, 13);
  c.text(b.text, {b.rect.left + (b.rect.width() - tw) / 2, b.rect.top + (b.rect.height() - f.l13) / 2}, 13,
         Weight::Medium, textColour);
}

// A small note in a tinted box; returns its bottom.
float note(Canvas& c, const Frame& f, std::wstring_view text, float top, int textColour, int fillColour) {
  RectF in = f.inner;
  const float padX = 12, padY = 8;
  std::vector<std::wstring> lines = wrapText(text, in.width() - 2 * padX, 12);
  size_t most = static_cast<size_t>(std::max(0.0f, (in.bottom - top - 2 * padY + 0.01f) / kSmallLine));
  if (most == 0) return top;
  capLines(lines, most, in.width() - 2 * padX, 12);
  RectF box = {in.left, top, in.right, top + 2 * padY + kSmallLine * static_cast<float>(lines.size())};
  c.fillRoundRect(box, 6, fillColour);
  drawLines(c, f, lines, box.left + padX, box.top + padY, in.width() - 2 * padX, box.bottom - padY, 12, kSmallLine,
            Weight::Regular, textColour);
  return box.bottom;
}

float badge(Canvas& c, const Frame& f, std::wstring_view text, float top) {
  float w = width(text, 12) + 20;
  RectF r = {f.inner.left, top, f.inner.left + w, top + 24};
  c.fillRoundRect(r, 12, kSuccessFill);
  c.text(text, {r.left + 10, r.top + (24 - f.l12) / 2}, 12, Weight::SemiBold, kSuccess);
  return r.bottom;
}

// ---- The frame ----

struct RailEntry {
  const wchar_t* name;
  const wchar_t* sub;
  int state;  // 0 current, 1 pending, 2 done, 3 failed
};
constexpr int kCurrent = 0, kPending = 1, kDone = 2, kFailed = 3;
constexpr int kStateColour[4] = {kBodyText, kMutedText, kSuccess, kError};

std::vector<RailEntry> railEntries(const UiState& s) {
  if (s.role == kRoleUninstall) {
    switch (s.page) {
      case kPageRemoving:
        return {{L"Confirm", L"Confirmed", kDone}, {L"Remove", L"Files and shortcuts", kCurrent},
                {L"Finish", L"All done", kPending}};
      case kPageRemoved:
      case kPageAlmostDone:
        return {{L"Confirm", L"Confirmed", kDone}, {L"Remove", L"Done", kDone}, {L"Finish", L"All done", kCurrent}};
      default:
        return {{L"Confirm", L"Remove Zelvan from this PC", kCurrent}, {L"Remove", L"Files and shortcuts", kPending},
                {L"Finish", L"All done", kPending}};
    }
  }
  RailEntry welcome = {L"Welcome", L"Accepted", kDone};
  RailEntry options = {L"Options", L"Set", kDone};
  RailEntry finish = {L"Finish", L"Ready to open", kPending};
  switch (s.page) {
    case kPageOptions:
      return {welcome, {L"Options", L"Folder and shortcuts", kCurrent}, {L"Install", L"Copy and optimize", kPending},
              finish};
    case kPageInstalling:
    case kPageRollingBack: return {welcome, options, {L"Install", L"Copy and optimize", kCurrent}, finish};
    case kPageReady: return {welcome, options, {L"Install", L"Done", kDone}, {L"Finish", L"Ready to open", kCurrent}};
    case kPageStopped: return {welcome, options, {L"Install", L"Stopped", kCurrent}, finish};
    case kPageFailed:
    case kPageIncomplete: return {welcome, options, {L"Install", L"Failed", kFailed}, finish};
    default:
      return {{L"Welcome", L"License agreement", kCurrent}, {L"Options", L"Folder and shortcuts", kPending},
              {L"Install", L"Copy and optimize", kPending}, finish};
  }
}

void drawRailMark(Canvas& c, PointF centre, int state, float p) {
  const float r = 9;
  switch (state) {
    case kDone:
      c.fillCircle(centre, r, kSuccess);
      checkMark(c, centre.x - 8, centre.y - 8, 1, 1.75f, kSurface);
      break;
    case kFailed:
      c.fillCircle(centre, r, kError);
      crossMark(c, centre, 3.5f, 1.75f, kSurface);
      break;
    case kCurrent:
      c.strokeCircle(centre, r - 1, 2, kAccent);
      c.fillCircle(centre, 3.5f, kAccent);
      break;
    default: c.strokeCircle(centre, r - 0.75f, std::max(1.5f, p), kPendingMark); break;
  }
}

void drawRail(Canvas& c, const UiState& s, const Frame& f) {
  const float left = f.p + 20;
  const float right = left + kRailWidth;
  const float textLeft = left + kRailPad + 18 + 12;
  const float textWidth = right - kRailPad - textLeft;
  float y = f.headerTop;
  std::vector<RailEntry> entries = railEntries(s);
  std::vector<PointF> marks;
  for (const RailEntry& e : entries) {
    std::vector<std::wstring> sub = wrapText(e.sub, textWidth, 11);
    float height = 10 + f.l13 + 2 + f.l11 * static_cast<float>(sub.size()) + 10;
    RectF r = {left, y, right, y + height};
    if (e.state == kCurrent) c.fillRoundRect(r, 8, kFocus);
    PointF centre = {left + kRailPad + 9, y + 10 + f.l13 / 2};
    marks.push_back(centre);
    drawRailMark(c, centre, e.state, f.p);
    c.text(e.name, {textLeft, y + 10}, 13, e.state == kCurrent ? Weight::SemiBold : Weight::Medium,
           kStateColour[e.state]);
    float sy = y + 10 + f.l13 + 2;
    for (const std::wstring& line : sub) {
      c.text(line, {textLeft, sy}, 11, Weight::Regular, kMutedText);
      sy += f.l11;
    }
    y += height + 6;
  }
  // The stages joined by a thin line between their marks.
  for (size_t i = 1; i < marks.size(); ++i)
    c.line({marks[i - 1].x, marks[i - 1].y + 13}, {marks[i].x, marks[i].y - 13}, f.p, kBorder);
}

void drawWindowFrame(Canvas& c, const UiState& s, const Frame& f) {
  c.fillRect({0, 0, kWindowWidth, kWindowHeight}, kBackground);
  const float railColumnRight = f.p + 20 + kRailWidth + 8;
  c.fillRect({0, 0, railColumnRight, kWindowHeight}, kRail);

  // The rail's header: the brand and the window title beside it.
  const float headerLeft = f.p + 20 + kRailPad;
  const float brandTop = (kTitleBandHeight - kBrandSize) / 2;
  c.brand({headerLeft, brandTop, headerLeft + kBrandSize, brandTop + kBrandSize});
  const wchar_t* title = s.role == kRoleUninstall ? L"Uninstall Zelvan" : L"Install Zelvan";
  c.text(title, {headerLeft + kBrandSize + 10, (kTitleBandHeight - f.l15) / 2}, 15, Weight::SemiBold, kStrongText);

  RectF close = closeButtonRect(f);
  bool live = s.question == 0;
  bool pressed = live && s.pressed == kElemTitleClose;
  bool hover = live && s.hover == kElemTitleClose;
  int glyph = kMutedText;
  if (pressed) {
    c.fillRoundRect(close, 8, kClosePressed);
    glyph = kCloseHover;
  } else if (hover) {
    c.fillRoundRect(close, 8, kCloseHover);
    glyph = kClosePressed;
  }
  crossMark(c, {(close.left + close.right) / 2, (close.top + close.bottom) / 2}, 5, 1.25f, glyph);

  drawRail(c, s, f);
  if (!s.versionText.empty()) {
    std::wstring version = fitLine(L"Version " + s.versionText, kRailWidth - 2 * kRailPad, 12);
    c.text(version, {headerLeft, kWindowHeight - f.p - 20 - f.l12}, 12, Weight::Regular, kMutedText);
  }

  c.text(headerLine(s), {f.contentLeft, f.headerTop}, 12, Weight::Medium, kMutedText);
  c.text(pageTitle(s.page), {f.contentLeft, f.titleTop}, 24, Weight::SemiBold, kStrongText);
  c.borderedRoundRect({f.contentLeft, f.contentTop, f.contentRight, f.contentBottom}, 10, kRail, kSurface);
}

// ---- Page bodies ----

void drawLicensePage(Canvas& c, const UiState& s, const Frame& f) {
  LicenseLayout l = licenseLayout(f);
  drawLines(c, f, l.intro, f.inner.left, f.inner.top, f.inner.width(), l.box.top, 13, kBodyLine, Weight::Regular,
            kBodyText);

  bool focused = s.question == 0 && s.focus == kElemLicenseBox;
  c.borderedRoundRect(l.box, 6, focused ? kFocus : kField, kRail);
  c.pushClip(inflate(l.box, -f.p));
  float scroll = static_cast<float>(std::clamp(s.licenseScroll, 0, licenseMaxScroll(s)));
  float offset = (kLicenseLine - f.l12) / 2;
  for (size_t i = 0; i < s.licenseLines.size(); ++i) {
    float top = l.box.top + kLicensePadding / 2 + static_cast<float>(i) * kLicenseLine - scroll;
    if (top + kLicenseLine <= l.box.top) continue;
    if (top >= l.box.bottom) break;
    c.text(s.licenseLines[i], {l.box.left + 12, top + offset}, 12, Weight::Regular, kBodyText);
  }
  c.popClip();
  if (licenseMaxScroll(s) > 0) {
    RectF thumb = licenseThumb(s);
    RectF groove = {thumb.left, l.box.top + kThumbInset, thumb.right, l.box.bottom - kThumbInset};
    c.fillRoundRect(groove, kThumbWidth / 2, kSubtleFill);
    bool active = s.dragging || (s.question == 0 && (s.hover == kElemThumb || s.pressed == kElemThumb));
    c.fillRoundRect(thumb, kThumbWidth / 2, active ? kMutedText : kPendingMark);
  }

  RectF box = {l.accept.left, l.accept.top + (kAcceptRow - kAcceptBox) / 2, l.accept.left + kAcceptBox,
               l.accept.top + (kAcceptRow + kAcceptBox) / 2};
  if (s.licenseAccepted) {
    c.fillRoundRect(box, 4, kAccent);
    checkMark(c, box.left, box.top, kAcceptBox / kMarkBox, 2, kSurface);
  } else {
    c.borderedRoundRect(box, 4, kPendingMark, kSurface);
  }
  c.text(kAcceptLabel, {l.accept.left + kAcceptLabelGap, l.accept.top + (kAcceptRow - f.l13) / 2}, 13,
         Weight::Regular, kStrongText);
}

void drawOptionsPage(Canvas& c, const UiState& s, const Frame& f) {
  OptionsLayout o = optionsLayout(s, f);
  bool live = s.question == 0;
  c.text(kFolderLabel, {f.inner.left, o.labelTop}, 13, Weight::Medium, kStrongText);
  // Filled like the real folder box, so that the box sits in the field without a seam.
  c.borderedRoundRect(o.field, 6, live && s.focus == kElemFolder ? kFocus : kField, kField);
  if (!s.editShown) {
    float x = o.field.left + 12;
    std::wstring shown = fitLine(s.folder, o.field.right - 12 - x, 13, true);
    c.text(shown, {x, o.field.top + (kFieldHeight - f.l13) / 2}, 13, Weight::Regular, kStrongText);
  }
  drawButton(c, s, f, o.browse, live);

  for (const TaskRow& t : o.tasks) {
    const TaskChoice& task = s.tasks[t.index];
    float textRoom = t.toggle.left - 16 - t.row.left;
    c.text(fitLine(task.label, textRoom, 13), {t.row.left, t.row.top}, 13, Weight::Medium, kStrongText);
    c.text(fitLine(task.detail, textRoom, 12), {t.row.left, t.row.top + f.l13 + 2 + (kSmallLine - f.l12) / 2}, 12,
           Weight::Regular, kBodyText);
    float cy = (t.toggle.top + t.toggle.bottom) / 2;
    const float knob = 7;
    if (task.on) {
      c.fillRoundRect(t.toggle, kToggleHeight / 2, kAccent);
      c.fillCircle({t.toggle.right - kToggleHeight / 2, cy}, knob, kSurface);
    } else {
      c.borderedRoundRect(t.toggle, kToggleHeight / 2, kPendingMark, kSurface);
      c.fillCircle({t.toggle.left + kToggleHeight / 2, cy}, knob - 1, kPendingMark);
    }
  }

  if (s.folderError == 0)
    note(c, f, kKeepNote, o.noteTop, kSuccess, kSuccessFill);
  else
    note(c, f, s.folderErrorText, o.noteTop, kError, kErrorFill);
}

// The busy mark: a track with a quarter arc that turns with the spinner.
void busyMark(Canvas& c, PointF centre, int32_t angle) {
  c.strokeCircle(centre, 8, 2.0f, kTrack);
  c.arc(centre, 8, static_cast<float>(angle), 90, 2.0f, kAccent);
}

void drawProgressPage(Canvas& c, const UiState& s, const Frame& f) {
  RectF in = f.inner;
  bool uninstall = s.role == kRoleUninstall;
  bool restoring = s.page == kPageRollingBack;
  int32_t count = restoring ? 1 : uninstall ? kUninstallStepCount : kInstallStepCount;
  // Marks and names line up in two columns whether a row is plain or the running panel.
  const float markLeft = in.left + f.p + 12;
  const float nameLeft = markLeft + kMarkBox + 12;
  float y = in.top;
  for (int32_t i = 0; i < count; ++i) {
    const StepSlot& step = s.steps[i];
    const wchar_t* name = uninstall ? uninstallStepName(i) : installStepName(i);
    const wchar_t* detail = uninstall ? uninstallStepDetail(i) : installStepDetail(i);
    if (restoring || step.status == kStepRunning) {
      float height = 2 * f.p + 24 + f.l13 + 8 + 6 + 8 + kSmallLine;
      RectF panel = {in.left, y, in.right, y + height};
      c.borderedRoundRect(panel, 8, kRail, kPanelFill);
      float top = panel.top + f.p + 12;
      float right = panel.right - f.p - 12;
      busyMark(c, {markLeft + kMarkBox / 2, top + f.l13 / 2}, s.spinnerAngle);
      c.text(restoring ? L"Restoring the earlier state" : name, {nameLeft, top}, 13, Weight::SemiBold, kStrongText);
      if (!restoring && step.percent >= 0) {
        std::wstring percent = std::to_wstring(step.percent) + L"%";
        c.text(percent, {right - width(percent, 12), top + (f.l13 - f.l12) / 2}, 12, Weight::Regular, kBodyText);
      }
      // The bar and the detail line take the panel's whole width: the longest detail needs it.
      RectF bar = {markLeft, top + f.l13 + 8, right, top + f.l13 + 8 + 6};
      c.fillRoundRect(bar, 3, kTrack);
      int32_t percent = restoring ? 0 : std::min<int32_t>(step.percent, 100);
      if (percent > 0)
        c.fillRoundRect({bar.left, bar.top, bar.left + bar.width() * static_cast<float>(percent) / 100.0f, bar.bottom},
                        3, kAccent);
      const wchar_t* line = restoring ? L"Undoing what setup changed. Please wait." : detail;
      c.text(fitLine(line, right - markLeft, 12), {markLeft, bar.bottom + 8 + (kSmallLine - f.l12) / 2}, 12,
             Weight::Regular, kBodyText);
      y += height + 14;
      continue;
    }
    float boxTop = y + (f.l13 - kMarkBox) / 2;
    PointF centre = {markLeft + kMarkBox / 2, boxTop + kMarkBox / 2};
    if (step.status == kStepDone) {
      c.strokeCircle(centre, 7.25f, 1.75f, kSuccess);
      checkMark(c, markLeft, boxTop, 1, 1.75f, kSuccess);
      c.text(name, {nameLeft, y}, 13, Weight::Regular, kBodyText);
    } else {
      c.strokeCircle(centre, 7.25f, 1.5f, kPendingMark);
      c.text(name, {nameLeft, y}, 13, Weight::Regular, kMutedText);
    }
    y += f.l13 + 14;
  }
}

void drawReadyPage(Canvas& c, const UiState& s, const Frame& f) {
  RectF in = f.inner;
  float y = badge(c, f, L"Installed", in.top) + 14;
  y = paragraph(c, f,
                s.notOptimized ? L"Installed and ready. It couldn't be prepared ahead of time, so the first start "
                                 L"will be slower."
                               : L"Prepared for this PC, so it opens quickly from the first launch.",
                y, kBodyText);
  y += 16;
  const float valueLeft = in.left + 120;
  struct Row {
    const wchar_t* label;
    std::wstring value;
  };
  const Row rows[2] = {{L"INSTALLED TO", s.folder}, {L"START-UP", s.notOptimized ? L"Not optimized" : L"Optimized"}};
  for (const Row& r : rows) {
    if (y + kBodyLine > in.bottom) break;
    c.line({in.left, y}, {in.right, y}, f.p, kRail);
    y += 10;
    c.text(r.label, {in.left, y + (kBodyLine - f.l11) / 2}, 11, Weight::SemiBold, kMutedText);
    std::vector<std::wstring> value = wrapText(r.value, in.right - valueLeft, 13);
    y = drawLines(c, f, value, valueLeft, y, in.right - valueLeft, std::min(in.bottom, y + 2 * kBodyLine), 13,
                  kBodyLine, Weight::Regular, kStrongText) + 10;
  }
}

void drawMessagePage(Canvas& c, const UiState& s, const Frame& f) {
  float y = f.inner.top;
  if (s.page == kPageRemoved) y = badge(c, f, L"Removed", y) + 14;
  bool first = true;
  for (const std::wstring& text : messageParagraphs(s)) {
    if (!first) y += 10;
    y = paragraph(c, f, text, y, kBodyText);
    first = false;
  }
  if (s.page == kPageFailed && !s.failureText.empty()) y = paragraph(c, f, s.failureText, y + 10, kError);
  if (s.page == kPageConfirmUninstall) note(c, f, kKeepNote, y + 16, kSuccess, kSuccessFill);
}

void drawBody(Canvas& c, const UiState& s, const Frame& f) {
  switch (s.page) {
    case kPageWelcome: drawLicensePage(c, s, f); break;
    case kPageOptions: drawOptionsPage(c, s, f); break;
    case kPageInstalling:
    case kPageRollingBack:
    case kPageRemoving: drawProgressPage(c, s, f); break;
    case kPageReady: drawReadyPage(c, s, f); break;
    default: drawMessagePage(c, s, f); break;
  }
}

void drawButtonsAndLink(Canvas& c, const UiState& s, const Frame& f) {
  bool live = s.question == 0;
  for (const Button& b : pageButtons(s, f)) drawButton(c, s, f, b, live);
  if (linkShown(s.page)) {
    RectF t = linkTextRect(s, f);
    bool hover = live && (s.hover == kElemLink || s.pressed == kElemLink);
    int colour = hover ? kAccentHover : kAccent;
    c.text(linkText(s), {t.left, t.top}, 13, Weight::Medium, colour);
    c.linkUnderline(linkText(s), {t.left, t.top}, 13, colour);
  }
}

void drawQuestion(Canvas& c, const UiState& s, const Frame& f) {
  QuestionBox q = questionBox(s, f);
  c.fillRect({0, 0, kWindowWidth, kWindowHeight}, kDim);
  c.fillRoundRect({q.box.left, q.box.top + 6, q.box.right, q.box.bottom + 6}, 12, kShadow);
  c.borderedRoundRect(q.box, 12, kBorder, kSurface);
  float left = q.box.left + f.p + kQuestionPad;
  float top = q.box.top + f.p + kQuestionPad;
  c.text(questionText(s.question).title, {left, top}, 15, Weight::SemiBold, kStrongText);
  float bodyTop = top + f.l15 + 8;
  drawLines(c, f, q.lines, left, bodyTop, q.bodyWidth, bodyTop + kBodyLine * static_cast<float>(q.lines.size()), 13,
            kBodyLine, Weight::Regular, kBodyText);
  for (const Button& b : q.buttons) drawButton(c, s, f, b, true);
}

void drawFocus(Canvas& c, const UiState& s) {
  if (!s.focusVisible || s.focus == 0 || s.focus == kElemThumb) return;
  for (const HitBox& h : hitBoxes(s)) {
    if (h.element != s.focus) continue;
    bool toggle = h.element >= kElemFirstTask && h.element < kElemFirstTask + kShownTaskBoxes;
    float radius = h.element == kElemAccept ? 4 : toggle ? kToggleHeight / 2 : 8;
    focusRing(c, h.rect, radius);
    return;
  }
}

}  // namespace

std::vector<std::wstring> licenseLinesOf(const std::wstring& text) { return wrapText(text, 528, 12); }

std::wstring headerLine(const UiState& s) {
  int step = 1;
  if (s.role == kRoleUninstall) {
    if (s.page == kPageRemoving) step = 2;
    else if (s.page == kPageRemoved || s.page == kPageAlmostDone) step = 3;
    return L"Uninstall \u00B7 Step " + std::to_wstring(step) + L" of 3";
  }
  switch (s.page) {
    case kPageOptions: step = 2; break;
    case kPageInstalling:
    case kPageRollingBack:
    case kPageStopped:
    case kPageFailed:
    case kPageIncomplete: step = 3; break;
    case kPageReady: step = 4; break;
    default: break;
  }
  return L"Setup \u00B7 Step " + std::to_wstring(step) + L" of 4";
}

const wchar_t* pageTitle(int32_t page) {
  if (page < 0 || page >= kPageCount) return L"";
  return kPageTitles[page];
}

std::vector<HitBox> hitBoxes(const UiState& s) {
  Frame f = frameOf(s);
  std::vector<HitBox> out;
  if (s.question != 0) {
    for (const Button& b : questionBox(s, f).buttons) out.push_back({b.element, b.rect});
    return out;
  }
  out.push_back({kElemTitleClose, closeButtonRect(f)});
  for (const Button& b : pageButtons(s, f))
    if (!b.disabled) out.push_back({b.element, b.rect});
  if (linkShown(s.page)) out.push_back({kElemLink, linkHitRect(s, f)});
  if (s.page == kPageWelcome) {
    LicenseLayout l = licenseLayout(f);
    out.push_back({kElemLicenseBox, l.box});
    if (licenseMaxScroll(s) > 0) out.push_back({kElemThumb, licenseThumb(s)});
    out.push_back({kElemAccept, l.accept});
  } else if (s.page == kPageOptions) {
    OptionsLayout o = optionsLayout(s, f);
    out.push_back({kElemFolder, o.field});
    out.push_back({kElemBrowse, o.browse.rect});
    for (const TaskRow& t : o.tasks) out.push_back({kElemFirstTask + static_cast<int32_t>(t.index), t.toggle});
  }
  return out;
}

int32_t hitTest(const UiState& s, float x, float y) {
  int32_t hit = 0;
  for (const HitBox& h : hitBoxes(s))
    if (h.rect.contains(x, y)) hit = h.element;
  return hit;
}

RectF folderField(const UiState& s) { return optionsLayout(s, frameOf(s)).field; }

float folderBaseline(const UiState& s) {
  Frame f = frameOf(s);
  RectF field = optionsLayout(s, f).field;
  return field.top + (kFieldHeight - f.l13) / 2 + static_cast<float>(fontAscent(13, f.k));
}

RectF licenseBox(const UiState& s) { return licenseLayout(frameOf(s)).box; }

int32_t licenseMaxScroll(const UiState& s) {
  float range = licenseContentHeight(s) - licenseBox(s).height();
  return range > 0 ? static_cast<int32_t>(std::ceil(range - 0.001f)) : 0;
}

RectF licenseTrack(const UiState& s) {
  RectF box = licenseBox(s);
  RectF thumb = licenseThumb(s);
  return {thumb.left - 2, box.top + kThumbInset, box.right, box.bottom - kThumbInset};
}

RectF licenseThumb(const UiState& s) {
  Frame f = frameOf(s);
  RectF box = licenseBox(s);
  float content = licenseContentHeight(s);
  float track = box.height() - 2 * kThumbInset;
  // The part of the content in view (the box less its padding above and below) sets the thumb.
  float height = std::min(track, std::max(kMinThumb, (box.height() - kLicensePadding) * track / content));
  int32_t max = licenseMaxScroll(s);
  float top = box.top + kThumbInset;
  if (max > 0) top += (track - height) * static_cast<float>(std::clamp(s.licenseScroll, 0, max)) / static_cast<float>(max);
  float right = box.right - f.p - kThumbInset;
  return {right - kThumbWidth, top, right, top + height};
}

float licenseFreeTrack(const UiState& s) { return licenseTrack(s).height() - licenseThumb(s).height(); }

void drawPage(Canvas& canvas, const UiState& s) {
  Frame f = frameOf(s);
  drawWindowFrame(canvas, s, f);
  drawBody(canvas, s, f);
  drawButtonsAndLink(canvas, s, f);
  if (s.question != 0) drawQuestion(canvas, s, f);
  drawFocus(canvas, s);
}

}  // namespace zs::ui
