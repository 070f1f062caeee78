#include "ui/pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "ui/page_layout.h"
#include "ui/printed_codes.h"
#include "ui/silent_sink.h"
#include "ui/text_layout.h"

namespace zs::ui {
namespace {

// Keeps everything a page draws, so that tests can ask what is shown where and in which colour.
class RecordingCanvas : public Canvas {
 public:
  struct Text {
    std::wstring text;
    PointF at;
    float size;
    Colour colour;
  };
  struct Shape {
    std::string kind;
    RectF rect;
    std::optional<Colour> colour;  // none for the brand image
  };
  std::vector<Text> texts;
  std::vector<Shape> shapes;
  std::vector<Text> underlines;
  int clipDepth = 0;

  void fillRect(const RectF& r, Colour colour) override { shapes.push_back({"fillRect", r, colour}); }
  void fillRoundRect(const RectF& r, float, Colour colour) override { shapes.push_back({"fillRoundRect", r, colour}); }
  void borderedRoundRect(const RectF& r, float, Colour border, Colour fill) override {
    shapes.push_back({"bordered", r, border});
    shapes.push_back({"borderedFill", r, fill});
  }
  void strokeRoundRect(const RectF& r, float, float, Colour colour) override {
    shapes.push_back({"strokeRoundRect", r, colour});
  }
  void line(PointF a, PointF b, float, Colour colour) override {
    shapes.push_back({"line", {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)}, colour});
  }
  void polyline(const PointF* points, size_t count, float, Colour colour) override {
    RectF r{points[0].x, points[0].y, points[0].x, points[0].y};
    for (size_t i = 1; i < count; ++i) {
      r.left = std::min(r.left, points[i].x), r.right = std::max(r.right, points[i].x);
      r.top = std::min(r.top, points[i].y), r.bottom = std::max(r.bottom, points[i].y);
    }
    shapes.push_back({"polyline", r, colour});
  }
  void fillCircle(PointF c, float r, Colour colour) override {
    shapes.push_back({"fillCircle", {c.x - r, c.y - r, c.x + r, c.y + r}, colour});
  }
  void strokeCircle(PointF c, float r, float, Colour colour) override {
    shapes.push_back({"strokeCircle", {c.x - r, c.y - r, c.x + r, c.y + r}, colour});
  }
  void arc(PointF c, float r, float, float, float, Colour colour) override {
    shapes.push_back({"arc", {c.x - r, c.y - r, c.x + r, c.y + r}, colour});
  }
  void text(std::wstring_view t, PointF at, float size, Weight, Colour colour) override {
    // "Browse…" is set at 14, between the formats' sizes, on its layout.
    bool browse = t == L"Browse\u2026" && size == 14;
    EXPECT_TRUE(browse || std::find(std::begin(kTextSizes), std::end(kTextSizes), size) != std::end(kTextSizes))
        << "no text format for size " << size;
    texts.push_back({std::wstring(t), at, size, colour});
  }
  void linkUnderline(std::wstring_view t, PointF at, float size, Colour colour) override {
    underlines.push_back({std::wstring(t), at, size, colour});
  }
  void brand(const RectF& r) override { shapes.push_back({"brand", r, std::nullopt}); }
  void pushClip(const RectF&) override { ++clipDepth; }
  void popClip() override {
    EXPECT_GT(clipDepth, 0);
    --clipDepth;
  }

