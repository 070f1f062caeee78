#include "base/language.h"

#include <gtest/gtest.h>

namespace zs {
namespace {

const std::vector<std::wstring> kTables = {L"en", L"de", L"qps-ploc"};

TEST(Language, TagsAreLettersDigitsAndSingleHyphens) {
  for (const wchar_t* good : {L"de", L"DE", L"de-DE", L"qps-ploc", L"zh-Hant-TW", L"es-419", L"x"})
    EXPECT_TRUE(isLanguageTag(good)) << good;
  for (const wchar_t* bad : {L"", L"-", L"de-", L"-de", L"de--DE", L"de_DE", L"de DE", L" de", L"de.DE", L"*",
                             L"d\u00E9", L"de/../en"})
    EXPECT_FALSE(isLanguageTag(bad)) << bad;
  EXPECT_TRUE(isLanguageTag(std::wstring(85, L'a')));
  EXPECT_FALSE(isLanguageTag(std::wstring(86, L'a')));
}

TEST(Language, LookupDropsOneSubtagAtATimeAndIgnoresCase) {
  struct Case {
    const wchar_t* wanted;
    const wchar_t* found;  // null: no table serves it
  } cases[] = {
      {L"de", L"de"},
      {L"DE", L"de"},
      {L"de-DE", L"de"},
      {L"de-AT", L"de"},
      {L"de-Latn-CH", L"de"},
      {L"en-US", L"en"},
      {L"en-GB", L"en"},
      {L"qps-ploc", L"qps-ploc"},
      {L"QPS-PLOC", L"qps-ploc"},
      {L"qps-plocm", nullptr},  // the mirrored pseudo-language is another language
      {L"qps", nullptr},
      {L"fr-FR", nullptr},
      {L"deu", nullptr},        // a prefix of a subtag is not the subtag
      {L"d", nullptr},
      {L"", nullptr},
      {L"de_DE", nullptr},      // not a tag at all
  };
  for (const Case& c : cases) {
    std::optional<std::wstring> found = matchLanguage(c.wanted, kTables);
    if (c.found == nullptr) {
      EXPECT_FALSE(found.has_value()) << c.wanted << " found " << (found ? *found : L"");
    } else {
      ASSERT_TRUE(found.has_value()) << c.wanted;
      EXPECT_EQ(*found, c.found) << c.wanted;
    }
  }
}

TEST(Language, TheSwitchThenWindowsThenEnglish) {
  struct Case {
    bool switchGiven;
    const wchar_t* switchTag;
    const wchar_t* windowsTag;
    const wchar_t* tag;
    LanguageSource source;
    bool unknownSwitch;
    const wchar_t* logLine;
  } cases[] = {
      {true, L"de", L"en-US", L"de", LanguageSource::Switch, false, L"Language: de (from /lang=)"},
      {true, L"De-de", L"en-US", L"de", LanguageSource::Switch, false, L"Language: de (from /lang=De-de)"},
      {true, L"qps-ploc", L"de-DE", L"qps-ploc", LanguageSource::Switch, false, L"Language: qps-ploc (from /lang=)"},
      {true, L"en", L"de-DE", L"en", LanguageSource::Switch, false, L"Language: en (from /lang=)"},
      {false, L"", L"de-AT", L"de", LanguageSource::Windows, false, L"Language: de (from Windows, de-AT)"},
      {false, L"", L"de", L"de", LanguageSource::Windows, false, L"Language: de (from Windows)"},
      {false, L"", L"en-US", L"en", LanguageSource::Windows, false, L"Language: en (from Windows, en-US)"},
      {false, L"", L"fr-FR", L"en", LanguageSource::Fallback, false, L"Language: en (Windows' fr-FR has no table)"},
      {false, L"", L"", L"en", LanguageSource::Fallback, false, L"Language: en (Windows named no display language)"},
      // An unknown /lang= is refused; the page that says so speaks Windows' language.
      {true, L"xx", L"de-DE", L"de", LanguageSource::Windows, true, L"Language: de (from Windows, de-DE)"},
      {true, L"", L"de-DE", L"de", LanguageSource::Windows, true, L"Language: de (from Windows, de-DE)"},
      {true, L"de_DE", L"fr-FR", L"en", LanguageSource::Fallback, true, L"Language: en (Windows' fr-FR has no table)"},
      // Without the switch its value means nothing.
      {false, L"de", L"en-US", L"en", LanguageSource::Windows, false, L"Language: en (from Windows, en-US)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "switch " << c.switchGiven << " '" << c.switchTag << "', Windows '"
                                    << c.windowsTag << "'");
    LanguageChoice choice = chooseLanguage(c.switchGiven, c.switchTag, c.windowsTag, kTables);
    EXPECT_EQ(choice.tag, c.tag);
    EXPECT_EQ(choice.source, c.source);
    EXPECT_EQ(choice.unknownSwitch, c.unknownSwitch);
    EXPECT_EQ(choice.windowsTag, c.windowsTag);
    EXPECT_EQ(languageLogLine(choice), c.logLine);
  }
}

TEST(Language, TheTagIsTheTablesOwnSpelling) {
  std::vector<std::wstring> tables = {L"en", L"pt-BR"};
  EXPECT_EQ(chooseLanguage(true, L"PT-br", L"", tables).tag, L"pt-BR");
  EXPECT_FALSE(chooseLanguage(true, L"pt", L"", tables).tag == L"pt-BR") << "a neutral tag finds no specific table";
}

}  // namespace
}  // namespace zs
