#include "ui/accessible_action.h"

#include <algorithm>

#include "ui/page_layout.h"

namespace zs::ui {

namespace {

bool offered(const UiState& s, Element element) {
  if (element == Element::None || element == Element::Thumb || s.closingApp) return false;
  std::vector<HitBox> boxes = hitBoxes(s);
  return std::any_of(boxes.begin(), boxes.end(), [&](const HitBox& h) { return h.element == element; });
}

}  // namespace

bool accessibleFocus(UiState& s, Element element) {
  if (!offered(s, element) || element == Element::TitleClose) return false;
  s.focus = element;
  return true;
}

Action accessibleDefaultAction(UiState& s, Element element) {
  if (!offered(s, element)) return Action::None;
  // A press focuses what it lands on, except the title band's close button.
  if (element != Element::TitleClose) s.focus = element;
  if (element == Element::LicenseBox || element == Element::Folder) return Action::None;
  return activate(s, element);
}

}  // namespace zs::ui
