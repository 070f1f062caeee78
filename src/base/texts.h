// The texts a user reads, in the language the process chose: one string table per language in
// the setup's resources (resources/lang/<tag>.rc), English the table every other one follows. A
// text a table lacks comes from English. The log never goes through here: it stays English.
// Chosen once at start-up, before any other thread runs; read-only afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/language.h"
#include "base/text_ids.h"

namespace zs {

enum class TextId : uint16_t {
#define ZS_TEXT_ENUMERATOR(name, number) name = number,
  ZS_TEXT_IDS(ZS_TEXT_ENUMERATOR)
#undef ZS_TEXT_ENUMERATOR
};

// Every key, in the list's order; and its name ("ButtonNext").
const std::vector<TextId>& allTextIds();
const wchar_t* textKey(TextId id);

// The chosen language's text; English's where that table lacks it. With no table at all (a
// program built without them) the key in braces, "{ButtonNext}", so that nothing passes for a text.
const std::wstring& text(TextId id);
// The text as a format (its placeholders are printf's: %ls, %d, %llu), filled in.
std::wstring textf(TextId id, ...);
// English's text, whatever the choice.
const std::wstring& englishText(TextId id);
// The named table's own text; empty when it has none (for checks).
std::wstring tableText(std::wstring_view tag, TextId id);

// The tags of the tables this executable carries, English among them.
std::vector<std::wstring> availableLanguages();
// The user's Windows display language as a tag ("de-DE"); empty when Windows names none.
std::wstring windowsLanguageTag();

// Chooses (see chooseLanguage) from /lang= and Windows' display language, and from then on text()
// speaks the choice. The caller logs the choice and refuses an unknown /lang=.
LanguageChoice chooseProcessLanguage(bool switchGiven, std::wstring_view switchTag);
// Speaks the named table's language from now on; false (and no change) when there is no such table.
bool useLanguage(std::wstring_view tag);
// The tag of the language text() speaks.
const std::wstring& currentLanguage();

}  // namespace zs
