#include "ui/theme_choice.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace zs {
namespace {

std::wstring settings(const std::wstring& theme, const std::wstring& dark = L"", const std::wstring& light = L"") {
  return L"<Settings>\r\n  <Setting key=\"UI_Theme\">" + theme + L"</Setting>\r\n  <Setting key=\"UI_ThemeDark\">" + dark +
         L"</Setting>\r\n  <Setting key=\"UI_ThemeLight\">" + light + L"</Setting>\r\n</Settings>";
}

TEST(ThemeChoice, AnExplicitThemeWinsOverEverything) {
  EXPECT_EQ(themeFromSettings(settings(L"  Dark \t"), false, false), Theme::Dark);
  EXPECT_EQ(themeFromSettings(settings(L"warm"), true, true), Theme::Warm) << "even over high contrast";
  EXPECT_EQ(themeFromSettings(settings(L"CONTRAST"), false, false), Theme::Contrast);
}

TEST(ThemeChoice, SystemFollowsWindowsWithTheUsersDarkAndLightChoices) {
  EXPECT_EQ(themeFromSettings(settings(L"system", L"dim", L"warm"), false, true), Theme::Dim);
  EXPECT_EQ(themeFromSettings(settings(L"system", L"dark", L"warm"), false, true), Theme::Dark);
  EXPECT_EQ(themeFromSettings(settings(L"system", L"dim", L"warm"), false, false), Theme::Warm);
  EXPECT_EQ(themeFromSettings(settings(L"system", L"dim", L"light"), false, false), Theme::Light);
  EXPECT_EQ(themeFromSettings(settings(L"system", L"dim", L"warm"), true, true), Theme::Contrast);
}

TEST(ThemeChoice, AnythingElseIsTheSystemTheme) {
  EXPECT_EQ(themeFromSettings(settings(L"purple"), false, true), Theme::Dark);
  EXPECT_EQ(themeFromSettings(settings(L"purple"), true, false), Theme::Contrast);
  EXPECT_EQ(themeFromSettings(L"<Setting key=\"UI_Theme\">dark", false, false), Theme::Light)
      << "a value with no \"<\" after it is empty";
  EXPECT_EQ(themeFromSettings(L"", false, false), Theme::Light);
  EXPECT_EQ(themeFromSettings(L"<Setting key=\"ui_theme\">dark</Setting>", false, false), Theme::Light)
      << "the key is matched as written";
}

TEST(ThemeChoice, SettingsFilesDecodeFromEveryEncodingAlike) {
  std::wstring text = settings(L"dim");
  std::string utf8 = wideToUtf8(text);
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (wchar_t c : text) {
    le.push_back(static_cast<char>(c & 0xFF));
    le.push_back(static_cast<char>(c >> 8));
    be.push_back(static_cast<char>(c >> 8));
    be.push_back(static_cast<char>(c & 0xFF));
  }
  EXPECT_EQ(decodeSettingsText(utf8), text);
  EXPECT_EQ(decodeSettingsText("\xEF\xBB\xBF" + utf8), text);
  EXPECT_EQ(decodeSettingsText(le), text);
  EXPECT_EQ(decodeSettingsText(be), text);
  EXPECT_EQ(themeFromSettings(decodeSettingsText(le), false, false), Theme::Dim);
}

TEST(ThemeChoice, NamesOfTheThemes) {
  EXPECT_STREQ(themeName(Theme::Light), L"light");
  EXPECT_STREQ(themeName(Theme::Contrast), L"contrast");
  EXPECT_STREQ(themeName(static_cast<Theme>(9)), L"light");
}

}  // namespace
}  // namespace zs
