#include "ui/text_layout.h"

#include <algorithm>
#include <cmath>

namespace zs::ui {

double rnd(double x) { return std::floor(x + 0.5); }
double snap(double v, double scale) { return rnd(v * scale) / scale; }
double onePixel(double scale) { return std::max(1.0, std::floor(scale)) / scale; }
double fontAscent(double size, double scale) { return rnd(1.02 * size * scale) / scale; }
double lineHeight(double size, double scale) { return (rnd(1.02 * size * scale) + rnd(0.3 * size * scale)) / scale; }

int columnsOf(wchar_t c) {
  unsigned u = static_cast<unsigned>(c);
  if (u >= 0xDC00 && u <= 0xDFFF) return 0;
  if (u >= 0xD800 && u <= 0xDBFF) return 2;
  if ((u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) || (u >= 0xAC00 && u <= 0xD7A3) ||
      (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
      (u >= 0xFFE0 && u <= 0xFFE6))
    return 2;
  return 1;
}

int columnsOf(std::wstring_view text) {
  int n = 0;
  for (wchar_t c : text) n += columnsOf(c);
  return n;
}

double textWidth(std::wstring_view text, double size) { return columnsOf(text) * 0.6 * size; }

std::vector<UnderlineSpan> underlineSpans(std::wstring_view text, double x, double size) {
  const double column = 0.6 * size;
  const double gap = 0.048 * size;
  std::vector<UnderlineSpan> out;
  double start = x;
  double at = x;
  auto piece = [&](double right) {
    if (right > start) out.push_back({start, right});
  };
  for (wchar_t c : text) {
    const double next = at + columnsOf(c) * column;
    if (std::wstring_view(L"gjpqy,;").find(c) != std::wstring_view::npos) {
      piece(at - gap);
      start = next + gap;
    }
    at = next;
  }
  piece(at);
  return out;
}

namespace {

bool isHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

void wrapParagraph(std::wstring_view p, int capacity, std::vector<std::wstring>& out) {
  size_t start = 0;
  if (p.empty()) {
    out.emplace_back();
    return;
  }
  while (start < p.size()) {
    size_t end = start;
    int used = 0;
    while (end < p.size()) {
      // A surrogate pair is taken whole: its two units count 2 together.
      size_t take = (isHigh(p[end]) && end + 1 < p.size()) ? 2 : 1;
      int cols = 0;
      for (size_t i = 0; i < take; ++i) cols += columnsOf(p[end + i]);
      if (used + cols > capacity) break;
      used += cols;
      end += take;
    }
    size_t next = end;
    if (end < p.size()) {
      if (p[end] == L' ') {
        next = end;
      } else {
        size_t back = end;
        while (back > start && p[back - 1] != L' ' && p[back - 1] != L'-') --back;
        if (back > start) end = next = back;
      }
      if (end == start) {  // not even one character fits: take one anyway
        end = start + ((isHigh(p[start]) && start + 1 < p.size()) ? 2 : 1);
        next = end;
      }
    }
    std::wstring line(p.substr(start, end - start));
    while (!line.empty() && line.back() == L' ') line.pop_back();
    out.push_back(std::move(line));
    start = next;
    if (start < p.size() || end < p.size())
      while (start < p.size() && p[start] == L' ') ++start;
    if (start >= p.size()) break;
  }
}

}  // namespace

std::vector<std::wstring> wrapText(std::wstring_view text, double width, double size) {
  int capacity = std::max(1, static_cast<int>(std::floor(width / (0.6 * size) + 0.0001)));
  std::vector<std::wstring> out;
  size_t start = 0;
  for (;;) {
    size_t lf = text.find(L'\n', start);
    std::wstring_view p = text.substr(start, lf == std::wstring_view::npos ? std::wstring_view::npos : lf - start);
    if (!p.empty() && p.back() == L'\r' && lf != std::wstring_view::npos) p.remove_suffix(1);
    wrapParagraph(p, capacity, out);
    if (lf == std::wstring_view::npos) break;
    start = lf + 1;
  }
  return out;
}

}  // namespace zs::ui