  const Text* find(std::wstring_view t) const {
    for (const Text& x : texts)
      if (x.text == t) return &x;
    return nullptr;
  }
  bool drawnContaining(std::wstring_view part) const {
    return std::any_of(texts.begin(), texts.end(), [&](const Text& x) { return x.text.find(part) != std::wstring::npos; });
  }
};

UiState on(Role role, Page page, Question question = Question::None) {
  UiState s;
  s.role = role;
  s.versionText = L"4.2.1";
  s.folder = L"C:\\Program Files\\Zelvan";
  s.logPath = L"C:\\ProgramData\\Zelvan\\Setup.log";
  s.tasks = {{L"desktopicon", L"Desktop shortcut", L"An icon on the desktop.", true, true},
             {L"fileassoc", L"File types", L"Open .zv files with Zelvan.", false, true},
             {L"startfaster", L"Start faster", L"Prepare native images.", true, true},
             {L"fourth", L"Fourth", L"Never shown.", true, true}};
  moveToPage(s, page);
  if (question != Question::None) showQuestion(s, question);
  return s;
}

RecordingCanvas draw(const UiState& s) {
  RecordingCanvas c;
  drawPage(c, s);
  EXPECT_EQ(c.clipDepth, 0);
  return c;
}

RectF hitRectOf(const UiState& s, Element element) {
  for (const HitBox& h : hitBoxes(s))
    if (h.element == element) return h.rect;
  ADD_FAILURE() << "no hit box for element " << element;
  return {};
}

bool hasElement(const UiState& s, Element element) {
  auto boxes = hitBoxes(s);
  return std::any_of(boxes.begin(), boxes.end(), [&](const HitBox& h) { return h.element == element; });
}

struct Header {
  Role role;
  Page page;
  const wchar_t* text;
};

TEST(Pages, HeaderLineNamesTheRoleAndTheStep) {
  const Header cases[] = {
      {Role::Install, Page::Welcome, L"Setup \u00B7 Step 1 of 4"},
      {Role::Install, Page::Options, L"Setup \u00B7 Step 2 of 4"},
      {Role::Install, Page::Installing, L"Setup \u00B7 Step 3 of 4"},
      {Role::Install, Page::RollingBack, L"Setup \u00B7 Step 3 of 4"},
      {Role::Install, Page::Ready, L"Setup \u00B7 Step 4 of 4"},
      {Role::Install, Page::Stopped, L"Setup \u00B7 Step 3 of 4"},
      {Role::Install, Page::Failed, L"Setup \u00B7 Step 3 of 4"},
      {Role::Install, Page::Incomplete, L"Setup \u00B7 Step 3 of 4"},
      {Role::Install, Page::OldWindows, L"Setup \u00B7 Step 1 of 4"},
      {Role::Install, Page::BadSwitch, L"Setup \u00B7 Step 1 of 4"},
      {Role::Uninstall, Page::ConfirmUninstall, L"Uninstall \u00B7 Step 1 of 3"},
      {Role::Uninstall, Page::Removing, L"Uninstall \u00B7 Step 2 of 3"},
      {Role::Uninstall, Page::Removed, L"Uninstall \u00B7 Step 3 of 3"},
      {Role::Uninstall, Page::AlmostDone, L"Uninstall \u00B7 Step 3 of 3"},
      {Role::Uninstall, Page::CantUninstall, L"Uninstall \u00B7 Step 1 of 3"},
      {Role::Uninstall, Page::RollingBack, L"Uninstall \u00B7 Step 1 of 3"},
  };
  for (const Header& h : cases) {
    UiState s = on(h.role, h.page);
    EXPECT_EQ(headerLine(s), h.text) << "role " << h.role << " page " << h.page;
    RecordingCanvas c = draw(s);
    EXPECT_NE(c.find(h.text), nullptr) << "page " << h.page << " draws its header line";
    EXPECT_NE(c.find(pageTitle(h.page)), nullptr) << "page " << h.page << " draws its title";
  }
}

// What each page must show: a text that only it has, and whether the link is under it.
struct Shows {
  Role role;
  Page page;
  const wchar_t* text;
  const wchar_t* link;  // null: none
};

TEST(Pages, EachPageShowsItsTextsAndLink) {
  const Shows cases[] = {
      {Role::Install, Page::Welcome, L"I accept the license agreement", nullptr},
      {Role::Install, Page::Options, L"Browse\u2026", nullptr},
      {Role::Install, Page::Installing, L"Copying files", nullptr},
      {Role::Install, Page::RollingBack, L"Undoing what setup changed. Please wait.", nullptr},
      {Role::Install, Page::Ready, L"INSTALLED TO", L"View the install log"},
      {Role::Install, Page::Stopped, L"Everything is back the way it was.", L"View the install log"},
      {Role::Install, Page::Incomplete, L"Some changes are still in place.", L"View the install log"},
      {Role::Install, Page::OldWindows, L"Zelvan needs Windows 8.1 or later. Nothing has been changed.", nullptr},
      {Role::Install, Page::NoDotNet, L"Install .NET Framework 4.8 from Microsoft, then run this setup again.",
       L"Open Microsoft's download page"},
      {Role::Install, Page::Damaged, L"This setup file is damaged.", nullptr},
      {Role::Install, Page::NewerInstalled, L"A newer version of Zelvan is already installed.", nullptr},
      {Role::Install, Page::MsiCopy, L"Apps & Features", nullptr},
      {Role::Install, Page::BadSwitch, L"Setup doesn't recognise this switch: /bogus", nullptr},
      {Role::Uninstall, Page::ConfirmUninstall, L"Your projects and settings stay as they are.", nullptr},
      {Role::Uninstall, Page::Removing, L"Removing native images", nullptr},
      {Role::Uninstall, Page::Removed, L"Removed", L"View the uninstall log"},
      {Role::Uninstall, Page::AlmostDone, L"They'll go the next time you restart.", L"View the uninstall log"},
      {Role::Uninstall, Page::CantUninstall, L"Setup's record of this install is missing", nullptr},
  };
  for (const Shows& w : cases) {
    UiState s = on(w.role, w.page);
    s.errorDetail = L"/bogus";
    RecordingCanvas c = draw(s);
    EXPECT_TRUE(c.drawnContaining(w.text)) << "page " << w.page;
    EXPECT_NE(c.find(w.role == Role::Uninstall ? L"Uninstall Zelvan" : L"Install Zelvan"), nullptr);
    EXPECT_NE(c.find(L"Version 4.2.1"), nullptr);
    if (w.link) {
      ASSERT_EQ(c.underlines.size(), 1u) << "page " << w.page;
      EXPECT_EQ(c.underlines[0].text, w.link);
      EXPECT_NE(c.find(w.link), nullptr);
      EXPECT_TRUE(hasElement(s, Element::Link));
    } else {
      EXPECT_TRUE(c.underlines.empty()) << "page " << w.page;
      EXPECT_FALSE(hasElement(s, Element::Link)) << "page " << w.page;
    }
  }
}

TEST(Pages, FailurePageShowsTheFailureOnlyWhenThereIsOne) {
  UiState s = on(Role::Install, Page::Failed);
  RecordingCanvas plain = draw(s);
  const auto* first = plain.find(L"Setup ran into a problem and put everything back the way it was.");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->colour, Colour::BodyText);
  // The rail marks the failed stage in the error colour; the page itself uses it only for the failure.
  EXPECT_FALSE(std::any_of(plain.texts.begin(), plain.texts.end(), [&](const auto& t) {
    return t.colour == Colour::Error && t.at.x >= first->at.x;
  })) << "no failure text, so nothing in the error colour";

