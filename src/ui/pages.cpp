#include "ui/pages.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "ui/silent_sink.h"
#include "ui/text_layout.h"

namespace zs::ui {

namespace {

constexpr float kRailPad = 12;
constexpr float kBrandSize = 36;
constexpr float kAcceptBox = 18;
constexpr float kMarkBox = 16;

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

constexpr const wchar_t* kFolderLabel = L"Install folder";
constexpr const wchar_t* kSkipped = L"Skipped";
constexpr const wchar_t* kKeepNote = L"Your projects and settings stay as they are.";

// ---- Texts by page ----

// The body paragraphs of the message pages, in order; empty for pages with a body of their own.
std::vector<std::wstring> messageParagraphs(const UiState& s) {
  switch (s.page) {
    case Page::Stopped: return {L"Everything is back the way it was."};
    case Page::Failed: return {L"Setup ran into a problem and put everything back the way it was."};
    case Page::Incomplete:
      return {L"Some changes are still in place. Run this setup again to finish putting things back."};
    case Page::OldWindows: return {L"Zelvan needs Windows 8.1 or later. Nothing has been changed."};
    case Page::NoDotNet:
      return {L"Zelvan needs .NET Framework 4.8, and this PC doesn't have it yet. Nothing has been changed.",
              L"Install .NET Framework 4.8 from Microsoft, then run this setup again."};
    case Page::Damaged: return {L"This setup file is damaged. Please download it again. Nothing has been changed."};
    case Page::NewerInstalled: return {L"A newer version of Zelvan is already installed. Nothing has been changed."};
    case Page::MsiCopy:
      return {L"An older Windows Installer copy of Zelvan is on this PC. Remove it in Apps & Features, then run "
              L"this setup again."};
    case Page::BadSwitch: return {L"Setup doesn't recognise this switch: " + s.errorDetail};
    case Page::ConfirmUninstall: return {L"Zelvan will be removed from this PC."};
    case Page::Removed: return {L"Your projects and settings are still in your Documents folder."};
    case Page::AlmostDone: return {L"Some files were in use. They'll go the next time you restart."};
    case Page::CantUninstall:
      return {L"Setup's record of this install is missing, so nothing was removed. Run the Zelvan setup again to "
              L"repair it."};
    default: return {};
  }
}

// ---- Drawing helpers ----

// Lines one under the other, each centred in its line pitch; none below maxBottom. Returns the
// top of whatever comes next.
float drawLines(Canvas& c, const Frame& f, std::vector<std::wstring> lines, float x, float y, float maxWidth,
                float maxBottom, float size, float pitch, Weight weight, Colour colour) {
  float ownLine = size == 12 ? f.l12 : size == 13 ? f.l13 : size == 15 ? f.l15 : f.l11;
  size_t fit = pitch > 0 && maxBottom > y ? static_cast<size_t>((maxBottom - y + 0.01f) / pitch) : 0;
  capLines(lines, fit, maxWidth, size);
  float offset = (pitch - ownLine) / 2;
  for (size_t i = 0; i < lines.size(); ++i)
    c.text(lines[i], {x, y + static_cast<float>(i) * pitch + offset}, size, weight, colour);
  return y + static_cast<float>(lines.size()) * pitch;
}

float paragraph(Canvas& c, const Frame& f, std::wstring_view text, float y, Colour colour) {
  RectF in = f.inner;
  return drawLines(c, f, wrapText(text, in.width(), 13), in.left, y, in.width(), in.bottom, 13, kBodyLine,
                   Weight::Regular, colour);
}

RectF inflate(const RectF& r, float d) { return {r.left - d, r.top - d, r.right + d, r.bottom + d}; }

void focusRing(Canvas& c, const RectF& r, float radius) {
  c.strokeRoundRect(inflate(r, 3), radius + 3, 2, Colour::Focus);
}

void checkMark(Canvas& c, float x, float y, float grow, float strokeWidth, Colour colour) {
  const PointF pts[3] = {{x + 5 * grow, y + 8.2f * grow}, {x + 7 * grow, y + 10.2f * grow}, {x + 11 * grow, y + 6 * grow}};
  c.polyline(pts, 3, strokeWidth, colour);
}

void crossMark(Canvas& c, PointF centre, float half, float strokeWidth, Colour colour) {
  c.line({centre.x - half, centre.y - half}, {centre.x + half, centre.y + half}, strokeWidth, colour);
  c.line({centre.x + half, centre.y - half}, {centre.x - half, centre.y + half}, strokeWidth, colour);
}

void drawButton(Canvas& c, const UiState& s, const Frame& f, const Button& b, bool live) {
  const float radius = 8;
  bool hover = live && s.hover == b.element;
  bool pressed = live && s.pressed == b.element;
  Colour textColour;
  if (b.disabled) {
    c.borderedRoundRect(b.rect, radius, Colour::Border, Colour::SubtleFill);
    textColour = Colour::PendingMark;
  } else if (b.primary) {
    c.fillRoundRect(b.rect, radius, pressed ? Colour::AccentPressed : hover ? Colour::AccentHover : Colour::Accent);
    textColour = Colour::Surface;
  } else {
    Colour fill = pressed ? Colour::Rail : hover ? Colour::SubtleFill : Colour::Surface;
    c.borderedRoundRect(b.rect, radius, Colour::Border, fill);
    textColour = Colour::StrongText;
  }
  float tw = widthOf(b.text, b.textSize);
  float line = b.textSize == 13 ? f.l13 : static_cast<float>(lineHeight(b.textSize, f.k));
  c.text(b.text, {b.rect.left + (b.rect.width() - tw) / 2, b.rect.top + (b.rect.height() - line) / 2}, b.textSize,
         Weight::Medium, textColour);
}

// A small note in a tinted box; returns its bottom.
float note(Canvas& c, const Frame& f, std::wstring_view text, float top, Colour textColour, Colour fillColour) {
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
  float w = widthOf(text, 12) + 20;
  RectF r = {f.inner.left, top, f.inner.left + w, top + 24};
  c.fillRoundRect(r, 12, Colour::SuccessFill);
  c.text(text, {r.left + 10, r.top + (24 - f.l12) / 2}, 12, Weight::SemiBold, Colour::Success);
  return r.bottom;
}

// ---- The frame ----

Colour stageColour(Stage state) {
  switch (state) {
    case Stage::Current: return Colour::BodyText;
    case Stage::Pending: return Colour::MutedText;
    case Stage::Done: return Colour::Success;
    case Stage::Failed: return Colour::Error;
  }
  return Colour::BodyText;
}

}  // namespace

std::vector<RailEntry> railEntries(const UiState& s) {
  if (s.role == Role::Uninstall) {
    switch (s.page) {
      case Page::Removing:
        return {{L"Confirm", L"Confirmed", Stage::Done}, {L"Remove", L"Files and shortcuts", Stage::Current},
                {L"Finish", L"All done", Stage::Pending}};
      case Page::Removed:
      case Page::AlmostDone:
        return {{L"Confirm", L"Confirmed", Stage::Done}, {L"Remove", L"Done", Stage::Done},
                {L"Finish", L"All done", Stage::Current}};
      default:
        return {{L"Confirm", L"Remove Zelvan from this PC", Stage::Current},
                {L"Remove", L"Files and shortcuts", Stage::Pending}, {L"Finish", L"All done", Stage::Pending}};
    }
  }
  RailEntry welcome = {L"Welcome", L"Accepted", Stage::Done};
  RailEntry options = {L"Options", L"Set", Stage::Done};
  RailEntry finish = {L"Finish", L"Ready to open", Stage::Pending};
  switch (s.page) {
    case Page::Options:
      return {welcome, {L"Options", L"Folder and shortcuts", Stage::Current},
              {L"Install", L"Copy and optimize", Stage::Pending}, finish};
    case Page::Installing:
    case Page::RollingBack: return {welcome, options, {L"Install", L"Copy and optimize", Stage::Current}, finish};
    case Page::Ready:
      return {welcome, options, {L"Install", L"Done", Stage::Done}, {L"Finish", L"Ready to open", Stage::Current}};
    case Page::Stopped: return {welcome, options, {L"Install", L"Stopped", Stage::Current}, finish};
    case Page::Failed:
    case Page::Incomplete: return {welcome, options, {L"Install", L"Failed", Stage::Failed}, finish};
    default:
      return {{L"Welcome", L"License agreement", Stage::Current}, {L"Options", L"Folder and shortcuts", Stage::Pending},
              {L"Install", L"Copy and optimize", Stage::Pending}, finish};
  }
}

namespace {

void drawRailMark(Canvas& c, PointF centre, Stage state, float p) {
  const float r = 9;
  switch (state) {
    case Stage::Done:
      c.fillCircle(centre, r, Colour::Success);
      checkMark(c, centre.x - 8, centre.y - 8, 1, 1.75f, Colour::Surface);
      break;
    case Stage::Failed:
      c.fillCircle(centre, r, Colour::Error);
      crossMark(c, centre, 3.5f, 1.75f, Colour::Surface);
      break;
    case Stage::Current:
      c.strokeCircle(centre, r - 1, 2, Colour::Accent);
      c.fillCircle(centre, 3.5f, Colour::Accent);
      break;
    default: c.strokeCircle(centre, r - 0.75f, std::max(1.5f, p), Colour::PendingMark); break;
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
    if (e.state == Stage::Current) c.fillRoundRect(r, 8, Colour::CurrentStage);
    PointF centre = {left + kRailPad + 9, y + 10 + f.l13 / 2};
    marks.push_back(centre);
    drawRailMark(c, centre, e.state, f.p);
    c.text(e.name, {textLeft, y + 10}, 13, e.state == Stage::Current ? Weight::SemiBold : Weight::Medium,
           stageColour(e.state));
    float sy = y + 10 + f.l13 + 2;
    for (const std::wstring& line : sub) {
      c.text(line, {textLeft, sy}, 11, Weight::Regular, Colour::MutedText);
      sy += f.l11;
    }
    y += height + 6;
  }
  // The stages joined by a thin line between their marks.
  for (size_t i = 1; i < marks.size(); ++i)
    c.line({marks[i - 1].x, marks[i - 1].y + 13}, {marks[i].x, marks[i].y - 13}, f.p, Colour::Border);
}

void drawWindowFrame(Canvas& c, const UiState& s, const Frame& f) {
  c.fillRect({0, 0, kWindowWidth, kWindowHeight}, Colour::Background);
  const float railColumnRight = f.p + 20 + kRailWidth + 8;
  c.fillRect({0, 0, railColumnRight, kWindowHeight}, Colour::Rail);

  // The rail's header: the brand and the window title beside it.
  const float headerLeft = f.p + 20 + kRailPad;
  const float brandTop = (kTitleBandHeight - kBrandSize) / 2;
  c.brand({headerLeft, brandTop, headerLeft + kBrandSize, brandTop + kBrandSize});
  const wchar_t* title = s.role == Role::Uninstall ? L"Uninstall Zelvan" : L"Install Zelvan";
  c.text(title, {headerLeft + kBrandSize + 10, (kTitleBandHeight - f.l15) / 2}, 15, Weight::SemiBold,
         Colour::StrongText);

  RectF close = closeButtonRect(f);
  bool live = s.question == Question::None;
  bool pressed = live && s.pressed == Element::TitleClose;
  bool hover = live && s.hover == Element::TitleClose;
  Colour glyph = Colour::MutedText;
  if (pressed) {
    // A deeper red than the hover's, with the same white cross: visible on light and dark alike.
    c.fillRoundRect(close, 8, Colour::CloseDown);
    glyph = Colour::ClosePressed;
  } else if (hover) {
    c.fillRoundRect(close, 8, Colour::CloseHover);
    glyph = Colour::ClosePressed;
  }
  crossMark(c, {(close.left + close.right) / 2, (close.top + close.bottom) / 2}, 5, 1.25f, glyph);

  drawRail(c, s, f);
  if (!s.versionText.empty()) {
    std::wstring version = fitLine(L"Version " + s.versionText, kRailWidth - 2 * kRailPad, 12);
    c.text(version, {headerLeft, kWindowHeight - f.p - 20 - f.l12}, 12, Weight::Regular, Colour::MutedText);
  }

  c.text(headerLine(s), {f.contentLeft, f.headerTop}, 12, Weight::Medium, Colour::MutedText);
  c.text(pageTitle(s.page), {f.contentLeft, f.titleTop}, 24, Weight::SemiBold, Colour::StrongText);
  c.borderedRoundRect({f.contentLeft, f.contentTop, f.contentRight, f.contentBottom}, 10, Colour::Rail,
                      Colour::Surface);
}

// ---- Page bodies ----

void drawLicensePage(Canvas& c, const UiState& s, const Frame& f) {
  LicenseLayout l = licenseLayout(f);
  drawLines(c, f, l.intro, f.inner.left, f.inner.top, f.inner.width(), l.box.top, 13, kBodyLine, Weight::Regular,
            Colour::BodyText);

  bool focused = s.question == Question::None && s.focus == Element::LicenseBox;
  c.borderedRoundRect(l.box, 6, focused ? Colour::Focus : Colour::ControlEdge, Colour::Rail);
  c.pushClip(inflate(l.box, -f.p));
  float scroll = static_cast<float>(std::clamp(s.licenseScroll, 0, licenseMaxScroll(s)));
  float offset = (kLicenseLine - f.l12) / 2;
  for (size_t i = 0; i < s.licenseLines.size(); ++i) {
    float top = l.box.top + kLicensePadding / 2 + static_cast<float>(i) * kLicenseLine - scroll;
    if (top + kLicenseLine <= l.box.top) continue;
    if (top >= l.box.bottom) break;
    c.text(s.licenseLines[i], {l.box.left + 12, top + offset}, 12, Weight::Regular, Colour::BodyText);
  }
  c.popClip();
  if (licenseMaxScroll(s) > 0) {
    RectF thumb = licenseThumb(s);
    RectF groove = {thumb.left, l.box.top + kThumbInset, thumb.right, l.box.bottom - kThumbInset};
    c.fillRoundRect(groove, kThumbWidth / 2, Colour::SubtleFill);
    bool active =
        s.dragging || (s.question == Question::None && (s.hover == Element::Thumb || s.pressed == Element::Thumb));
    c.fillRoundRect(thumb, kThumbWidth / 2, active ? Colour::MutedText : Colour::PendingMark);
  }

  RectF box = {l.accept.left, l.accept.top + (kAcceptRow - kAcceptBox) / 2, l.accept.left + kAcceptBox,
               l.accept.top + (kAcceptRow + kAcceptBox) / 2};
  if (s.licenseAccepted) {
    c.fillRoundRect(box, 4, Colour::Accent);
    checkMark(c, box.left, box.top, kAcceptBox / kMarkBox, 2, Colour::Surface);
  } else {
    c.borderedRoundRect(box, 4, Colour::PendingMark, Colour::Surface);
  }
  c.text(kAcceptLabel, {l.accept.left + kAcceptLabelGap, l.accept.top + (kAcceptRow - f.l13) / 2}, 13,
         Weight::Regular, Colour::StrongText);
}

float runningPanel(Canvas& c, const Frame& f, float y, std::wstring_view title, std::wstring_view detail,
                   int32_t percent, int32_t angle);

void drawOptionsPage(Canvas& c, const UiState& s, const Frame& f) {
  OptionsLayout o = optionsLayout(s, f);
  bool live = s.question == Question::None;
  c.text(kFolderLabel, {f.inner.left, o.labelTop}, 13, Weight::Medium, Colour::StrongText);
  // Filled like the real folder box, so that the box sits in the field without a seam.
  c.borderedRoundRect(o.field, 6, live && s.focus == Element::Folder ? Colour::Focus : Colour::ControlEdge,
                    Colour::Field);
  if (!s.editShown) {
    RectF span = folderTextSpan(f, o.field);
    std::wstring shown = fitLine(s.folder, span.width(), 13, true);
    c.text(shown, {span.left, o.field.top + (kFieldHeight - f.l13) / 2}, 13, Weight::Regular, Colour::StrongText);
  }
  drawButton(c, s, f, o.browse, live && !s.closingApp);
  if (s.closingApp) {
    // It takes a few seconds, and the page takes no input meanwhile: it says what goes on.
    runningPanel(c, f, o.field.bottom + 20, L"Closing Zelvan", L"Setup is closing Zelvan so that it can replace its files.",
                 -1, s.spinnerAngle);
    return;
  }

  for (const TaskRow& t : o.tasks) {
    const TaskChoice& task = s.tasks[t.index];
    float textRoom = t.toggle.left - 16 - t.row.left;
    c.text(fitLine(task.label, textRoom, 13), {t.row.left, t.row.top}, 13, Weight::Medium, Colour::StrongText);
    float detailTop = t.row.top + f.l13 + 2;
    drawLines(c, f, t.detail, t.row.left, detailTop, textRoom, t.row.bottom, 12, kSmallLine, Weight::Regular,
              Colour::BodyText);
    float cy = (t.toggle.top + t.toggle.bottom) / 2;
    const float knob = 7;
    if (task.on) {
      c.fillRoundRect(t.toggle, kToggleHeight / 2, Colour::Accent);
      c.fillCircle({t.toggle.right - kToggleHeight / 2, cy}, knob, Colour::Surface);
    } else {
      c.borderedRoundRect(t.toggle, kToggleHeight / 2, Colour::PendingMark, Colour::Surface);
      c.fillCircle({t.toggle.left + kToggleHeight / 2, cy}, knob - 1, Colour::PendingMark);
    }
  }

  if (s.folderError == 0)
    note(c, f, kKeepNote, o.noteTop, Colour::Success, Colour::SuccessFill);
  else
    note(c, f, s.folderErrorText, o.noteTop, Colour::Error, Colour::ErrorFill);
}

// The busy mark: a track with a quarter arc that turns with the spinner.
void busyMark(Canvas& c, PointF centre, int32_t angle) {
  c.strokeCircle(centre, 8, 2.0f, Colour::Track);
  c.arc(centre, 8, static_cast<float>(angle), 90, 2.0f, Colour::Accent);
}

// The running look: a panel with the busy mark, a title, the percent and its bar when there is a
// value (percent 0 or more), and a detail line. Returns its height.
float runningPanel(Canvas& c, const Frame& f, float y, std::wstring_view title, std::wstring_view detail,
                   int32_t percent, int32_t angle) {
  RectF in = f.inner;
  const float markLeft = in.left + f.p + 12;
  const float nameLeft = markLeft + kMarkBox + 12;
  float height = runningPanelHeight(f);
  RectF panel = {in.left, y, in.right, y + height};
  c.borderedRoundRect(panel, 8, Colour::Rail, Colour::PanelFill);
  float top = panel.top + f.p + 12;
  float right = panel.right - f.p - 12;
  busyMark(c, busyMarkCentre(f, panel.top), angle);
  c.text(title, {nameLeft, top}, 13, Weight::SemiBold, Colour::StrongText);
  // The bar and the detail line take the panel's whole width: the longest detail needs it.
  RectF bar = {markLeft, top + f.l13 + 8, right, top + f.l13 + 8 + 6};
  if (percent >= 0) {
    std::wstring text = std::to_wstring(percent) + L"%";
    c.text(text, {right - widthOf(text, 12), top + (f.l13 - f.l12) / 2}, 12, Weight::Regular, Colour::BodyText);
    c.fillRoundRect(bar, 3, Colour::Track);
    int32_t filled = std::min<int32_t>(percent, 100);
    if (filled > 0)
      c.fillRoundRect({bar.left, bar.top, bar.left + bar.width() * static_cast<float>(filled) / 100.0f, bar.bottom},
                      3, Colour::Accent);
  }
  c.text(fitLine(detail, right - markLeft, 12), {markLeft, bar.bottom + 8 + (kSmallLine - f.l12) / 2}, 12,
         Weight::Regular, Colour::BodyText);
  return height;
}

void drawProgressPage(Canvas& c, const UiState& s, const Frame& f) {
  RectF in = f.inner;
  bool uninstall = s.role == Role::Uninstall;
  bool restoring = s.page == Page::RollingBack;
  // Marks and names line up in two columns whether a row is plain or the running panel.
  const float markLeft = in.left + f.p + 12;
  const float nameLeft = markLeft + kMarkBox + 12;
  for (const ProgressRow& row : progressRows(s, f)) {
    const int32_t i = row.step;
    const float y = row.top;
    const StepSlot& step = s.steps[i];
    const wchar_t* name = uninstall ? uninstallStepName(i) : installStepName(i);
    const wchar_t* detail = uninstall ? uninstallStepDetail(i) : installStepDetail(i);
    if (row.panel) {
      // Without a value (putting things back, the uninstall's steps) the turning mark alone says
      // that work goes on: an empty bar would say that nothing does.
      runningPanel(c, f, y, restoring ? L"Restoring the earlier state" : name,
                   restoring ? L"Undoing what setup changed. Please wait." : detail, restoring ? -1 : step.percent,
                   s.spinnerAngle);
      continue;
    }
    float boxTop = y + (f.l13 - kMarkBox) / 2;
    PointF centre = {markLeft + kMarkBox / 2, boxTop + kMarkBox / 2};
    if (stepSkipped(s, i)) {
      // The pending look crossed out by a dash, and the word, so that it never reads as done.
      c.strokeCircle(centre, 7.25f, 1.5f, Colour::PendingMark);
      c.line({centre.x - 4, centre.y}, {centre.x + 4, centre.y}, 1.5f, Colour::PendingMark);
      c.text(name, {nameLeft, y}, 13, Weight::Regular, Colour::MutedText);
      c.text(kSkipped, {in.right - f.p - 12 - widthOf(kSkipped, 12), y + (f.l13 - f.l12) / 2}, 12, Weight::Regular,
             Colour::MutedText);
    } else if (step.status == SlotStatus::Done) {
      c.strokeCircle(centre, 7.25f, 1.75f, Colour::Success);
      checkMark(c, markLeft, boxTop, 1, 1.75f, Colour::Success);
      c.text(name, {nameLeft, y}, 13, Weight::Regular, Colour::BodyText);
    } else {
      c.strokeCircle(centre, 7.25f, 1.5f, Colour::PendingMark);
      c.text(name, {nameLeft, y}, 13, Weight::Regular, Colour::MutedText);
    }
  }
}

void drawReadyPage(Canvas& c, const UiState& s, const Frame& f) {
  RectF in = f.inner;
  float y = badge(c, f, L"Installed", in.top) + 14;
  y = paragraph(c, f,
                s.notOptimized ? L"Installed and ready. It couldn't be prepared ahead of time, so the first start "
                                 L"will be slower."
                               : L"Prepared for this PC, so it opens quickly from the first launch.",
                y, Colour::BodyText);
  y += 16;
  const float valueLeft = in.left + 120;
  struct Row {
    const wchar_t* label;
    std::wstring value;
  };
  const Row rows[2] = {{L"INSTALLED TO", s.folder}, {L"START-UP", s.notOptimized ? L"Not optimized" : L"Optimized"}};
  for (const Row& r : rows) {
    if (y + kBodyLine > in.bottom) break;
    c.line({in.left, y}, {in.right, y}, f.p, Colour::Rail);
    y += 10;
    c.text(r.label, {in.left, y + (kBodyLine - f.l11) / 2}, 11, Weight::SemiBold, Colour::MutedText);
    std::vector<std::wstring> value = wrapText(r.value, in.right - valueLeft, 13);
    // A folder too long for its two lines keeps its end, as the folder field does.
    if (value.size() > 2 && r.value == s.folder) value = {fitLine(r.value, in.right - valueLeft, 13, true)};
    y = drawLines(c, f, value, valueLeft, y, in.right - valueLeft, std::min(in.bottom, y + 2 * kBodyLine), 13,
                  kBodyLine, Weight::Regular, Colour::StrongText) + 10;
  }
}

void drawMessagePage(Canvas& c, const UiState& s, const Frame& f) {
  float y = f.inner.top;
  if (s.page == Page::Removed) y = badge(c, f, L"Removed", y) + 14;
  bool first = true;
  for (const std::wstring& text : messageParagraphs(s)) {
    if (!first) y += 10;
    y = paragraph(c, f, text, y, Colour::BodyText);
    first = false;
  }
  if (s.page == Page::Failed && !s.failureText.empty()) y = paragraph(c, f, s.failureText, y + 10, Colour::Error);
  if (s.page == Page::ConfirmUninstall) note(c, f, kKeepNote, y + 16, Colour::Success, Colour::SuccessFill);
}

void drawBody(Canvas& c, const UiState& s, const Frame& f) {
  switch (s.page) {
    case Page::Welcome: drawLicensePage(c, s, f); break;
    case Page::Options: drawOptionsPage(c, s, f); break;
    case Page::Installing:
    case Page::RollingBack:
    case Page::Removing: drawProgressPage(c, s, f); break;
    case Page::Ready: drawReadyPage(c, s, f); break;
    default: drawMessagePage(c, s, f); break;
  }
}

void drawButtonsAndLink(Canvas& c, const UiState& s, const Frame& f) {
  bool live = s.question == Question::None;
  for (const Button& b : pageButtons(s, f)) drawButton(c, s, f, b, live);
  if (linkShown(s.page)) {
    RectF t = linkTextRect(s, f);
    bool hover = live && (s.hover == Element::Link || s.pressed == Element::Link);
    Colour colour = hover ? Colour::AccentHover : Colour::Accent;
    c.text(linkText(s), {t.left, t.top}, 13, Weight::Medium, colour);
    c.linkUnderline(linkText(s), {t.left, t.top}, 13, colour);
  }
}

void drawQuestion(Canvas& c, const UiState& s, const Frame& f) {
  QuestionBox q = questionBox(s, f);
  c.fillRect({0, 0, kWindowWidth, kWindowHeight}, Colour::Dim);
  c.fillRoundRect({q.box.left, q.box.top + 6, q.box.right, q.box.bottom + 6}, 12, Colour::Shadow);
  c.borderedRoundRect(q.box, 12, Colour::Border, Colour::Surface);
  float left = q.box.left + f.p + kQuestionPad;
  float top = q.box.top + f.p + kQuestionPad;
  c.text(questionText(s.question).title, {left, top}, 15, Weight::SemiBold, Colour::StrongText);
  float bodyTop = top + f.l15 + 8;
  drawLines(c, f, q.lines, left, bodyTop, q.bodyWidth, bodyTop + kBodyLine * static_cast<float>(q.lines.size()), 13,
            kBodyLine, Weight::Regular, Colour::BodyText);
  for (const Button& b : q.buttons) drawButton(c, s, f, b, true);
}

void drawFocus(Canvas& c, const UiState& s) {
  if (!s.focusVisible || s.focus == Element::None || s.focus == Element::Thumb) return;
  for (const HitBox& h : hitBoxes(s)) {
    if (h.element != s.focus) continue;
    float radius = h.element == Element::Accept ? 4 : isTaskBox(h.element) ? kToggleHeight / 2 : 8;
    focusRing(c, h.rect, radius);
    return;
  }
}

}  // namespace

std::wstring headerLine(const UiState& s) {
  int step = 1;
  if (s.role == Role::Uninstall) {
    if (s.page == Page::Removing) step = 2;
    else if (s.page == Page::Removed || s.page == Page::AlmostDone) step = 3;
    return L"Uninstall \u00B7 Step " + std::to_wstring(step) + L" of 3";
  }
  switch (s.page) {
    case Page::Options: step = 2; break;
    case Page::Installing:
    case Page::RollingBack:
    case Page::Stopped:
    case Page::Failed:
    case Page::Incomplete: step = 3; break;
    case Page::Ready: step = 4; break;
    default: break;
  }
  return L"Setup \u00B7 Step " + std::to_wstring(step) + L" of 4";
}

const wchar_t* pageTitle(Page page) {
  int32_t index = static_cast<int32_t>(page);
  if (index < 0 || index >= kPageCount) return L"";
  return kPageTitles[index];
}

void drawPage(Canvas& canvas, const UiState& s) {
  Frame f = frameOf(s);
  drawWindowFrame(canvas, s, f);
  drawBody(canvas, s, f);
  drawButtonsAndLink(canvas, s, f);
  if (s.question != Question::None) drawQuestion(canvas, s, f);
  drawFocus(canvas, s);
}

}  // namespace zs::ui
