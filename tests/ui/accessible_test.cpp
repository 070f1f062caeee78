// The drawn window as a screen reader gets it: the nodes of every page, what their default
// actions do to the state, and the events a change raises.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/accessible_action.h"
#include "ui/accessible_events.h"
#include "ui/accessible_tree.h"
#include "ui/page_layout.h"
#include "ui/pages.h"
#include "ui/printed_codes.h"

namespace zs::ui {
namespace {

UiState at(Role role, Page page, Question question = Question::None) {
  UiState s;
  s.role = role;
  s.versionText = L"4.2.1";
  s.folder = L"C:\\Program Files\\Zelvan";
  s.logPath = L"C:\\ProgramData\\Zelvan\\Setup.log";
  s.licenseLines = {L"ZELVAN LICENSE", L"You may use this program.", L"Line three."};
  s.tasks = {{L"desktopicon", L"Desktop shortcut", L"An icon on the desktop.", true, true},
             {L"fileassoc", L"File types", L"Open .zv files with Zelvan.", false, true}};
  moveToPage(s, page);
  if (question != Question::None) showQuestion(s, question);
  return s;
}

const AccessibleNode* named(const std::vector<AccessibleNode>& nodes, const std::wstring& name, AccessibleRole role) {
  for (const AccessibleNode& n : nodes)
    if (n.name == name && n.role == role) return &n;
  return nullptr;
}

bool sameRect(const RectF& a, const RectF& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(AccessibleTree, WelcomePageNamesItsControlsAsTheyAreDrawn) {
  UiState s = at(Role::Install, Page::Welcome);
  s.licenseAccepted = false;
  moveToPage(s, Page::Welcome);
  std::vector<AccessibleNode> nodes = accessibleNodes(s);
  const AccessibleNode* accept = named(nodes, L"I accept the license agreement", AccessibleRole::CheckButton);
  const AccessibleNode* next = named(nodes, L"Next", AccessibleRole::PushButton);
  const AccessibleNode* cancel = named(nodes, L"Cancel", AccessibleRole::PushButton);
  const AccessibleNode* licence = named(nodes, L"License agreement", AccessibleRole::Text);
  ASSERT_TRUE(accept && next && cancel && licence);
  EXPECT_FALSE(accept->states.checked);
  EXPECT_TRUE(accept->states.focused) << "the unticked box has the focus";
  EXPECT_TRUE(next->states.unavailable) << "Next waits for the licence to be accepted";
  EXPECT_FALSE(cancel->states.unavailable);
  EXPECT_EQ(licence->value, L"ZELVAN LICENSE\nYou may use this program.\nLine three.");
  EXPECT_TRUE(licence->states.readOnly);
  EXPECT_NE(named(nodes, L"Zelvan will be installed for everyone on this PC. Please read the license agreement.",
                  AccessibleRole::StaticText), nullptr)
      << "the intro's wrapped lines read as one paragraph";
  EXPECT_EQ(accessibleWindowName(s), L"Welcome");
  EXPECT_EQ(accessibleWindowDescription(s), L"Setup \u00B7 Step 1 of 4");

  s.licenseAccepted = true;
  nodes = accessibleNodes(s);
  EXPECT_TRUE(named(nodes, L"I accept the license agreement", AccessibleRole::CheckButton)->states.checked);
  EXPECT_TRUE(named(nodes, L"Next", AccessibleRole::PushButton)->states.isDefault);
}

// Every element a page offers to the mouse is offered to a reader, at the same place; nothing is
// nameless; and the rail's current stage, where there is one, is selected.
TEST(AccessibleTree, EveryPageOffersItsElementsWhereTheyAreHit) {
  for (Role role : {Role::Install, Role::Uninstall}) {
    for (int32_t p = 0; p < kPageCount; ++p) {
      UiState s = at(role, static_cast<Page>(p));
      s.steps[1] = {SlotStatus::Running, 45, L""};
      std::vector<AccessibleNode> nodes = accessibleNodes(s);
      for (const HitBox& h : hitBoxes(s)) {
        if (h.element == Element::Thumb) continue;
        int32_t id = childIdOf(nodes, h.element);
        ASSERT_GT(id, 0) << "page " << p << " element " << h.element;
        const AccessibleNode& n = nodes[static_cast<size_t>(id - 1)];
        if (!isTaskBox(h.element)) {
          EXPECT_TRUE(sameRect(n.rect, h.rect)) << "page " << p << " element " << h.element;
        }
        EXPECT_TRUE(n.states.focusable);
        EXPECT_EQ(n.states.focused, s.focus == h.element);
      }
      int selected = 0;
      for (const AccessibleNode& n : nodes) {
        EXPECT_FALSE(n.name.empty()) << "page " << p << " role " << static_cast<int>(n.role);
        if (n.role == AccessibleRole::ListItem && n.states.selected) ++selected;
      }
      std::vector<RailEntry> rail = railEntries(s);
      EXPECT_EQ(selected, std::count_if(rail.begin(), rail.end(), [](const RailEntry& e) { return e.state == Stage::Current; }))
          << "page " << p;
      EXPECT_NE(named(nodes, pageTitle(s.page), AccessibleRole::StaticText), nullptr) << "page " << p;
    }
  }
}

TEST(AccessibleTree, ProgressAndEndPagesReadTheirState) {
  UiState s = at(Role::Install, Page::Installing);
  s.steps[0].status = SlotStatus::Done;
  s.steps[1] = {SlotStatus::Running, 45, L""};
  std::vector<AccessibleNode> nodes = accessibleNodes(s);
  auto bar = std::find_if(nodes.begin(), nodes.end(), [](const AccessibleNode& n) { return n.role == AccessibleRole::ProgressBar; });
  ASSERT_NE(bar, nodes.end());
  EXPECT_EQ(bar->value, L"45%");
  EXPECT_GT(bar->rect.width(), 0);
  const AccessibleNode* cancel = named(nodes, L"Cancel", AccessibleRole::PushButton);
  ASSERT_NE(cancel, nullptr);
  EXPECT_FALSE(cancel->states.unavailable);
  s.cancelAllowed = false;
  EXPECT_TRUE(named(accessibleNodes(s), L"Cancel", AccessibleRole::PushButton)->states.unavailable);

  UiState ready = at(Role::Install, Page::Ready);
  nodes = accessibleNodes(ready);
  EXPECT_NE(named(nodes, L"Close", AccessibleRole::PushButton), nullptr);
  EXPECT_TRUE(named(nodes, L"Open Zelvan", AccessibleRole::PushButton)->states.isDefault);
  EXPECT_NE(named(nodes, L"View the install log", AccessibleRole::Link), nullptr);
  EXPECT_NE(named(nodes, L"C:\\Program Files\\Zelvan", AccessibleRole::StaticText), nullptr);
}

TEST(AccessibleTree, AQuestionIsADialogWithOnlyItsButtons) {
  struct Case {
    Question q;
    const wchar_t* title;
    std::vector<std::wstring> buttons;
  };
  const Case cases[] = {
      {Question::AppOpen, L"Zelvan is open", {L"Cancel", L"Close Zelvan"}},
      {Question::Stop, L"Stop installing?", {L"Keep installing", L"Stop installing"}},
      {Question::CouldNotOpen, L"Couldn't open that", {L"Close"}},
  };
  for (const Case& c : cases) {
    UiState s = at(Role::Install, Page::Options, c.q);
    std::vector<AccessibleNode> nodes = accessibleNodes(s);
    ASSERT_FALSE(nodes.empty());
    EXPECT_EQ(nodes[0].role, AccessibleRole::Dialog);
    EXPECT_EQ(nodes[0].name, c.title);
    EXPECT_FALSE(nodes[0].description.empty());
    EXPECT_EQ(dialogChildId(nodes), 1);
    std::vector<std::wstring> buttons;
    for (const AccessibleNode& n : nodes)
      if (n.role == AccessibleRole::PushButton) buttons.push_back(n.name);
    EXPECT_EQ(buttons, c.buttons);
    EXPECT_TRUE(nodes.back().states.isDefault && nodes.back().states.focused) << "the primary answer has the focus";
    EXPECT_EQ(childIdOf(nodes, Element::Install), 0) << "the page under the question is not offered";
  }
}

// A default action changes the state exactly as a click on the element does.
TEST(AccessibleAction, DefaultActionsGoThroughTheStateMachine) {
  struct Case {
    const char* what;
    Page page;
    Question question;
    bool accepted;
    Element element;
    Action action;
    Page after;
  };
  const Case cases[] = {
      {"Next before accepting", Page::Welcome, Question::None, false, Element::Next, Action::None, Page::Welcome},
      {"Next once accepted", Page::Welcome, Question::None, true, Element::Next, Action::None, Page::Options},
      {"Cancel on the welcome page", Page::Welcome, Question::None, true, Element::Cancel, Action::CloseWindow, Page::Welcome},
      {"Back", Page::Options, Question::None, true, Element::Back, Action::None, Page::Welcome},
      {"Install", Page::Options, Question::None, true, Element::Install, Action::StartInstall, Page::Options},
      {"Browse", Page::Options, Question::None, true, Element::Browse, Action::PickFolder, Page::Options},
      {"Install under a question", Page::Options, Question::AppOpen, true, Element::Install, Action::None, Page::Options},
      {"the question's yes", Page::Options, Question::AppOpen, true, Element::Primary, Action::CloseApp, Page::Options},
      {"the link", Page::Ready, Question::None, true, Element::Link, Action::OpenLog, Page::Ready},
      {"Close beside Open Zelvan", Page::Ready, Question::None, true, Element::Close, Action::CloseWindow, Page::Ready},
      {"the licence box only takes the focus", Page::Welcome, Question::None, true, Element::LicenseBox, Action::None, Page::Welcome},
      {"an element of another page", Page::Welcome, Question::None, true, Element::Install, Action::None, Page::Welcome},
  };
  for (const Case& c : cases) {
    UiState s = at(Role::Install, c.page);
    s.licenseAccepted = c.accepted;
    if (c.question != Question::None) showQuestion(s, c.question);
    EXPECT_EQ(accessibleDefaultAction(s, c.element), c.action) << c.what;
    EXPECT_EQ(s.page, c.after) << c.what;
  }
  UiState s = at(Role::Install, Page::Welcome);
  s.licenseAccepted = false;
  EXPECT_EQ(accessibleDefaultAction(s, Element::Accept), Action::None);
  EXPECT_TRUE(s.licenseAccepted) << "the box toggles";
  EXPECT_EQ(s.focus, Element::Accept);
  EXPECT_TRUE(accessibleFocus(s, Element::LicenseBox));
  EXPECT_EQ(s.focus, Element::LicenseBox);
  EXPECT_FALSE(accessibleFocus(s, Element::Folder)) << "no folder box on the welcome page";
  UiState o = at(Role::Install, Page::Options);
  EXPECT_EQ(accessibleDefaultAction(o, Element::SecondTask), Action::None);
  EXPECT_TRUE(o.tasks[1].on);
}

TEST(AccessibleEvents, ChangesRaiseWhatAReaderListensFor) {
  using K = AccessibleEventKind;
  using T = EventTarget;
  UiState welcome = at(Role::Install, Page::Welcome);
  AccessibleSnapshot before = accessibleSnapshot(welcome);

  UiState options = welcome;
  moveToPage(options, Page::Options);
  EXPECT_EQ(accessibleEvents(before, accessibleSnapshot(options)),
            (std::vector<AccessibleEvent>{{K::NameChange, T::Window}, {K::Reorder, T::Window}, {K::Focus, T::Element, Element::Install}}));

  UiState asked = options;
  showQuestion(asked, Question::AppOpen);
  EXPECT_EQ(accessibleEvents(accessibleSnapshot(options), accessibleSnapshot(asked)),
            (std::vector<AccessibleEvent>{{K::DialogStart, T::Dialog}, {K::Reorder, T::Window}, {K::Focus, T::Element, Element::Primary}}));

  UiState ticked = welcome;
  ticked.licenseAccepted = !welcome.licenseAccepted;
  EXPECT_EQ(accessibleEvents(before, accessibleSnapshot(ticked)),
            (std::vector<AccessibleEvent>{{K::StateChange, T::Element, Element::Accept}, {K::StateChange, T::Element, Element::Next}}));

  UiState tabbed = welcome;
  tabbed.focus = Element::Cancel;
  EXPECT_EQ(accessibleEvents(before, accessibleSnapshot(tabbed)),
            (std::vector<AccessibleEvent>{{K::Focus, T::Element, Element::Cancel}}));

  UiState copying = at(Role::Install, Page::Installing);
  copying.steps[1] = {SlotStatus::Running, 10, L""};
  UiState further = copying;
  further.steps[1].percent = 20;
  EXPECT_EQ(accessibleEvents(accessibleSnapshot(copying), accessibleSnapshot(further)),
            (std::vector<AccessibleEvent>{{K::ValueChange, T::Progress}}));
  UiState hovered = welcome;
  hovered.hover = Element::Next;
  EXPECT_TRUE(accessibleEvents(before, accessibleSnapshot(hovered)).empty()) << "hovering says nothing";
}

}  // namespace
}  // namespace zs::ui