  s.failureText = L"The disk is full.";
  RecordingCanvas failed = draw(s);
  const auto* failure = failed.find(L"The disk is full.");
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->colour, Colour::Error);
  EXPECT_GT(failure->at.y, first->at.y);
}

// The filled button whose rectangle holds a drawn text.
const RecordingCanvas::Shape* buttonUnder(const RecordingCanvas& c, const RecordingCanvas::Text& t) {
  const RecordingCanvas::Shape* found = nullptr;
  for (const auto& sh : c.shapes)
    if ((sh.kind == "fillRoundRect" || sh.kind == "borderedFill") && sh.rect.contains(t.at.x, t.at.y) &&
        sh.rect.height() == 40)
      found = &sh;
  return found;
}

TEST(Pages, ReadyPageOffersOpeningUnlessNoRun) {
  UiState s = on(Role::Install, Page::Ready);
  RecordingCanvas offered = draw(s);
  ASSERT_NE(offered.find(L"Open Zelvan"), nullptr);
  ASSERT_NE(offered.find(L"Close"), nullptr);
  EXPECT_EQ(buttonUnder(offered, *offered.find(L"Open Zelvan"))->colour, Colour::Accent)
      << "Open Zelvan is the primary";
  EXPECT_NE(buttonUnder(offered, *offered.find(L"Close"))->colour, Colour::Accent) << "Close beside it is secondary";
  EXPECT_LT(hitRectOf(s, Element::Close).right, hitRectOf(s, Element::OpenApp).left) << "the primary is rightmost";

  s.noRun = true;
  RecordingCanvas noRun = draw(s);
  EXPECT_EQ(noRun.find(L"Open Zelvan"), nullptr);
  ASSERT_NE(noRun.find(L"Close"), nullptr);
  EXPECT_EQ(buttonUnder(noRun, *noRun.find(L"Close"))->colour, Colour::Accent) << "Close alone is the primary";
  EXPECT_FALSE(hasElement(s, Element::OpenApp));
  EXPECT_EQ(hitRectOf(s, Element::Close).width(), static_cast<float>(textWidth(L"Close", 13) + 44));
}

struct Progress {
  int32_t percent;
  float filled;  // of the bar, 0..1
  const wchar_t* shown;  // null: no percent text
};

TEST(Pages, RunningStepShowsItsPercentAndBar) {
  const Progress cases[] = {{-1, 0, nullptr}, {0, 0, L"0%"}, {37, 0.37f, L"37%"}, {100, 1, L"100%"}, {150, 1, L"150%"}};
  for (const Progress& p : cases) {
    UiState s = on(Role::Install, Page::Installing);
    s.steps[0].status = SlotStatus::Done;
    s.steps[1].status = SlotStatus::Running;
    s.steps[1].percent = p.percent;
    RecordingCanvas c = draw(s);
    EXPECT_NE(c.find(installStepName(1)), nullptr);
    EXPECT_NE(c.find(installStepDetail(1)), nullptr);
    bool anyPercent = std::any_of(c.texts.begin(), c.texts.end(), [](const auto& t) { return t.text.back() == L'%'; });
    if (p.shown) {
      EXPECT_NE(c.find(p.shown), nullptr) << p.percent;
    } else {
      EXPECT_FALSE(anyPercent) << "percent -1 shows no percent text";
    }
    const RecordingCanvas::Shape* track = nullptr;
    const RecordingCanvas::Shape* fill = nullptr;
    for (const auto& sh : c.shapes) {
      if (sh.kind == "fillRoundRect" && sh.colour == Colour::Track && sh.rect.height() == 6) track = &sh;
      if (sh.kind == "fillRoundRect" && sh.colour == Colour::Accent && sh.rect.height() == 6) fill = &sh;
    }
    if (p.percent < 0) {
      EXPECT_EQ(track, nullptr) << "no value: the turning mark alone, no empty bar";
      EXPECT_EQ(fill, nullptr);
      continue;
    }
    ASSERT_NE(track, nullptr);
    if (p.filled == 0) {
      EXPECT_EQ(fill, nullptr) << "nothing filled at " << p.percent;
    } else {
      ASSERT_NE(fill, nullptr) << p.percent;
      EXPECT_EQ(fill->rect.left, track->rect.left);
      EXPECT_NEAR(fill->rect.width(), track->rect.width() * p.filled, 0.01) << p.percent;
    }
  }
}

