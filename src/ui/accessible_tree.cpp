#include "ui/accessible_tree.h"

#include <algorithm>
#include <cmath>

#include "ui/canvas.h"
#include "ui/page_layout.h"
#include "ui/pages.h"
#include "ui/silent_sink.h"
#include "ui/text_layout.h"

namespace zs::ui {

namespace {

struct DrawnText {
  std::wstring text;
  RectF rect;
  float size = 0;
  Colour colour = Colour::BodyText;
};

// Keeps the texts a page draws, where it draws them, and the progress bars' tracks.
class TextCanvas : public Canvas {
 public:
  explicit TextCanvas(double k) : k_(k) {}
  std::vector<DrawnText> texts;
  std::vector<RectF> bars;

  void fillRect(const RectF&, Colour) override {}
  void fillRoundRect(const RectF& r, float, Colour colour) override {
    if (colour == Colour::Track) bars.push_back(r);
  }
  void borderedRoundRect(const RectF&, float, Colour, Colour) override {}
  void strokeRoundRect(const RectF&, float, float, Colour) override {}
  void line(PointF, PointF, float, Colour) override {}
  void polyline(const PointF*, size_t, float, Colour) override {}
  void fillCircle(PointF, float, Colour) override {}
  void strokeCircle(PointF, float, float, Colour) override {}
  void arc(PointF, float, float, float, float, Colour) override {}
  void text(std::wstring_view t, PointF at, float size, Weight, Colour colour) override {
    float h = static_cast<float>(lineHeight(size, k_));
    texts.push_back({std::wstring(t), {at.x, at.y, at.x + widthOf(t, size), at.y + h}, size, colour});
  }
  void linkUnderline(std::wstring_view, PointF, float, Colour) override {}
  void brand(const RectF&) override {}
  void pushClip(const RectF&) override {}
  void popClip() override {}

 private:
  double k_;
};

RectF unite(const RectF& a, const RectF& b) {
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom)};
}

bool inside(const std::vector<RectF>& areas, const RectF& r) {
  float x = r.left + 1, y = (r.top + r.bottom) / 2;
  return std::any_of(areas.begin(), areas.end(), [&](const RectF& a) { return a.contains(x, y); });
}

std::wstring joined(const std::vector<std::wstring>& lines, const wchar_t* between) {
  std::wstring out;
  for (const std::wstring& line : lines) {
    if (!out.empty()) out += between;
    out += line;
  }
  return out;
}

AccessibleNode elementNode(const UiState& s, Element element, AccessibleRole role, std::wstring name, RectF rect) {
  AccessibleNode n;
  n.element = element;
  n.role = role;
  n.name = std::move(name);
  n.rect = rect;
  n.states.focusable = true;
  n.states.focused = s.focus == element;
  switch (role) {
    case AccessibleRole::PushButton: n.defaultAction = L"Press"; break;
    case AccessibleRole::Link:
      n.defaultAction = L"Jump";
      n.states.linked = true;
      break;
    default: break;
  }
  return n;
}

AccessibleNode buttonNode(const UiState& s, const Button& b) {
  AccessibleNode n = elementNode(s, b.element, AccessibleRole::PushButton, b.text, b.rect);
  n.states.unavailable = b.disabled;
  n.states.focusable = !b.disabled;
  n.states.isDefault = b.primary && !b.disabled;
  if (b.disabled) n.defaultAction.clear();
  return n;
}

AccessibleNode checkNode(const UiState& s, Element element, std::wstring name, bool on, RectF rect) {
  AccessibleNode n = elementNode(s, element, AccessibleRole::CheckButton, std::move(name), rect);
  n.states.checked = on;
  n.defaultAction = on ? L"Uncheck" : L"Check";
  return n;
}

// The step shown as a running panel on a progress page: its slot, or the single row of the
// rollback page.
struct RunningStep {
  std::wstring name;
  std::wstring value;
};

std::vector<RunningStep> runningSteps(const UiState& s) {
  if (s.page == Page::RollingBack) return {{L"Restoring the earlier state", L""}};
  if (s.page != Page::Installing && s.page != Page::Removing) return {};
  bool uninstall = s.role == Role::Uninstall;
  int32_t count = uninstall ? kUninstallStepCount : kInstallStepCount;
  std::vector<RunningStep> out;
  for (int32_t i = 0; i < count; ++i) {
    if (s.steps[i].status != SlotStatus::Running) continue;
    std::wstring value = s.steps[i].percent >= 0 ? std::to_wstring(s.steps[i].percent) + L"%" : L"";
    out.push_back({uninstall ? uninstallStepName(i) : installStepName(i), value});
  }
  return out;
}

