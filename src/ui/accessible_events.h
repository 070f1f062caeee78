// The events that tell a screen reader what changed in the drawn window: a new page (its name,
// the page's title, changes), the question box coming and going, the focus moving, a check box or
// a button changing state, a progress bar moving. Worked out by comparing what a reader can
// perceive before and after a change of the UiState, then raised with NotifyWinEvent.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "ui/ui_state.h"

namespace zs::ui {

// What a reader can perceive of the state, kept from one change to the next.
struct AccessibleSnapshot {
  Page page = Page::Welcome;
  Question question = Question::None;
  Element focus = Element::None;
  bool licenseAccepted = false;
  bool stopOffered = false;
  bool tasksOn[kShownTaskBoxes] = {};
  SlotStatus steps[5] = {};
  int32_t percents[5] = {};
  int32_t folderError = 0;
  bool operator==(const AccessibleSnapshot&) const = default;
};
AccessibleSnapshot accessibleSnapshot(const UiState& s);

enum class AccessibleEventKind : uint32_t {
  Focus = EVENT_OBJECT_FOCUS,
  StateChange = EVENT_OBJECT_STATECHANGE,
  NameChange = EVENT_OBJECT_NAMECHANGE,
  ValueChange = EVENT_OBJECT_VALUECHANGE,
  Reorder = EVENT_OBJECT_REORDER,
  DialogStart = EVENT_SYSTEM_DIALOGSTART,
  DialogEnd = EVENT_SYSTEM_DIALOGEND,
};

// What an event is about: the window's client object itself, an element's node, the question
// box or the progress bar.
enum class EventTarget : int32_t { Window, Element, Dialog, Progress };

struct AccessibleEvent {
  AccessibleEventKind kind;
  EventTarget target;
  Element element = Element::None;
  bool operator==(const AccessibleEvent&) const = default;
};

// The events between two snapshots, in the order they are to be raised.
std::vector<AccessibleEvent> accessibleEvents(const AccessibleSnapshot& before, const AccessibleSnapshot& after);

// Raises them for the window's client object, with child ids of the state's current nodes.
void raiseAccessibleEvents(HWND window, const UiState& s, const std::vector<AccessibleEvent>& events);

}  // namespace zs::ui