bool overlaps(const RectF& a, const RectF& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool isButton(Element e) {
  switch (e) {
    case Element::Close: case Element::Cancel: case Element::Next: case Element::Browse: case Element::Back:
    case Element::Install: case Element::Link: case Element::OpenApp: case Element::Uninstall: case Element::Secondary:
    case Element::Primary: case Element::TitleClose: return true;
    default: return false;
  }
}

// Every page of both roles, under every question, with short and overlong texts: all text lies in
// the window and no two buttons share a point.
TEST(Pages, EveryFrameStaysInsideTheWindow) {
  const std::wstring longText(700, L'w');
  std::wstring longWords;
  for (int i = 0; i < 400; ++i) longWords += L"word\u4E2D ";
  for (Role role : {Role::Install, Role::Uninstall})
    for (int32_t pageCode = 0; pageCode < kPageCount; ++pageCode)
      for (int32_t questionCode = 0; questionCode <= 5; ++questionCode)
        for (double scale : {1.0, 1.25, 1.5, 2.0})
          for (bool overlong : {false, true}) {
            UiState s = on(role, static_cast<Page>(pageCode), static_cast<Question>(questionCode));
            s.scale = scale;
            s.focusVisible = true;
            s.licenseLines = licenseLinesOf(overlong ? longWords : L"Short terms.");
            s.licenseScroll = overlong ? 100000 : 0;
            s.licenseAccepted = !overlong;
            s.noRun = overlong;
            s.notOptimized = overlong;
            if (overlong) {
              s.folder = L"C:\\" + longText;
              s.folderError = 3;
              s.folderErrorText = longWords;
              s.failureText = longWords;
              s.errorDetail = longText;
              s.inUseFile = longText;
              s.logPath = longWords;
              s.versionText = longText;
              for (auto& t : s.tasks) t.label = t.detail = longText;
            }
            for (int i = 0; i < 5; ++i) {
              SlotStatus status = i == 2 ? SlotStatus::Running : i < 2 ? SlotStatus::Done : SlotStatus::NotStarted;
              s.steps[i] = {status, overlong ? 150 : 40, L""};
            }
            RecordingCanvas c = draw(s);
            std::string where = "role " + std::to_string(static_cast<int>(role)) + " page " + std::to_string(pageCode) +
                                " question " + std::to_string(questionCode) + " scale " + std::to_string(scale) +
                                (overlong ? " overlong" : "");
            for (const auto& t : c.texts) {
              float right = t.at.x + static_cast<float>(textWidth(t.text, t.size));
              float bottom = t.at.y + static_cast<float>(lineHeight(t.size, scale));
              EXPECT_TRUE(t.at.x >= 0 && t.at.y >= 0 && right <= kWindowWidth && bottom <= kWindowHeight)
                  << where << ": text outside the window at " << t.at.x << "," << t.at.y;
            }
            std::vector<HitBox> boxes = hitBoxes(s);
            for (size_t i = 0; i < boxes.size(); ++i) {
              const RectF& r = boxes[i].rect;
              EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= kWindowWidth && r.bottom <= kWindowHeight)
                  << where << ": element " << boxes[i].element << " outside the window";
              for (size_t j = i + 1; j < boxes.size(); ++j)
                if (isButton(boxes[i].element) && isButton(boxes[j].element)) {
                  EXPECT_FALSE(overlaps(r, boxes[j].rect))
                      << where << ": elements " << boxes[i].element << " and " << boxes[j].element << " overlap";
                }
            }
          }
}

// Hover, press and focus as the page shows them; a question silences what lies under it.
struct Look {
  const char* what;
  Page page;
  Question question;
  Element hover, pressed, focus;
  bool focusVisible;
  Element element;             // whose rectangle is looked at
  std::optional<Colour> fill;  // the colour filled there; none: nothing filled over the background
  bool ring;                   // a focus ring around it
};