// How a step that is not running stands, said after its name.
std::wstring stepDescription(const UiState& s, const std::wstring& text) {
  if (s.page != Page::Installing && s.page != Page::Removing) return {};
  bool uninstall = s.role == Role::Uninstall;
  int32_t count = uninstall ? kUninstallStepCount : kInstallStepCount;
  for (int32_t i = 0; i < count; ++i) {
    if (text != (uninstall ? uninstallStepName(i) : installStepName(i))) continue;
    if (s.steps[i].status == SlotStatus::Done) return L"Done";
    if (s.steps[i].status == SlotStatus::NotStarted) return L"Not started";
  }
  return {};
}

const wchar_t* stageText(Stage stage) {
  switch (stage) {
    case Stage::Current: return L"Current";
    case Stage::Done: return L"Done";
    case Stage::Failed: return L"Failed";
    default: return L"Not yet";
  }
}

// The rail: a list of the run's stages, each named as drawn, with its sub-line.
void addRail(const UiState& s, const Frame& f, const std::vector<DrawnText>& railTexts, std::vector<AccessibleNode>& out) {
  std::vector<RailEntry> entries = railEntries(s);
  AccessibleNode list;
  list.role = AccessibleRole::List;
  list.name = L"Steps";
  size_t listAt = out.size();
  out.push_back(list);
  size_t entry = 0;
  RectF all{};
  bool any = false;
  for (const DrawnText& t : railTexts) {
    if (t.size == 13 && entry < entries.size()) {
      AccessibleNode item;
      item.role = AccessibleRole::ListItem;
      item.name = t.text;
      item.value = stageText(entries[entry].state);
      item.states.selected = entries[entry].state == Stage::Current;
      item.states.readOnly = true;
      item.rect = {f.p + 20, t.rect.top, f.p + 20 + kRailWidth, t.rect.bottom};
      out.push_back(item);
      ++entry;
    } else if (t.size == 11 && out.size() > listAt + 1 && out.back().role == AccessibleRole::ListItem) {
      AccessibleNode& item = out.back();
      item.description += (item.description.empty() ? L"" : L" ") + t.text;
      item.rect.bottom = t.rect.bottom;
    } else {
      continue;
    }
    all = any ? unite(all, out.back().rect) : out.back().rect;
    any = true;
  }
  out[listAt].rect = all;
  for (const DrawnText& t : railTexts)
    if (t.size == 12) {
      AccessibleNode version;
      version.role = AccessibleRole::StaticText;
      version.name = t.text;
      version.states.readOnly = true;
      version.rect = t.rect;
      out.push_back(version);
    }
}

// Texts drawn one under the other in the same size, colour and column read as one paragraph.
std::vector<AccessibleNode> paragraphs(const UiState& s, const std::vector<DrawnText>& texts) {
  std::vector<AccessibleNode> out;
  const DrawnText* last = nullptr;
  for (const DrawnText& t : texts) {
    bool continues = last != nullptr && last->size == t.size && last->colour == t.colour &&
                     std::fabs(last->rect.left - t.rect.left) < 0.5f && t.rect.top > last->rect.top &&
                     t.rect.top - last->rect.top < 1.6f * kBodyLine;
    if (continues) {
      out.back().name += L" " + t.text;
      out.back().rect = unite(out.back().rect, t.rect);
    } else {
      AccessibleNode n;
      n.role = AccessibleRole::StaticText;
      n.name = t.text;
      n.rect = t.rect;
      n.states.readOnly = true;
      n.description = stepDescription(s, t.text);
      out.push_back(n);
    }
    last = &t;
  }
  return out;
}

// Reading order in the content: row by row, left to right within a row.
void sortByRows(std::vector<AccessibleNode>& nodes) {
  auto row = [](const AccessibleNode& n) { return static_cast<int>(std::floor((n.rect.top + n.rect.bottom) / 2 / 20)); };
  std::stable_sort(nodes.begin(), nodes.end(), [&](const AccessibleNode& a, const AccessibleNode& b) {
    int ra = row(a), rb = row(b);
    return ra != rb ? ra < rb : a.rect.left < b.rect.left;
  });
}

