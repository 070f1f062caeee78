// A program built without the language tables (as this test program is) shows no text that could
// pass for one: each text is its key in braces, and no language can be chosen but English.
#include <gtest/gtest.h>

#include "base/texts.h"

namespace zs {
namespace {

TEST(TextsWithoutTables, EveryTextIsItsKeyInBraces) {
  EXPECT_TRUE(availableLanguages().empty());
  EXPECT_EQ(text(TextId::ButtonNext), L"{ButtonNext}");
  EXPECT_EQ(englishText(TextId::A11yCloseUninstaller), L"{A11yCloseUninstaller}");
  EXPECT_EQ(textf(TextId::HeaderInstall, 2), L"{HeaderInstall}");
  EXPECT_FALSE(useLanguage(L"de"));
  LanguageChoice c = chooseProcessLanguage(true, L"de");
  EXPECT_TRUE(c.unknownSwitch);
  EXPECT_EQ(c.tag, L"en");
  EXPECT_EQ(currentLanguage(), L"en");
}

}  // namespace
}  // namespace zs