TEST(Pages, HoverPressAndFocusLooks) {
  constexpr Element none = Element::None;
  const Look cases[] = {
      {"close at rest", Page::Welcome, Question::None, none, none, none, false, Element::TitleClose, std::nullopt,
       false},
      {"close hovered", Page::Welcome, Question::None, Element::TitleClose, none, none, false, Element::TitleClose,
       Colour::CloseHover, false},
      {"close pressed", Page::Welcome, Question::None, Element::TitleClose, Element::TitleClose, none, false,
       Element::TitleClose, Colour::CloseDown, false},
      {"close under a question", Page::Options, Question::AppOpen, Element::TitleClose, Element::TitleClose,
       Element::Primary, false, Element::TitleClose, std::nullopt, false},
      {"primary at rest", Page::Welcome, Question::None, none, none, Element::Next, false, Element::Next,
       Colour::Accent, false},
      {"primary hovered", Page::Welcome, Question::None, Element::Next, none, Element::Next, false, Element::Next,
       Colour::AccentHover, false},
      {"primary pressed", Page::Welcome, Question::None, Element::Next, Element::Next, Element::Next, true,
       Element::Next, Colour::AccentPressed, true},
      {"question primary hovered", Page::Options, Question::AppOpen, Element::Primary, none, Element::Primary, true,
       Element::Primary, Colour::AccentHover, true},
      {"focus ring only when visible", Page::ConfirmUninstall, Question::None, none, none, Element::Uninstall, false,
       Element::Uninstall, Colour::Accent, false},
  };
  for (const Look& l : cases) {
    UiState s = on(l.page >= Page::ConfirmUninstall ? Role::Uninstall : Role::Install, l.page, l.question);
    s.hover = l.hover, s.pressed = l.pressed, s.focus = l.focus, s.focusVisible = l.focusVisible;
    UiState bare = s;
    bare.question = Question::None;  // where the close button lies, even while a question hides it from hit testing
    RectF where = hitRectOf(l.element == Element::TitleClose ? bare : s, l.element);
    RecordingCanvas c = draw(s);
    std::optional<Colour> fill;
    bool ring = false;
    for (const auto& sh : c.shapes) {
      bool inside = sh.rect.contains((where.left + where.right) / 2, (where.top + where.bottom) / 2);
      if (inside && sh.kind == "fillRoundRect" && sh.rect.width() <= where.width() + 0.01f) fill = sh.colour;
      if (sh.kind == "strokeRoundRect" && sh.colour == Colour::Focus && sh.rect.left < where.left &&
          sh.rect.right > where.right && sh.rect.top < where.top && sh.rect.bottom > where.bottom)
        ring = true;
    }
    EXPECT_EQ(fill, l.fill) << l.what;
    EXPECT_EQ(ring, l.ring) << l.what;
  }
}

TEST(Pages, LicenseBoxShowsTheLinesFromTheScrollOn) {
  UiState s = on(Role::Install, Page::Welcome);
  for (int i = 0; i < 60; ++i) s.licenseLines.push_back(L"line " + std::to_wstring(i));
  RecordingCanvas top = draw(s);
  const auto* first = top.find(L"line 0");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(top.find(L"line 59"), nullptr) << "lines below the box are not drawn";
  RectF box = licenseBox(s);
  EXPECT_NEAR(first->at.x, box.left + 12, 0.01);

  s.licenseScroll = 96;  // five lines of 19.2
  RecordingCanvas scrolled = draw(s);
  const auto* fifth = scrolled.find(L"line 5");
  ASSERT_NE(fifth, nullptr);
  EXPECT_NEAR(fifth->at.y, first->at.y, 0.01);
  EXPECT_EQ(scrolled.find(L"line 3"), nullptr) << "lines above the box are not drawn";

  EXPECT_EQ(licenseMaxScroll(s), static_cast<int32_t>(std::ceil(60 * 19.2 + 24 - box.height())));
  s.licenseScroll = licenseMaxScroll(s);
  EXPECT_NE(draw(s).find(L"line 59"), nullptr) << "the end of the text can be reached";
}

TEST(Pages, FolderTextIsDrawnOnlyWhileTheFolderBoxIsHidden) {
  UiState s = on(Role::Install, Page::Options);
  s.folder = L"D:\\Apps\\Zelvan";
  const auto* shown = draw(s).find(s.folder);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->colour, Colour::StrongText);
  RectF field = folderField(s);
  EXPECT_TRUE(field.contains(shown->at.x, shown->at.y));
  EXPECT_NEAR(shown->at.y + fontAscent(13, s.scale), folderBaseline(s), 0.01);
  s.editShown = true;
  EXPECT_EQ(draw(s).find(s.folder), nullptr);
  s.editShown = false;
  s.folder = L"C:\\" + std::wstring(300, L'x') + L"\\End";
  RecordingCanvas c = draw(s);
  EXPECT_TRUE(c.drawnContaining(L"x\\End")) << "a long folder keeps its end in view";
}

// What the walk-through found cut short, misplaced or misleading.
TEST(Pages, BrowseIsSetAtFourteen) {
  RecordingCanvas c = draw(on(Role::Install, Page::Options));
  const auto* browse = c.find(L"Browse\u2026");
  ASSERT_NE(browse, nullptr);
  EXPECT_EQ(browse->size, 14);
  UiState s = on(Role::Install, Page::Options);
  RectF button = hitRectOf(s, Element::Browse);
  EXPECT_GE(button.width(), widthOf(L"Browse\u2026", 14) + 36) << "the button fits its text";
  EXPECT_TRUE(button.contains(browse->at.x, browse->at.y));
}

TEST(Pages, TheFolderTextLiesWhereTheFolderBoxPutsIt) {
  for (double k : {1.0, 1.5, 712 / 560.0}) {
    UiState s = on(Role::Install, Page::Options);
    s.scale = k;
    const auto* shown = draw(s).find(s.folder);
    ASSERT_NE(shown, nullptr);
    RectF span = folderTextSpan(frameOf(s), folderField(s));
    EXPECT_FLOAT_EQ(shown->at.x, span.left) << k;
    EXPECT_NEAR(folderField(s).right - span.right, span.left - folderField(s).left, 1e-4) << "same inset both sides";
  }
}

