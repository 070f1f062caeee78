#include "base/text.h"

#include <cwchar>

#ifdef _WIN32
#include <windows.h>
#endif

namespace zs {

bool isWhite(wchar_t c) {
  return c == L'\t' || c == L'\n' || c == L'\r' || c == L' ' || c == 0xFEFF;
}

std::wstring_view trimWhite(std::wstring_view s) {
  size_t b = 0, e = s.size();
  while (b < e && isWhite(s[b])) ++b;
  while (e > b && isWhite(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::vector<std::wstring> splitTrimmed(std::wstring_view list, wchar_t separator) {
  std::vector<std::wstring> pieces;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(separator, start);
    if (end == std::wstring_view::npos) end = list.size();
    std::wstring_view piece = trimWhite(list.substr(start, end - start));
    if (!piece.empty()) pieces.emplace_back(piece);
    start = end + 1;
  }
  return pieces;
}

#ifndef _WIN32
namespace {
// The host build's stand-in for the system's upper-case table: ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic cover every name the tools meet; other characters compare as they are.
wchar_t upperOf(wchar_t c) {
  if (c >= L'a' && c <= L'z') return c - 32;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 0) ? c - 1 : c;
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}
}  // namespace
#endif

int compareNoCase(std::wstring_view a, std::wstring_view b) {
#ifdef _WIN32
  // Lengths beyond INT_MAX never occur in the setup; clamp rather than wrap.
  int la = a.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(a.size());
  int lb = b.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(b.size());
  int r = CompareStringOrdinal(a.data(), la, b.data(), lb, TRUE);
  if (r == CSTR_LESS_THAN) return -1;
  if (r == CSTR_GREATER_THAN) return 1;
  if (r == CSTR_EQUAL) return 0;
  // The call cannot fail for valid lengths; fall back to a plain ordinal order if it does.
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
#else
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    wchar_t x = upperOf(a[i]), y = upperOf(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
#endif
}

bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && compareNoCase(a, b) == 0;
}

bool startsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

bool endsWithNoCase(std::wstring_view s, std::wstring_view suffix) {
  return s.size() >= suffix.size() && equalsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

namespace {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void appendWide(std::wstring& out, char32_t cp) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(cp));
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 if it is not valid.
size_t decodeOne(std::string_view s, size_t i, char32_t& cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) { cp = c; return 1; }
  size_t len;
  char32_t min;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
  else return 0;
  if (s.size() - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string wideToUtf8(std::wstring_view s) {
  std::string out;
  out.reserve(s.size() + s.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = static_cast<char32_t>(s[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(s[i + 1]) - 0xDC00);
        ++i;
      } else if (cp >= 0xD800 && cp <= 0xDFFF) {
        cp = 0xFFFD;
      }
    } else if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      cp = 0xFFFD;
    }
    appendUtf8(out, cp);
  }
  return out;
}

std::wstring utf8ToWide(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    size_t n = decodeOne(s, i, cp);
    if (n == 0) { cp = 0xFFFD; n = 1; }
    appendWide(out, cp);
    i += n;
  }
  return out;
}

bool utf8ToWideStrict(std::string_view s, std::wstring& out) {
  out.clear();
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    size_t n = decodeOne(s, i, cp);
    if (n == 0) return false;
    appendWide(out, cp);
    i += n;
  }
  return true;
}

std::wstring formatV(size_t capacity, const wchar_t* fmt, va_list args) {
  if (capacity == 0) return {};
  // vswprintf reports an overflow as failure without saying how much was written, and C runtimes
  // differ in what they leave in the buffer; so format into a larger buffer and cut it ourselves.
  for (size_t size = capacity; size <= (capacity << 6); size <<= 1) {
    std::wstring buf(size, L'\0');
    va_list copy;
    va_copy(copy, args);
    int n = vswprintf(buf.data(), size, fmt, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < size) {
      buf.resize(static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1);
      return buf;
    }
  }
  return {};
}

std::wstring format(size_t capacity, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring s = formatV(capacity, fmt, args);
  va_end(args);
  return s;
}

std::wstring toHex(std::string_view bytes) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool fromHex(std::wstring_view hex, std::string& bytes) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  bytes.clear();
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]);
    int lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>((hi << 4) | lo);
  }
  return true;
}

}  // namespace zs
