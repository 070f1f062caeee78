// What the drawn window shows for every page of the UiState: the frame (title band, close button,
// brand image, version, progress rail), each page's body, the buttons and the link under the page,
// and the question box over everything, each where the page layout puts it. Pure: it draws into a
// Canvas and decides nothing about pages (the state machine does).
#pragma once

#include <string>
#include <vector>

#include "ui/canvas.h"
#include "ui/page_layout.h"
#include "ui/ui_state.h"

namespace zs::ui {

// The header line: "Setup · Step 2 of 4" and the like.
std::wstring headerLine(const UiState& s);
const wchar_t* pageTitle(Page page);

// Where a stage of the run stands, as its entry in the rail shows it.
enum class Stage : int { Current = 0, Pending = 1, Done = 2, Failed = 3 };

struct RailEntry {
  const wchar_t* name;
  const wchar_t* sub;
  Stage state;
};
// The rail's entries for the state's role and page, top to bottom.
std::vector<RailEntry> railEntries(const UiState& s);

// Draws the whole frame of the state.
void drawPage(Canvas& canvas, const UiState& s);

}  // namespace zs::ui