TEST(Pages, ATaskDetailWrapsToTheLinesItsRowAllows) {
  UiState s = on(Role::Install, Page::Options);
  s.tasks[0].detail = L"Prepare Zelvan for this PC ahead of time so that the first start is as quick as every "
                      L"later one.";
  s.tasks[1].detail = std::wstring(400, L'w');
  RecordingCanvas c = draw(s);
  OptionsLayout o = optionsLayout(s, frameOf(s));
  ASSERT_EQ(o.tasks.size(), 3u);
  EXPECT_EQ(o.tasks[0].detail.size(), 2u);
  EXPECT_EQ(o.tasks[1].detail.size(), kTaskDetailLines) << "an endless detail stops at the row's lines";
  EXPECT_EQ(o.tasks[1].detail.back().back(), L'\u2026');
  EXPECT_TRUE(c.drawnContaining(L"later one.")) << "the whole detail is shown";
  for (size_t i = 0; i < o.tasks.size(); ++i) {
    for (const std::wstring& line : o.tasks[i].detail) {
      const auto* t = c.find(line);
      ASSERT_NE(t, nullptr);
      EXPECT_TRUE(o.tasks[i].row.contains(t->at.x, t->at.y)) << i;
      EXPECT_LE(t->at.x + widthOf(line, 12), o.tasks[i].toggle.left) << "clear of the toggle";
    }
    if (i > 0) {
      EXPECT_GE(o.tasks[i].row.top, o.tasks[i - 1].row.bottom);
    }
  }
}

TEST(Pages, TheReadyPageKeepsTheEndOfALongFolder) {
  UiState s = on(Role::Install, Page::Ready);
  s.folder = L"D:\\" + std::wstring(40, L'a') + L"\\" + std::wstring(60, L'b') + L"\\" +
             std::wstring(50, L'c') + L"\\Zelvan";
  RecordingCanvas c = draw(s);
  EXPECT_TRUE(c.drawnContaining(L"c\\Zelvan"));
  s.folder = L"C:\\Program Files\\Zelvan";
  EXPECT_NE(draw(s).find(s.folder), nullptr) << "a folder that fits is shown whole";
}

TEST(Pages, ASkippedStepIsNeverTickedAsDone) {
  UiState s = on(Role::Install, Page::Installing);
  for (int i = 0; i < 4; ++i) s.steps[i] = {SlotStatus::Done, 100, {}};
  s.steps[2].percent = 0;  // no native images were made
  s.steps[3].percent = 0;
  s.steps[4] = {SlotStatus::Running, 10, {}};
  RecordingCanvas c = draw(s);
  int skipped = 0;
  for (const auto& t : c.texts) skipped += t.text == L"Skipped";
  EXPECT_EQ(skipped, 2);
  for (int step : {2, 3}) {
    const auto* name = c.find(installStepName(step));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->colour, Colour::MutedText);
    for (const auto& sh : c.shapes)
      EXPECT_FALSE(sh.kind == "polyline" && sh.rect.top <= name->at.y + 20 && sh.rect.bottom >= name->at.y)
          << "no check mark beside " << step;
  }
  EXPECT_EQ(c.find(installStepName(0))->colour, Colour::BodyText) << "done steps keep their tick";
  EXPECT_TRUE(stepSkipped(s, 2));
  EXPECT_FALSE(stepSkipped(s, 0));
  UiState uninstall = on(Role::Uninstall, Page::Removing);
  uninstall.steps[0] = {SlotStatus::Done, -1, {}};
  EXPECT_FALSE(stepSkipped(uninstall, 0)) << "the uninstall's steps carry no value";
}

TEST(Pages, ClosingZelvanShowsTheRunningLook) {
  UiState s = on(Role::Install, Page::Options);
  s.closingApp = true;
  RecordingCanvas c = draw(s);
  EXPECT_NE(c.find(L"Closing Zelvan"), nullptr);
  EXPECT_EQ(c.find(L"Desktop shortcut"), nullptr) << "the page's choices give way to it";
  EXPECT_FALSE(hasElement(s, Element::Install));
  EXPECT_FALSE(hasElement(s, Element::Back));
  bool arc = std::any_of(c.shapes.begin(), c.shapes.end(), [](const auto& sh) { return sh.kind == "arc"; });
  EXPECT_TRUE(arc);
}

// The animation timer repaints the turning marks and nothing else: each mark lies inside its area.
TEST(Pages, BusyMarkAreasHoldEveryTurningMark) {
  UiState closing = on(Role::Install, Page::Options);
  closing.closingApp = true;
  UiState running = on(Role::Install, Page::Installing);
  running.steps[0].status = SlotStatus::Done;
  running.steps[1].status = SlotStatus::Running;
  UiState removing = on(Role::Uninstall, Page::Removing);
  removing.steps[2] = {SlotStatus::Running, -1, {}};
  for (const UiState& s : {closing, running, removing, on(Role::Install, Page::RollingBack),
                           on(Role::Install, Page::Welcome), on(Role::Install, Page::Ready)}) {
    std::vector<RectF> areas = busyMarkAreas(s);
    RecordingCanvas c = draw(s);
    size_t arcs = 0;
    for (const auto& sh : c.shapes) {
      if (sh.kind != "arc") continue;
      ++arcs;
      bool held = std::any_of(areas.begin(), areas.end(), [&](const RectF& a) {
        return a.left <= sh.rect.left && a.top <= sh.rect.top && a.right >= sh.rect.right && a.bottom >= sh.rect.bottom;
      });
      EXPECT_TRUE(held) << "page " << static_cast<int>(s.page);
    }
    EXPECT_EQ(areas.size(), arcs) << "page " << static_cast<int>(s.page);
    for (const RectF& a : areas) EXPECT_LT(a.width() * a.height(), 30 * 30) << "a small area, not the window";
  }
}

