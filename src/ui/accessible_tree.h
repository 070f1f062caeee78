// What a screen reader is told the drawn window holds: one node for every text a sighted user can
// read and every element they can act on, with its name, role, states and place. Built from the
// UiState through the page drawing itself (the texts the page draws, where it draws them) and the
// page layout's hit boxes, so that what is read is exactly what is shown, never a second layout.
// Pure: it measures text but touches no window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/geometry.h"
#include "ui/ui_state.h"

namespace zs::ui {

// The roles a node can have; the values are the MSAA ROLE_SYSTEM_ numbers that travel to clients.
enum class AccessibleRole : int32_t {
  Client = 0x0A,
  Dialog = 0x12,
  Link = 0x1E,
  List = 0x21,
  ListItem = 0x22,
  StaticText = 0x29,
  Text = 0x2A,
  PushButton = 0x2B,
  CheckButton = 0x2C,
  ProgressBar = 0x30,
};

struct AccessibleStates {
  bool focusable = false;
  bool focused = false;
  bool unavailable = false;
  bool checked = false;
  bool isDefault = false;  // the button Enter presses
  bool readOnly = false;
  bool selected = false;  // the rail's current stage
  bool linked = false;
};

struct AccessibleNode {
  Element element = Element::None;  // none for a node that cannot be acted on
  AccessibleRole role = AccessibleRole::StaticText;
  std::wstring name;
  std::wstring value;
  std::wstring description;
  std::wstring defaultAction;  // empty: none
  AccessibleStates states;
  RectF rect;  // layout units of the window
};

// The window's own name and description: the page's title and the header line above it, which is
// what a screen reader announces when the page changes.
std::wstring accessibleWindowName(const UiState& s);
std::wstring accessibleWindowDescription(const UiState& s);

// The nodes in reading order. With a question shown only the question box is offered (a dialog
// node, its body and its buttons): the page under it cannot be acted on until it is answered.
std::vector<AccessibleNode> accessibleNodes(const UiState& s);

// The node of an element in a list of nodes, counted from 1 as MSAA child ids are; 0 when the
// element has no node.
int32_t childIdOf(const std::vector<AccessibleNode>& nodes, Element element);
// The node of the question box, counted from 1; 0 without a question.
int32_t dialogChildId(const std::vector<AccessibleNode>& nodes);

}  // namespace zs::ui
