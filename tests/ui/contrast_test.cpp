// Colours that everyone can see: every text a page draws against what is under it, the focus
// ring against what surrounds it, and the fields' boundaries and the marks that tell a check box's
// or switch's state against their background, in every theme, worked out from the palette and from the drawing itself.
// Text needs 4.5:1 (3:1 from size 18 on), the ring, the boundaries and the marks 3:1; the contrast theme's text
// aims at 7:1. Disabled buttons and the page dimmed under a question are exempt, as they cannot be
// used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ui/page_layout.h"
#include "ui/pages.h"
#include "ui/palette.h"
#include "ui/ui_state.h"

namespace zs::ui {
namespace {

struct Fill {
  RectF rect;
  Colour colour;
};

// Keeps the fills in drawing order, and the texts, rings and boxes' outlines to be judged.
class ContrastCanvas : public Canvas {
 public:
  struct Mark {
    RectF rect;  // what is judged sits on this rectangle's edge
    Colour colour;
    size_t fillsBefore;
    float size;  // text size, or 0 for a ring or an outline
    std::wstring text;
  };
  std::vector<Fill> fills;
  std::vector<Mark> texts, rings, outlines;
  size_t dimFrom = SIZE_MAX;

  void fillRect(const RectF& r, Colour c) override {
    if (c == Colour::Dim && dimFrom == SIZE_MAX) dimFrom = texts.size();
    fills.push_back({r, c});
  }
  void fillRoundRect(const RectF& r, float, Colour c) override {
    outlines.push_back({r, c, fills.size(), 0, {}});
    fills.push_back({r, c});
  }
  void borderedRoundRect(const RectF& r, float, Colour border, Colour fill) override {
    outlines.push_back({r, border, fills.size(), 0, {}});
    fills.push_back({r, border});
    fills.push_back({{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, fill});
    // A focused box's own border is its ring: judged against its fill and what is around it.
    if (border == Colour::Focus) rings.push_back({r, border, fills.size(), 0, {}});
  }
  void strokeRoundRect(const RectF& r, float, float, Colour c) override {
    if (c == Colour::Focus) rings.push_back({r, c, fills.size(), 0, {}});
  }
  void line(PointF, PointF, float, Colour) override {}
  void polyline(const PointF*, size_t, float, Colour) override {}
  void fillCircle(PointF c, float r, Colour colour) override { fills.push_back({{c.x - r, c.y - r, c.x + r, c.y + r}, colour}); }
  void strokeCircle(PointF, float, float, Colour) override {}
  void arc(PointF, float, float, float, float, Colour) override {}
  void text(std::wstring_view t, PointF at, float size, Weight, Colour c) override {
    float h = size * 1.2f;
    texts.push_back({{at.x, at.y, at.x + widthOf(t, size), at.y + h}, c, fills.size(), size, std::wstring(t)});
  }
  void linkUnderline(std::wstring_view, PointF, float, Colour) override {}
  void brand(const RectF&) override {}
  void pushClip(const RectF&) override {}
  void popClip() override {}
};

double channel(uint32_t argb, int shift) { return ((argb >> shift) & 0xFFu) / 255.0; }

// What a point shows after the first `count` fills: each translucent one over what is below.
void composite(const std::vector<Fill>& fills, size_t count, float x, float y, Theme theme, double rgb[3]) {
  rgb[0] = rgb[1] = rgb[2] = 1;
  for (size_t i = 0; i < count && i < fills.size(); ++i) {
    if (!fills[i].rect.contains(x, y)) continue;
    uint32_t c = paletteColour(theme, fills[i].colour);
    double a = channel(c, 24);
    for (int k = 0; k < 3; ++k) rgb[k] = channel(c, 16 - 8 * k) * a + rgb[k] * (1 - a);
  }
}

double luminance(const double rgb[3]) {
  double l[3];
  for (int k = 0; k < 3; ++k) l[k] = rgb[k] <= 0.04045 ? rgb[k] / 12.92 : std::pow((rgb[k] + 0.055) / 1.055, 2.4);
  return 0.2126 * l[0] + 0.7152 * l[1] + 0.0722 * l[2];
}

double ratio(const double a[3], const double b[3]) {
  double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

double contrastOf(Colour front, Theme theme, const std::vector<Fill>& fills, size_t before, float x, float y) {
  double fg[3], bg[3];
  composite(fills, before, x, y, theme, bg);
  uint32_t c = paletteColour(theme, front);
  double a = channel(c, 24);
  for (int k = 0; k < 3; ++k) fg[k] = channel(c, 16 - 8 * k) * a + bg[k] * (1 - a);
  return ratio(fg, bg);
}

UiState base(Role role, Page page) {
  UiState s;
  s.role = role;
  s.versionText = L"4.2.1";
  s.folder = L"C:\\Program Files\\Zelvan";
  s.logPath = L"C:\\ProgramData\\Zelvan\\Setup.log";
  s.failureText = L"The disk is full.";
  s.licenseLines = {L"ZELVAN LICENSE", L"You may use this program."};
  s.tasks = {{L"desktopicon", L"Desktop shortcut", L"An icon on the desktop.", true, true},
             {L"fileassoc", L"File types", L"Open .zv files with Zelvan.", false, true}};
  s.steps[0].status = SlotStatus::Done;
  s.steps[1] = {SlotStatus::Running, 45, L""};
  moveToPage(s, page);
  return s;
}

// Every look the pages have: each page and question, each focusable element focused, each
// element hovered and pressed, the boxes ticked and not, a refused folder.
std::vector<UiState> everyLook() {
  std::vector<UiState> out;
  for (Role role : {Role::Install, Role::Uninstall})
    for (int32_t p = 0; p < kPageCount; ++p) {
      UiState s = base(role, static_cast<Page>(p));
      std::vector<UiState> looks = {s};
      UiState unticked = s;
      unticked.licenseAccepted = false;
      unticked.folderError = 1;
      unticked.folderErrorText = L"That folder can't be used.";
      unticked.notOptimized = true;
      unticked.noRun = true;
      looks.push_back(unticked);
      for (int q = 1; q <= 5; ++q) {
        UiState asked = s;
        showQuestion(asked, static_cast<Question>(q));
        looks.push_back(asked);
      }
      for (const UiState& look : std::vector<UiState>(looks)) {
        for (Element e : tabOrder(look)) {
          UiState focused = look;
          focused.focus = e;
          focused.focusVisible = true;
          looks.push_back(focused);
        }
        if (look.licenseAccepted != s.licenseAccepted) continue;  // its buttons look as the first look's
        for (const HitBox& h : hitBoxes(look)) {
          UiState hovered = look;
          hovered.hover = h.element;
          looks.push_back(hovered);
          hovered.pressed = h.element;
          looks.push_back(hovered);
        }
      }
      out.insert(out.end(), looks.begin(), looks.end());
    }
  return out;
}

const char* const kThemeNames[kThemeCount] = {"light", "warm", "dim", "dark", "contrast"};

TEST(Contrast, EveryDrawnPairMeetsTheLevelInEveryTheme) {
  // theme, kind, front, back -> the lowest ratio seen
  std::map<std::string, double> worst;
  std::map<std::string, double> needed;
  auto judge = [&](int theme, const char* kind, Colour front, const std::vector<Fill>& fills, size_t before,
                   float x, float y, double need) {
    // The entry under the point names the pair.
    int back = -1;
    for (size_t i = 0; i < before && i < fills.size(); ++i)
      if (fills[i].rect.contains(x, y)) back = static_cast<int>(fills[i].colour);
    char key[96];
    std::snprintf(key, sizeof key, "%-8s %-7s %2d on %2d", kThemeNames[theme], kind, static_cast<int>(front), back);
    double r = contrastOf(front, static_cast<Theme>(theme), fills, before, x, y);
    auto [it, fresh] = worst.emplace(key, r);
    if (!fresh) it->second = std::min(it->second, r);
    needed[key] = need;
  };
  for (const UiState& look : everyLook()) {
    Frame f = frameOf(look);
    std::vector<RectF> disabled;
    for (const Button& b : pageButtons(look, f))
      if (b.disabled) disabled.push_back(b.rect);
    // The page names entries, not colours: one drawing serves every theme.
    const UiState& s = look;
    ContrastCanvas c;
    drawPage(c, s);
    for (int theme = 0; theme < kThemeCount; ++theme) {
      for (size_t i = 0; i < c.texts.size(); ++i) {
        const auto& t = c.texts[i];
        if (i < c.dimFrom && s.question != Question::None) continue;
        float x = t.rect.left + 1, y = (t.rect.top + t.rect.bottom) / 2;
        if (std::any_of(disabled.begin(), disabled.end(), [&](const RectF& r) { return r.contains(x, y); })) continue;
        bool large = t.size >= 18;
        double need = large ? 3.0 : (theme == static_cast<int>(Theme::Contrast) ? 7.0 : 4.5);
        judge(theme, large ? "large" : "text", t.colour, c.fills, t.fillsBefore, x, y, need);
      }
      for (const auto& r : c.rings) {
        // Just inside the ring, between it and what it surrounds, and just outside it.
        float y = (r.rect.top + r.rect.bottom) / 2;
        judge(theme, "focus", r.colour, c.fills, r.fillsBefore, r.rect.left + 1.5f, y, 3.0);
        judge(theme, "focus", r.colour, c.fills, r.fillsBefore, r.rect.left - 1, y, 3.0);
      }
      // The fields, the accept box and the task switches: the first shape inside each is its
      // boundary, or tells its state.
      std::vector<RectF> boxes;
      if (s.question == Question::None && s.page == Page::Welcome) {
        boxes.push_back(licenseLayout(f).box);
        boxes.push_back(licenseLayout(f).accept);
      }
      if (s.question == Question::None && s.page == Page::Options) {
        boxes.push_back(optionsLayout(s, f).field);
        for (const TaskRow& t : optionsLayout(s, f).tasks) boxes.push_back(t.toggle);
      }
      for (const RectF& box : boxes)
        for (const auto& o : c.outlines)
          if (o.rect.left >= box.left - 0.01f && o.rect.right <= box.right + 0.01f && o.rect.top >= box.top - 0.01f &&
              o.rect.bottom <= box.bottom + 0.01f) {
            judge(theme, "mark", o.colour, c.fills, o.fillsBefore, o.rect.left - 1, (o.rect.top + o.rect.bottom) / 2, 3.0);
            break;
          }
    }
  }
  std::string table, failing;
  for (const auto& [key, r] : worst) {
    char line[160];
    std::snprintf(line, sizeof line, "%s  %5.2f (needs %.1f)\n", key.c_str(), r, needed[key]);
    table += line;
    if (r < needed[key]) failing += line;
  }
  std::printf("%s", table.c_str());
  EXPECT_EQ(failing, "") << "pairs below the level";
}

}  // namespace
}  // namespace zs::ui