struct QuestionShown {
  Question question;
  const wchar_t* title;
  const wchar_t* primary;
  const wchar_t* secondary;
};

TEST(Pages, QuestionBoxShowsItsTextsAndOnlyItsButtonsAreHit) {
  const QuestionShown cases[] = {
      {Question::AppOpen, L"Zelvan is open", L"Close Zelvan", L"Cancel"},
      {Question::AppDidNotClose, L"Zelvan didn't close", L"Try again", L"Cancel"},
      {Question::Stop, L"Stop installing?", L"Stop installing", L"Keep installing"},
      {Question::FileInUse, L"A file is in use", L"Try again", L"Cancel"},
      {Question::CouldNotOpen, L"Couldn't open that", L"Close", nullptr},
  };
  for (const QuestionShown& q : cases) {
    UiState s = on(Role::Install, q.question == Question::Stop ? Page::Installing : Page::Options, q.question);
    s.inUseFile = L"Zelvan.exe";
    RecordingCanvas c = draw(s);
    const auto* title = c.find(q.title);
    ASSERT_NE(title, nullptr) << q.title;
    EXPECT_EQ(title->size, 15);
    EXPECT_TRUE(title->at.x >= 220 && title->at.x < 660);
    std::vector<HitBox> boxes = hitBoxes(s);
    ASSERT_EQ(boxes.size(), q.secondary ? 2u : 1u);
    EXPECT_EQ(boxes.back().element, Element::Primary);
    EXPECT_TRUE(c.drawnContaining(q.primary));
    if (q.secondary) {
      EXPECT_EQ(boxes[0].element, Element::Secondary);
      EXPECT_LT(boxes[0].rect.right, boxes[1].rect.left) << "the primary is rightmost";
      EXPECT_TRUE(c.drawnContaining(q.secondary));
    }
    for (const HitBox& h : boxes) {
      EXPECT_TRUE(h.rect.left >= 220 && h.rect.right <= 660);
      EXPECT_EQ(hitTest(s, (h.rect.left + h.rect.right) / 2, (h.rect.top + h.rect.bottom) / 2), h.element);
    }
    // Nothing of the page under the box can be hit through it.
    UiState bare = s;
    bare.question = Question::None;
    for (const HitBox& h : hitBoxes(bare)) {
      Element hit = hitTest(s, (h.rect.left + h.rect.right) / 2, (h.rect.top + h.rect.bottom) / 2);
      EXPECT_TRUE(hit == Element::None || hit == Element::Secondary || hit == Element::Primary)
          << "element " << h.element << " hit";
    }
  }
  UiState s = on(Role::Install, Page::Options, Question::FileInUse);
  s.inUseFile = L"C:\\Zelvan\\Engine.dll";
  EXPECT_TRUE(draw(s).drawnContaining(L"C:\\Zelvan\\Engine.dll is in use."));
}

