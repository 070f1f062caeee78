// The drawn window's answer to screen readers: an MSAA IAccessible for its client area, handed out
// from WM_GETOBJECT, whose children are the accessible tree's nodes of the current state (simple
// elements, child ids counted from 1). It reads the state on the window's thread, where COM
// delivers every call, and asks for actions by posting them to the window, which carries them out
// as it carries out a click. After the window is gone it answers nothing.
#pragma once

#include <windows.h>

#include "ui/accessible_events.h"
#include "ui/ui_state.h"

namespace zs::ui {

// Posted by the object to its window: wParam the element, lParam 1 to focus it only, 0 for its
// default action.
inline constexpr UINT kMsgAccessibleAction = WM_APP + 40;

class AccessibleClient;

class WindowAccessibility {
 public:
  WindowAccessibility() = default;
  ~WindowAccessibility();
  WindowAccessibility(const WindowAccessibility&) = delete;
  WindowAccessibility& operator=(const WindowAccessibility&) = delete;

  // WM_GETOBJECT: the client object for OBJID_CLIENT; whatever Windows answers for the rest.
  LRESULT answer(HWND window, WPARAM w, LPARAM l, const UiState& state);
  // After any change of the state: raises the events that make a reader speak it.
  void stateShown(HWND window, const UiState& state);
  // The window is being destroyed: the object stops answering and its clients are let go.
  void disconnect();

 private:
  AccessibleClient* object_ = nullptr;
  AccessibleSnapshot last_;
  bool shown_ = false;
};

// kMsgAccessibleAction on the window: the action the state machine returns for it.
Action accessibleRequest(UiState& s, WPARAM element, LPARAM focusOnly);

}  // namespace zs::ui
