// The five themes' colours: 84 entries each, ARGB. Every colour the window draws is one of them.
#pragma once

#include <cstdint>

namespace zs::ui {

inline constexpr int kPaletteEntries = 84;
inline constexpr int kThemeCount = 5;

// ARGB of an entry; entries outside the table give opaque magenta so a slip shows.
uint32_t paletteColour(int theme, int index);
// Red, green and blue for GDI (COLORREF layout: 0x00BBGGRR).
uint32_t paletteColourRef(int theme, int index);

}  // namespace zs::ui