void addQuestion(const UiState& s, const Frame& f, std::vector<AccessibleNode>& out) {
  QuestionBox q = questionBox(s, f);
  AccessibleNode dialog;
  dialog.role = AccessibleRole::Dialog;
  dialog.name = questionText(s.question).title;
  dialog.description = joined(q.lines, L" ");
  dialog.rect = q.box;
  out.push_back(dialog);
  AccessibleNode body;
  body.role = AccessibleRole::StaticText;
  body.name = dialog.description;
  body.states.readOnly = true;
  body.rect = {q.box.left + f.p + kQuestionPad, q.box.top, q.box.right - f.p - kQuestionPad, q.box.bottom};
  out.push_back(body);
  for (const Button& b : q.buttons) out.push_back(buttonNode(s, b));
}

}  // namespace

std::wstring accessibleWindowName(const UiState& s) { return pageTitle(s.page); }

std::wstring accessibleWindowDescription(const UiState& s) { return headerLine(s); }

std::vector<AccessibleNode> accessibleNodes(const UiState& s) {
  Frame f = frameOf(s);
  TextCanvas canvas(f.k);
  drawPage(canvas, s);
  std::vector<AccessibleNode> out;
  if (s.question != Question::None) {
    addQuestion(s, f, out);
    return out;
  }

  // What the elements' own nodes say is not read a second time as loose text.
  std::vector<RectF> owned;
  for (const HitBox& h : hitBoxes(s)) owned.push_back(h.rect);
  for (const Button& b : pageButtons(s, f)) owned.push_back(b.rect);
  std::vector<AccessibleNode> content;
  if (s.page == Page::Welcome) {
    LicenseLayout l = licenseLayout(f);
    AccessibleNode box = elementNode(s, Element::LicenseBox, AccessibleRole::Text, L"License agreement", l.box);
    box.value = joined(s.licenseLines, L"\n");
    box.states.readOnly = true;
    content.push_back(box);
    content.push_back(checkNode(s, Element::Accept, kAcceptLabel, s.licenseAccepted, l.accept));
  } else if (s.page == Page::Options) {
    OptionsLayout o = optionsLayout(s, f);
    AccessibleNode folder = elementNode(s, Element::Folder, AccessibleRole::Text, L"Install folder", o.field);
    folder.value = s.folder;
    content.push_back(folder);
    content.push_back(buttonNode(s, o.browse));
    for (const TaskRow& t : o.tasks) {
      const TaskChoice& task = s.tasks[t.index];
      AccessibleNode n = checkNode(s, taskBox(t.index), task.label, task.on, unite(t.row, t.toggle));
      n.description = task.detail;
      content.push_back(n);
      owned.push_back(t.row);
    }
  }
  std::vector<RunningStep> running = runningSteps(s);
  for (size_t i = 0; i < running.size(); ++i) {
    AccessibleNode bar;
    bar.role = AccessibleRole::ProgressBar;
    bar.name = running[i].name;
    bar.value = running[i].value;
    bar.states.readOnly = true;
    if (i < canvas.bars.size()) bar.rect = canvas.bars[i];
    content.push_back(bar);
  }
  for (const Button& b : pageButtons(s, f)) content.push_back(buttonNode(s, b));
  for (const HitBox& h : hitBoxes(s))
    if (h.element == Element::Link) content.push_back(elementNode(s, Element::Link, AccessibleRole::Link, linkText(s), h.rect));

  std::vector<DrawnText> railTexts, loose;
  for (const DrawnText& t : canvas.texts) {
    if (t.rect.top < kTitleBandHeight) continue;  // the window's own title
    if (t.rect.left < f.contentLeft - 4) {
      railTexts.push_back(t);
      continue;
    }
    if (inside(owned, t.rect)) continue;
    bool barText = std::any_of(running.begin(), running.end(),
                               [&](const RunningStep& r) { return t.text == r.name || (!r.value.empty() && t.text == r.value); });
    if (!barText) loose.push_back(t);
  }
  for (AccessibleNode& n : paragraphs(s, loose)) content.push_back(std::move(n));
  sortByRows(content);

  out.push_back(elementNode(s, Element::TitleClose, AccessibleRole::PushButton, L"Close", closeButtonRect(f)));
  out.back().description = s.role == Role::Uninstall ? L"Close the uninstaller" : L"Close setup";
  addRail(s, f, railTexts, out);
  for (AccessibleNode& n : content) out.push_back(std::move(n));
  return out;
}

int32_t childIdOf(const std::vector<AccessibleNode>& nodes, Element element) {
  if (element == Element::None) return 0;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (nodes[i].element == element) return static_cast<int32_t>(i + 1);
  return 0;
}

int32_t dialogChildId(const std::vector<AccessibleNode>& nodes) {
  for (size_t i = 0; i < nodes.size(); ++i)
    if (nodes[i].role == AccessibleRole::Dialog) return static_cast<int32_t>(i + 1);
  return 0;
}

}  // namespace zs::ui
