// Which of the five themes the window draws in: Zelvan's own setting when Zelvan has been used
// before, otherwise the Windows app mode, and high contrast whenever Windows has it on.
#pragma once

#include <string>
#include <string_view>

namespace zs {

struct KnownFolders;

// The values pick the theme's colours in the palette and travel in the gallery's state lists.
enum class Theme : int { Light = 0, Warm = 1, Dim = 2, Dark = 3, Contrast = 4 };

// "light", "warm", "dim", "dark", "contrast"; "light" for anything else.
const wchar_t* themeName(Theme theme);

// Contrast while Windows has high contrast on, dark in the signed-in user's dark app mode, else
// light.
Theme systemTheme();

// The script's ThemeFile (possibly empty) read as the signed-in user; every failure gives the
// system theme.
Theme chooseTheme(const std::wstring& themeFile, const KnownFolders& folders);

// The theme a settings file's text names, given the system's state (pure, for tests): UI_Theme
// names a theme, or "system" picks by the system with UI_ThemeDark and UI_ThemeLight.
Theme themeFromSettings(std::wstring_view text, bool highContrast, bool darkApps);

// The settings file's bytes as text: UTF-16 with either byte order mark, else UTF-8 (a leading
// UTF-8 byte order mark skipped).
std::wstring decodeSettingsText(std::string_view bytes);

}  // namespace zs
