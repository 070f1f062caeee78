// The window's text arithmetic, fixed so that layout never depends on which font is installed:
// every text is measured as monospaced (0.6 of the size per column, wide characters two columns),
// line metrics come from the size and the scale alone, and wrapping is done here, not by the
// text formats. Pure functions, shared by the page layout, the renderer and the tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zs::ui {

// floor(x + 0.5): the rounding every snapped quantity uses.
double rnd(double x);
// A coordinate on the device-pixel grid, in layout units.
double snap(double v, double scale);
// One device pixel in layout units, never less than one whole pixel: max(1, floor(k)) / k.
double onePixel(double scale);
// Ascent and line height of size s at scale k, in layout units.
double fontAscent(double size, double scale);
double lineHeight(double size, double scale);

// 2 for wide (East Asian) characters and a high surrogate, 0 for a low surrogate, else 1.
int columnsOf(wchar_t c);
int columnsOf(std::wstring_view text);
// Width at a size: columns x 0.6 x size.
double textWidth(std::wstring_view text, double size);

// One piece of a link's underline, from left to right in layout units.
struct UnderlineSpan {
  double left = 0;
  double right = 0;
};
// The underline of text starting at x in a size, walked one column (0.6 x size) at a time and
// broken under the descenders g, j, p, q, y, comma and semicolon, with 0.048 x size (0.624 at
// size 13) of extra gap each side. Empty pieces are left out.
std::vector<UnderlineSpan> underlineSpans(std::wstring_view text, double x, double size);

// Wraps at a width for a size: paragraphs split at line feeds (a CR before LF dropped), breaks
// at a blank or after a blank or hyphen, never inside a surrogate pair, at least one character
// per line; trailing blanks dropped and leading blanks of a continued line skipped.
std::vector<std::wstring> wrapText(std::wstring_view text, double width, double size);

}  // namespace zs::ui
