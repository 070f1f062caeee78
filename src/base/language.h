// Which language the setup speaks: the one /lang= names, else Windows' display language, else
// English, each matched against the tables the setup carries by the usual lookup (the tag itself,
// then shorter by one subtag at a time: de-AT finds de). Portable and pure: the tables and
// Windows' language are given, not read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

inline constexpr wchar_t kEnglishTag[] = L"en";

enum class LanguageSource {
  Switch,   // /lang= named it
  Windows,  // the user's Windows display language
  Fallback, // English: nothing else matched
};

struct LanguageChoice {
  std::wstring tag;          // the table chosen, as the table names itself
  LanguageSource source = LanguageSource::Fallback;
  std::wstring asked;        // what the source gave: the /lang= value or Windows' tag (may be empty)
  std::wstring windowsTag;   // Windows' display language, as read
  // /lang= named a language no table serves: a bad switch. The tag is then Windows' choice (or
  // English), for the page that says so.
  bool unknownSwitch = false;
};

// A language tag as /lang= may give it: letters, digits and single hyphens between subtags, at
// most 85 characters (Windows' longest locale name).
bool isLanguageTag(std::wstring_view tag);

// The table that serves wanted, compared without regard to case, or nothing.
std::optional<std::wstring> matchLanguage(std::wstring_view wanted, const std::vector<std::wstring>& available);

LanguageChoice chooseLanguage(bool switchGiven, std::wstring_view switchTag, std::wstring_view windowsTag,
                              const std::vector<std::wstring>& available);

// The log's line for the choice: "Language: de (from /lang=)", "Language: de (from Windows, de-AT)".
std::wstring languageLogLine(const LanguageChoice& choice);

}  // namespace zs
