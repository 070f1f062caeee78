// The five themes' colours: 84 entries each, ARGB. Every colour the window draws is one of them.
#pragma once

#include <cstdint>

#include "ui/theme_choice.h"

namespace zs::ui {

inline constexpr int kPaletteEntries = 84;
inline constexpr int kThemeCount = 5;

// The entries the window draws with, named for what each is used for; the value is the entry's place
// in a theme's table.
enum class Colour : int {
  Background = 0,
  Surface = 1,  // the content card, and marks drawn on the accent
  PanelFill = 2,
  Field = 3,  // the folder box's own background, and the fields' border
  Rail = 5,
  SubtleFill = 6,
  PendingMark = 7,
  ControlEdge = 7,  // the edge of a field or an unticked box: 3:1 against the card at least
  Border = 8,
  StrongText = 9,
  BodyText = 11,
  MutedText = 12,
  Accent = 13,
  AccentHover = 14,
  AccentPressed = 15,
  Focus = 16,  // the keyboard focus, drawn around what has it
  Track = 18,
  Success = 22,
  SuccessFill = 23,
  Error = 28,
  ErrorFill = 29,
  CurrentStage = 34,  // the rail's current stage: a soft tint that its texts stay readable on
  CloseHover = 42,
  Shadow = 45,
  Dim = 46,
  ClosePressed = 55,
  CloseDown = 58,  // a deeper red than CloseHover in every theme
};

// ARGB of an entry; entries outside the table give opaque magenta so a slip shows.
uint32_t paletteColour(int theme, int index);
uint32_t paletteColour(Theme theme, Colour colour);
// Red, green and blue for GDI (COLORREF layout: 0x00BBGGRR).
uint32_t paletteColourRef(int theme, int index);
uint32_t paletteColourRef(Theme theme, Colour colour);

}  // namespace zs::ui
