#include "ui/accessible_events.h"

#include <oleacc.h>

#include "ui/accessible_tree.h"

namespace zs::ui {

AccessibleSnapshot accessibleSnapshot(const UiState& s) {
  AccessibleSnapshot a;
  a.page = s.page;
  a.question = s.question;
  a.focus = s.focus;
  a.licenseAccepted = s.licenseAccepted;
  a.stopOffered = stopOffered(s);
  for (size_t i = 0; i < static_cast<size_t>(kShownTaskBoxes); ++i) a.tasksOn[i] = i < s.tasks.size() && s.tasks[i].on;
  for (int i = 0; i < 5; ++i) {
    a.steps[i] = s.steps[i].status;
    a.percents[i] = s.steps[i].percent;
  }
  a.folderError = s.folderError;
  return a;
}

std::vector<AccessibleEvent> accessibleEvents(const AccessibleSnapshot& before, const AccessibleSnapshot& after) {
  std::vector<AccessibleEvent> out;
  using K = AccessibleEventKind;
  using T = EventTarget;
  bool newPage = before.page != after.page;
  bool newQuestion = before.question != after.question;
  if (newPage) {
    // The window's name is the page's title: a reader speaks the new page from it.
    out.push_back({K::NameChange, T::Window});
    out.push_back({K::Reorder, T::Window});
  }
  if (newQuestion) {
    if (after.question != Question::None)
      out.push_back({K::DialogStart, T::Dialog});
    else
      out.push_back({K::DialogEnd, T::Window});
    if (!newPage) out.push_back({K::Reorder, T::Window});
  }
  if (!newPage && !newQuestion) {
    if (before.licenseAccepted != after.licenseAccepted) {
      out.push_back({K::StateChange, T::Element, Element::Accept});
      out.push_back({K::StateChange, T::Element, Element::Next});
    }
    for (int i = 0; i < kShownTaskBoxes; ++i)
      if (before.tasksOn[i] != after.tasksOn[i]) out.push_back({K::StateChange, T::Element, taskBox(static_cast<size_t>(i))});
    if (before.stopOffered != after.stopOffered) out.push_back({K::StateChange, T::Element, Element::Cancel});
    bool stepsMoved = false, percentMoved = false;
    for (int i = 0; i < 5; ++i) {
      stepsMoved = stepsMoved || before.steps[i] != after.steps[i];
      percentMoved = percentMoved || before.percents[i] != after.percents[i];
    }
    if (stepsMoved || before.folderError != after.folderError) out.push_back({K::Reorder, T::Window});
    if (percentMoved && !stepsMoved) out.push_back({K::ValueChange, T::Progress});
  }
  if (newPage || newQuestion || before.focus != after.focus) {
    if (after.focus != Element::None)
      out.push_back({K::Focus, T::Element, after.focus});
    else if (newPage || newQuestion)
      out.push_back({K::Focus, T::Window});
  }
  return out;
}

void raiseAccessibleEvents(HWND window, const UiState& s, const std::vector<AccessibleEvent>& events) {
  if (window == nullptr || events.empty()) return;
  std::vector<AccessibleNode> nodes = accessibleNodes(s);
  for (const AccessibleEvent& e : events) {
    LONG child = CHILDID_SELF;
    switch (e.target) {
      case EventTarget::Window: break;
      case EventTarget::Element: child = childIdOf(nodes, e.element); break;
      case EventTarget::Dialog: child = dialogChildId(nodes); break;
      case EventTarget::Progress:
        for (size_t i = 0; i < nodes.size() && child == CHILDID_SELF; ++i)
          if (nodes[i].role == AccessibleRole::ProgressBar) child = static_cast<LONG>(i + 1);
        break;
    }
    // An element the frame does not show has no node, and a reader is not told of it.
    if (e.target != EventTarget::Window && child == CHILDID_SELF) continue;
    NotifyWinEvent(static_cast<DWORD>(e.kind), window, OBJID_CLIENT, child);
  }
}

}  // namespace zs::ui
