// What a screen reader's "do the default action" and "take the focus" do to the window: the same
// as a click on the element, through the same state machine, so that the same rules apply (a
// disabled button does nothing, the accept box toggles, Next moves on only once accepted).
#pragma once

#include "ui/ui_state.h"

namespace zs::ui {

// The element's default action: focuses it and activates it as a click released over it would.
// Nothing for an element the current frame does not offer (hidden, disabled, under a question).
Action accessibleDefaultAction(UiState& s, Element element);
// Moves the focus to an element the current frame offers; false when it offers none such.
bool accessibleFocus(UiState& s, Element element);

}  // namespace zs::ui
