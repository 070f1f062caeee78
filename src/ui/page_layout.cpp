#include "ui/page_layout.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "ui/silent_sink.h"
#include "ui/text_layout.h"

namespace zs::ui {

namespace {

constexpr float kButtonHeight = 40;
constexpr float kButtonGap = 8;
constexpr float kMinThumb = 24;
constexpr float kCloseSize = 36;
constexpr float kToggleWidth = 36;
constexpr float kQuestionLeft = 220;
constexpr float kQuestionWidth = 440;
constexpr float kTaskRowGap = 12;
constexpr float kMarkSize = 16;

constexpr const wchar_t* kIntro =
    L"Zelvan will be installed for everyone on this PC. Please read the license agreement.";
constexpr const wchar_t* kBrowse = L"Browse\u2026";

bool isHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

float buttonWidth(const Button& b, const Frame& f) {
  return widthOf(b.text, b.textSize) + (b.primary ? 44 : 36 + 2 * f.p);
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

RectF linkHitRect(const UiState& s, const Frame& f) {
  RectF t = linkTextRect(s, f);
  return {t.left - 4, f.rowTop + 6, t.right + 4, f.rowTop + kButtonHeight - 6};
}

std::wstring questionBody(const UiState& s) {
  switch (s.question) {
    case Question::AppOpen: return L"Setup needs to close Zelvan to continue. Save your work first.";
    case Question::AppDidNotClose: return L"Save your work and close Zelvan yourself, then try again.";
    case Question::Stop: return L"Zelvan will be put back the way it was.";
    case Question::FileInUse: return s.inUseFile + L" is in use. Close whatever is using it, then try again.";
    default:
      return L"Setup couldn't start it for you. Zelvan is in the Start menu; the log is at " + s.logPath + L".";
  }
}

float licenseContentHeight(const UiState& s) {
  return static_cast<float>(s.licenseLines.size()) * kLicenseLine + kLicensePadding;
}

}  // namespace

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

float widthOf(std::wstring_view text, float size) { return static_cast<float>(textWidth(text, size)); }

std::wstring fitLine(std::wstring_view text, float maxWidth, float size, bool fromEnd) {
  if (widthOf(text, size) <= maxWidth) return std::wstring(text);
  const std::wstring_view ellipsis = L"\u2026";
  float room = maxWidth - widthOf(ellipsis, size);
  size_t n = 0;
  float used = 0;
  while (n < text.size()) {
    wchar_t c = fromEnd ? text[text.size() - 1 - n] : text[n];
    float w = widthOf(std::wstring_view(&c, 1), size);
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

void capLines(std::vector<std::wstring>& lines, size_t maxLines, float maxWidth, float size) {
  if (lines.size() <= maxLines) return;
  lines.resize(maxLines);
  if (maxLines == 0) return;
  std::wstring last = lines.back();
  while (!last.empty() && last.back() == L' ') last.pop_back();
  lines.back() = fitLine(last + L"\u2026", maxWidth, size);
}

std::vector<std::wstring> licenseLinesOf(const std::wstring& text) { return wrapText(text, 528, 12); }

// ---- The frame ----

RectF closeButtonRect(const Frame& f) {
  float right = kWindowWidth - f.p - 20;
  float top = (kTitleBandHeight - kCloseSize) / 2;
  return {right - kCloseSize, top, right, top + kCloseSize};
}

std::vector<Button> pageButtons(const UiState& s, const Frame& f) {
  std::vector<Button> row;
  switch (s.page) {
    case Page::Welcome:
      row = {{Element::Cancel, L"Cancel", false, false, {}}, {Element::Next, L"Next", true, !s.licenseAccepted, {}}};
      break;
    case Page::Options:
      // While Zelvan is being closed nothing here can be used.
      row = {{Element::Back, L"Back", false, s.closingApp, {}},
             {Element::Install, L"Install", true, s.closingApp, {}}};
      break;
    case Page::Installing: row = {{Element::Cancel, L"Cancel", false, !stopOffered(s), {}}}; break;
    case Page::RollingBack: row = {{Element::Cancel, L"Cancel", false, true, {}}}; break;
    case Page::Ready:
      if (s.noRun)
        row = {{Element::Close, L"Close", true, false, {}}};
      else
        row = {{Element::Close, L"Close", false, false, {}}, {Element::OpenApp, L"Open Zelvan", true, false, {}}};
      break;
    case Page::ConfirmUninstall:
      row = {{Element::Cancel, L"Cancel", false, false, {}}, {Element::Uninstall, L"Uninstall", true, false, {}}};
      break;
    case Page::Removing: break;
    default: row = {{Element::Close, L"Close", true, false, {}}}; break;
  }
  layoutRow(row, f.contentRight, f.rowTop, f);
  return row;
}

bool linkShown(Page page) {
  switch (page) {
    case Page::Ready:
    case Page::Stopped:
    case Page::Failed:
    case Page::Incomplete:
    case Page::NoDotNet:
    case Page::Removed:
    case Page::AlmostDone: return true;
    default: return false;
  }
}

const wchar_t* linkText(const UiState& s) {
  if (s.page == Page::NoDotNet) return L"Open Microsoft's download page";
  return s.role == Role::Uninstall ? L"View the uninstall log" : L"View the install log";
}

RectF linkTextRect(const UiState& s, const Frame& f) {
  float y = f.rowTop + (kButtonHeight - f.l13) / 2;
  return {f.contentLeft, y, f.contentLeft + widthOf(linkText(s), 13), y + f.l13};
}

// ---- The question box ----

QuestionText questionText(Question q) {
  switch (q) {
    case Question::AppOpen: return {L"Zelvan is open", L"Close Zelvan", L"Cancel"};
    case Question::AppDidNotClose: return {L"Zelvan didn't close", L"Try again", L"Cancel"};
    case Question::Stop: return {L"Stop installing?", L"Stop installing", L"Keep installing"};
    case Question::FileInUse: return {L"A file is in use", L"Try again", L"Cancel"};
    default: return {L"Couldn't open that", L"Close", nullptr};
  }
}

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
  if (t.secondary) q.buttons.push_back({Element::Secondary, t.secondary, false, false, {}});
  q.buttons.push_back({Element::Primary, t.primary, true, false, {}});
  layoutRow(q.buttons, q.box.right - f.p - kQuestionPad, q.box.bottom - f.p - kQuestionPad - kButtonHeight, f);
  return q;
}

// ---- The welcome page ----

LicenseLayout licenseLayout(const Frame& f) {
  LicenseLayout l;
  RectF in = f.inner;
  l.intro = wrapText(kIntro, in.width(), 13);
  float boxTop = in.top + kBodyLine * static_cast<float>(l.intro.size()) + 12;
  float acceptTop = in.bottom - kAcceptRow;
  l.box = {in.left, boxTop, in.right, acceptTop - 14};
  l.accept = {in.left, acceptTop, in.left + widthOf(kAcceptLabel, 13) + kAcceptLabelGap, acceptTop + kAcceptRow};
  return l;
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
  if (max > 0)
    top += (track - height) * static_cast<float>(std::clamp(s.licenseScroll, 0, max)) / static_cast<float>(max);
  float right = box.right - f.p - kThumbInset;
  return {right - kThumbWidth, top, right, top + height};
}

float licenseFreeTrack(const UiState& s) { return licenseTrack(s).height() - licenseThumb(s).height(); }

// ---- The options page ----

OptionsLayout optionsLayout(const UiState& s, const Frame& f) {
  OptionsLayout o;
  RectF in = f.inner;
  o.labelTop = in.top;
  float fieldTop = in.top + f.l13 + 8;
  o.browse = {Element::Browse, kBrowse, false, false, {}, 14};
  float bw = buttonWidth(o.browse, f);
  o.browse.rect = {in.right - bw, fieldTop, in.right, fieldTop + kFieldHeight};
  o.field = {in.left, fieldTop, in.right - bw - kButtonGap, fieldTop + kFieldHeight};
  float y = o.field.bottom + 20;
  for (size_t i = 0; i < s.tasks.size() && i < static_cast<size_t>(kShownTaskBoxes); ++i) {
    if (!s.tasks[i].visible) continue;
    TaskRow t;
    t.index = i;
    float textRoom = in.right - kToggleWidth - 16 - in.left;
    t.detail = wrapText(s.tasks[i].detail, textRoom, 12);
    capLines(t.detail, kTaskDetailLines, textRoom, 12);
    float rowHeight = f.l13 + 2 + kSmallLine * static_cast<float>(std::max<size_t>(t.detail.size(), 1));
    t.row = {in.left, y, in.right, y + rowHeight};
    float ty = y + (rowHeight - kToggleHeight) / 2;
    t.toggle = {in.right - kToggleWidth, ty, in.right, ty + kToggleHeight};
    o.tasks.push_back(t);
    y += rowHeight + kTaskRowGap;
  }
  o.noteTop = y + 4;
  return o;
}

RectF folderField(const UiState& s) { return optionsLayout(s, frameOf(s)).field; }

RectF folderTextSpan(const Frame& f, const RectF& field) {
  return {field.left + f.p + kFieldTextInset, field.top, field.right - f.p - kFieldTextInset, field.bottom};
}

float folderBaseline(const UiState& s) {
  Frame f = frameOf(s);
  RectF field = optionsLayout(s, f).field;
  return field.top + (kFieldHeight - f.l13) / 2 + static_cast<float>(fontAscent(13, f.k));
}

// ---- The progress pages ----

std::vector<ProgressRow> progressRows(const UiState& s, const Frame& f) {
  bool restoring = s.page == Page::RollingBack;
  int32_t count = restoring ? 1 : s.role == Role::Uninstall ? kUninstallStepCount : kInstallStepCount;
  std::vector<ProgressRow> rows;
  float y = f.inner.top;
  for (int32_t i = 0; i < count; ++i) {
    bool panel = restoring || s.steps[i].status == SlotStatus::Running;
    rows.push_back({i, y, panel});
    y += (panel ? runningPanelHeight(f) : f.l13) + 14;
  }
  return rows;
}

float runningPanelHeight(const Frame& f) { return 2 * f.p + 24 + f.l13 + 8 + 6 + 8 + kSmallLine; }

PointF busyMarkCentre(const Frame& f, float panelTop) {
  return {f.inner.left + f.p + 12 + kMarkSize / 2, panelTop + f.p + 12 + f.l13 / 2};
}

std::vector<RectF> busyMarkAreas(const UiState& s) {
  Frame f = frameOf(s);
  std::vector<float> panelTops;
  if (s.page == Page::Options && s.closingApp) panelTops.push_back(optionsLayout(s, f).field.bottom + 20);
  if (s.page == Page::Installing || s.page == Page::RollingBack || s.page == Page::Removing)
    for (const ProgressRow& r : progressRows(s, f))
      if (r.panel) panelTops.push_back(r.top);
  std::vector<RectF> areas;
  // The mark's radius and stroke, with a margin for anti-aliasing and pixel rounding.
  const float reach = 8 + 2 + 2;
  for (float top : panelTops) {
    PointF c = busyMarkCentre(f, top);
    areas.push_back({c.x - reach, c.y - reach, c.x + reach, c.y + reach});
  }
  return areas;
}

// ---- Hit testing ----

std::vector<HitBox> hitBoxes(const UiState& s) {
  Frame f = frameOf(s);
  std::vector<HitBox> out;
  if (s.question != Question::None) {
    for (const Button& b : questionBox(s, f).buttons) out.push_back({b.element, b.rect});
    return out;
  }
  out.push_back({Element::TitleClose, closeButtonRect(f)});
  for (const Button& b : pageButtons(s, f))
    if (!b.disabled) out.push_back({b.element, b.rect});
  if (linkShown(s.page)) out.push_back({Element::Link, linkHitRect(s, f)});
  if (s.page == Page::Welcome) {
    LicenseLayout l = licenseLayout(f);
    out.push_back({Element::LicenseBox, l.box});
    if (licenseMaxScroll(s) > 0) out.push_back({Element::Thumb, licenseThumb(s)});
    out.push_back({Element::Accept, l.accept});
  } else if (s.page == Page::Options) {
    OptionsLayout o = optionsLayout(s, f);
    out.push_back({Element::Folder, o.field});
    out.push_back({Element::Browse, o.browse.rect});
    for (const TaskRow& t : o.tasks) out.push_back({taskBox(t.index), t.toggle});
  }
  return out;
}

Element hitTest(const UiState& s, float x, float y) {
  Element hit = Element::None;
  for (const HitBox& h : hitBoxes(s))
    if (h.rect.contains(x, y)) hit = h.element;
  return hit;
}

}  // namespace zs::ui
