#include "base/language.h"

#include "base/text.h"

namespace zs {

namespace {

bool isTagChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

}  // namespace

bool isLanguageTag(std::wstring_view tag) {
  constexpr size_t kLongest = 85;
  if (tag.empty() || tag.size() > kLongest || tag.front() == L'-' || tag.back() == L'-') return false;
  wchar_t before = 0;
  for (wchar_t c : tag) {
    if (c == L'-' ? before == L'-' : !isTagChar(c)) return false;
    before = c;
  }
  return true;
}

std::optional<std::wstring> matchLanguage(std::wstring_view wanted, const std::vector<std::wstring>& available) {
  if (!isLanguageTag(wanted)) return std::nullopt;
  for (;;) {
    for (const std::wstring& tag : available)
      if (equalsNoCase(tag, wanted)) return tag;
    size_t cut = wanted.rfind(L'-');
    if (cut == std::wstring_view::npos) return std::nullopt;
    wanted = wanted.substr(0, cut);
  }
}

LanguageChoice chooseLanguage(bool switchGiven, std::wstring_view switchTag, std::wstring_view windowsTag,
                              const std::vector<std::wstring>& available) {
  LanguageChoice c;
  c.windowsTag = windowsTag;
  if (switchGiven) {
    if (std::optional<std::wstring> tag = matchLanguage(switchTag, available)) {
      c.tag = *tag;
      c.source = LanguageSource::Switch;
      c.asked = switchTag;
      return c;
    }
    c.unknownSwitch = true;
  }
  c.asked = windowsTag;
  if (std::optional<std::wstring> tag = matchLanguage(windowsTag, available)) {
    c.tag = *tag;
    c.source = LanguageSource::Windows;
    return c;
  }
  c.tag = kEnglishTag;
  c.source = LanguageSource::Fallback;
  return c;
}

std::wstring languageLogLine(const LanguageChoice& c) {
  std::wstring line = L"Language: " + c.tag;
  // The tag asked for is named only when it says more than the table's own.
  bool exact = equalsNoCase(c.asked, c.tag);
  switch (c.source) {
    case LanguageSource::Switch: return line + (exact ? L" (from /lang=)" : L" (from /lang=" + c.asked + L")");
    case LanguageSource::Windows: return line + (exact ? L" (from Windows)" : L" (from Windows, " + c.asked + L")");
    case LanguageSource::Fallback: break;
  }
  if (c.windowsTag.empty()) return line + L" (Windows named no display language)";
  return line + L" (Windows' " + c.windowsTag + L" has no table)";
}

}  // namespace zs
