#include "ui/theme_choice.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <optional>

#include "platform/files.h"
#include "platform/signed_in_user.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"

namespace zs {

namespace {

constexpr const wchar_t* kThemeNames[] = {L"light", L"warm", L"dim", L"dark", L"contrast"};
constexpr uint64_t kSettingsLimit = 1048576;

bool highContrastOn() {
  HIGHCONTRASTW hc{};
  hc.cbSize = sizeof(hc);
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
}

// The signed-in user's app mode, read from that user's own hive while impersonating them.
bool darkAppsOn() {
  if (signedInUserTokens().impersonation == nullptr) return false;
  bool dark = false;
  runAsUser([&] {
    HKEY user = nullptr;
    if (RegOpenCurrentUser(KEY_READ, &user) != ERROR_SUCCESS) return;
    DWORD value = 1, size = sizeof(value), type = 0;
    if (RegGetValueW(user, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                     L"AppsUseLightTheme", RRF_RT_REG_DWORD, &type, &value, &size) == ERROR_SUCCESS)
      dark = value == 0;
    RegCloseKey(user);
  });
  return dark;
}

std::wstring settingValue(std::wstring_view text, std::wstring_view key) {
  std::wstring tag = L"<Setting key=\"" + std::wstring(key) + L"\">";
  size_t at = text.find(tag);
  if (at == std::wstring_view::npos) return {};
  size_t start = at + tag.size();
  size_t end = text.find(L'<', start);
  if (end == std::wstring_view::npos) return {};
  std::wstring value(trimWhite(text.substr(start, end - start)));
  for (wchar_t& c : value) c = static_cast<wchar_t>(std::towlower(c));
  return value;
}

std::optional<Theme> namedTheme(std::wstring_view name) {
  for (Theme theme : {Theme::Light, Theme::Warm, Theme::Dim, Theme::Dark, Theme::Contrast})
    if (name == themeName(theme)) return theme;
  return std::nullopt;
}

void wipe(std::wstring& s) {
  std::fill(s.begin(), s.end(), L'\0');
  s.clear();
}

}  // namespace

const wchar_t* themeName(Theme theme) {
  int index = static_cast<int>(theme);
  return index >= 0 && index < 5 ? kThemeNames[index] : kThemeNames[0];
}

Theme systemTheme() {
  if (highContrastOn()) return Theme::Contrast;
  if (darkAppsOn()) return Theme::Dark;
  return Theme::Light;
}

Theme themeFromSettings(std::wstring_view text, bool highContrast, bool darkApps) {
  std::wstring theme = settingValue(text, L"UI_Theme");
  std::wstring dark = settingValue(text, L"UI_ThemeDark");
  std::wstring light = settingValue(text, L"UI_ThemeLight");
  if (std::optional<Theme> named = namedTheme(theme)) return *named;
  if (theme != L"system" || highContrast) return highContrast ? Theme::Contrast : darkApps ? Theme::Dark : Theme::Light;
  if (darkApps) return dark == L"dim" ? Theme::Dim : Theme::Dark;
  return light == L"warm" ? Theme::Warm : Theme::Light;
}

std::wstring decodeSettingsText(std::string_view bytes) {
  auto utf16 = [&](bool bigEndian) {
    std::wstring out;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
      out.push_back(static_cast<wchar_t>(bigEndian ? (a << 8 | b) : (b << 8 | a)));
    }
    return out;
  };
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return utf16(false);
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') return utf16(true);
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return utf8ToWide(bytes);
}

Theme chooseTheme(const std::wstring& themeFile, const KnownFolders& folders) {
  if (themeFile.empty() || signedInUserTokens().impersonation == nullptr || !folders.userFoldersKnown)
    return systemTheme();
  std::wstring path = expandPaths(themeFile, makeVariableTable(folders, L""));
  const std::wstring& base = isUnderVariable(themeFile, L"docs") ? folders.docs : folders.appdata;
  size_t slash = path.rfind(L'\\');
  std::wstring parent = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
  std::string bytes;
  runAsUser([&] {
    if (base.empty() || !isSameOrInside(parent, base) || !noLinkBelow(base, path)) return;
    readWholeFile(path, kSettingsLimit, bytes);
  });
  if (bytes.empty()) return systemTheme();
  std::wstring text = decodeSettingsText(bytes);
  std::fill(bytes.begin(), bytes.end(), '\0');
  bool highContrast = highContrastOn();
  bool darkApps = darkAppsOn();
  Theme theme = themeFromSettings(text, highContrast, darkApps);
  wipe(text);
  return theme;
}

}  // namespace zs
