#include "script/script_values.h"

#include "base/text.h"

namespace zs::script {

namespace {

bool isDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool isHexDigit(wchar_t c) {
  return isDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

}  // namespace

bool parseUnsigned64(std::wstring_view s, uint64_t& value) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (wchar_t c : s) {
    if (!isDigit(c)) return false;
    uint64_t d = static_cast<uint64_t>(c - L'0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  value = v;
  return true;
}

bool parseUnsigned32(std::wstring_view s, uint32_t& value) {
  uint64_t v = 0;
  if (!parseUnsigned64(s, v) || v > UINT32_MAX) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool parseSeconds(std::wstring_view s, uint32_t& value) {
  uint32_t v = 0;
  if (!parseUnsigned32(s, v) || v > 86400) return false;
  value = v;
  return true;
}

bool parseYesNo(std::wstring_view s, bool& value) {
  if (equalsNoCase(s, L"yes")) { value = true; return true; }
  if (equalsNoCase(s, L"no")) { value = false; return true; }
  return false;
}

bool parseOnOff(std::wstring_view s, bool& value) {
  if (equalsNoCase(s, L"on")) { value = true; return true; }
  if (equalsNoCase(s, L"off")) { value = false; return true; }
  return false;
}

std::vector<std::wstring> splitWords(std::wstring_view s) {
  std::vector<std::wstring> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == L'\t' || s[i] == L' ' || s[i] == L',')) ++i;
    size_t start = i;
    while (i < s.size() && s[i] != L'\t' && s[i] != L' ' && s[i] != L',') ++i;
    if (i > start) words.emplace_back(s.substr(start, i - start));
  }
  return words;
}

bool isSha256Hex(std::wstring_view s) {
  if (s.size() != 64) return false;
  for (wchar_t c : s) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

bool isGuidText(std::wstring_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != L'-' : !isHexDigit(s[i])) return false;
  }
  return true;
}

bool isAppUserModelId(std::wstring_view s) {
  if (s.empty() || s.size() > 128) return false;
  for (wchar_t c : s) {
    if (!isAsciiWordChar(c) && c != L'.' && c != L'-') return false;
  }
  return true;
}

bool parseWindowsVersion(std::wstring_view s, uint32_t& major, uint32_t& minor) {
  size_t dot = s.find(L'.');
  if (dot == std::wstring_view::npos) return false;
  uint32_t a = 0, b = 0;
  // A second "." makes the minor part non-decimal, so it is refused there.
  if (!parseUnsigned32(s.substr(0, dot), a) || !parseUnsigned32(s.substr(dot + 1), b)) return false;
  if (a > 99 || b > 99) return false;
  major = a;
  minor = b;
  return true;
}

bool isAsciiWordChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || isDigit(c) || c == L'_';
}

std::wstring asciiLower(std::wstring_view s) {
  std::wstring out(s);
  for (wchar_t& c : out) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
  }
  return out;
}

}  // namespace zs::script