TEST(Pages, HitTestingFollowsWhatIsDrawn) {
  UiState s = on(Role::Install, Page::Welcome);
  s.licenseLines = licenseLinesOf(std::wstring(6000, L'a'));
  s.licenseScroll = 0;
  RectF next = hitRectOf(s, Element::Next);
  EXPECT_EQ(hitTest(s, next.left + 2, next.top + 2), Element::Next);
  s.licenseAccepted = false;
  EXPECT_FALSE(hasElement(s, Element::Next)) << "a disabled Next is left out";
  EXPECT_EQ(hitTest(s, next.left + 2, next.top + 2), Element::None);
  EXPECT_EQ(hitTest(s, hitRectOf(s, Element::Cancel).left + 2, next.top + 2), Element::Cancel);

  // The thumb lies over the licence box and, coming later, wins.
  ASSERT_GT(licenseMaxScroll(s), 0);
  RectF thumb = licenseThumb(s);
  RectF box = licenseBox(s);
  EXPECT_TRUE(box.contains(thumb.left, thumb.top) && box.contains(thumb.right - 0.01f, thumb.bottom - 0.01f));
  EXPECT_EQ(hitTest(s, (thumb.left + thumb.right) / 2, (thumb.top + thumb.bottom) / 2), Element::Thumb);
  EXPECT_EQ(hitTest(s, box.left + 20, box.top + 20), Element::LicenseBox);
  EXPECT_EQ(hitRectOf(s, Element::Accept).width(),
            static_cast<float>(textWidth(L"I accept the license agreement", 13) + 26));
  EXPECT_EQ(hitTest(s, hitRectOf(s, Element::Accept).right - 1, hitRectOf(s, Element::Accept).top + 5),
            Element::Accept);

  // Scrolled to the end the thumb sits at the track's foot; a short text has no thumb at all.
  s.licenseScroll = licenseMaxScroll(s);
  EXPECT_NEAR(licenseThumb(s).bottom, licenseTrack(s).bottom, 0.01);
  EXPECT_NEAR(licenseThumb(s).top - licenseTrack(s).top, licenseFreeTrack(s), 0.01);
  EXPECT_GE(licenseThumb(s).height(), 24);
  s.licenseLines = licenseLinesOf(L"Short.");
  EXPECT_EQ(licenseMaxScroll(s), 0);
  EXPECT_FALSE(hasElement(s, Element::Thumb));

  // Task boxes: the first three [Tasks] entries that are visible, 36 x 20 at their row's end.
  UiState o = on(Role::Install, Page::Options);
  o.tasks[1].visible = false;
  EXPECT_TRUE(hasElement(o, Element::FirstTask));
  EXPECT_FALSE(hasElement(o, Element::SecondTask)) << "a hidden task has no box";
  EXPECT_TRUE(hasElement(o, Element::ThirdTask));
  RectF t8 = hitRectOf(o, Element::FirstTask), t10 = hitRectOf(o, Element::ThirdTask);
  EXPECT_EQ(t8.width(), 36);
  EXPECT_EQ(t8.height(), 20);
  EXPECT_EQ(t8.right, t10.right);
  EXPECT_EQ(t8.right, hitRectOf(o, Element::Browse).right);
  EXPECT_GT(t10.top, t8.bottom);
  auto boxes = hitBoxes(o);
  auto taskBoxShown = [](const HitBox& h) {
    return h.element >= Element::FirstTask && h.element <= Element::ThirdTask;
  };
  EXPECT_EQ(std::count_if(boxes.begin(), boxes.end(), taskBoxShown), 2) << "a fourth task never gets a box";
  EXPECT_EQ(hitTest(o, (t8.left + t8.right) / 2, (t8.top + t8.bottom) / 2), Element::FirstTask);
  RectF field = folderField(o);
  EXPECT_EQ(hitTest(o, field.left + 5, field.top + 5), Element::Folder);
  EXPECT_TRUE(folderBaseline(o) > field.top && folderBaseline(o) < field.bottom);
  EXPECT_LT(field.right, hitRectOf(o, Element::Browse).left);
  EXPECT_EQ(hitTest(o, 5, 5), Element::None);

  // The link only where it is shown; Cancel while installing only while a stop is offered.
  UiState i = on(Role::Install, Page::Installing);
  EXPECT_TRUE(hasElement(i, Element::Cancel));
  i.cancelAllowed = false;
  EXPECT_FALSE(hasElement(i, Element::Cancel));
  EXPECT_FALSE(hasElement(on(Role::Install, Page::RollingBack), Element::Cancel));
  EXPECT_TRUE(draw(on(Role::Install, Page::RollingBack)).find(L"Cancel") != nullptr) << "drawn, but disabled";
}

struct Wrap {
  const char* what;
  std::wstring text;
  double width;  // at size 10: 6 units per column
  std::vector<std::wstring> lines;
};

TEST(TextLayout, WrapsAtBlanksHyphensAndNeverInsideAPair) {
  const std::wstring smile = std::wstring(1, static_cast<wchar_t>(0xD83D)) + static_cast<wchar_t>(0xDE00);
  const Wrap cases[] = {
      {"breaks at the blank at the capacity", L"abcde fghij", 30, {L"abcde", L"fghij"}},
      {"breaks after the last blank in the line", L"ab cdefg", 30, {L"ab", L"cdefg"}},
      {"breaks after a hyphen", L"well-known", 42, {L"well-", L"known"}},
      {"no blank: a hard break at the capacity", L"abcdefghij", 24, {L"abcd", L"efgh", L"ij"}},
      {"blanks around a break are dropped", L"ab   cd", 18, {L"ab", L"cd"}},
      {"a pair is never split", L"a" + smile + L"b", 12, {L"a", smile, L"b"}},
      {"a pair that fits stays whole", L"a" + smile + L"b", 18, {L"a" + smile, L"b"}},
      {"a pair wider than a line still takes one line", smile + smile, 6, {smile, smile}},
      {"wide characters count two columns", L"\u4E2D\u4E2D\u4E2D", 24, {L"\u4E2D\u4E2D", L"\u4E2D"}},
      {"line feeds split, CR before LF dropped, empty paragraph kept", L"ab\r\n\ncd", 60, {L"ab", L"", L"cd"}},
      {"an empty text is one empty line", L"", 60, {L""}},
      {"text that fits is one line", L"abc def", 60, {L"abc def"}},
  };
  for (const Wrap& w : cases) {
    EXPECT_EQ(wrapText(w.text, w.width, 10), w.lines) << w.what;
  }
}

}  // namespace
}  // namespace zs::ui
