#include "uninstall/existing_install.h"

#include "base/log.h"
#include "platform/files.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "script/script.h"

namespace zs {

const wchar_t* installKindName(InstallKind kind) {
  switch (kind) {
    case InstallKind::Own: return L"own";
    case InstallKind::Inno: return L"Inno";
    case InstallKind::None: break;
  }
  return L"none";
}

std::wstring uninstallKeyOf(std::wstring_view entryName) {
  return L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + std::wstring(entryName);
}

bool probeInstallEntry(const std::wstring& entryName, RegView view, InstallKind kind, const KnownFolders& folders,
                       ExistingInstall& result) {
  std::wstring key = uninstallKeyOf(entryName);
  if (!keyExists(RegRoot::Hklm, view, key)) return false;
  result = ExistingInstall{};
  result.kind = kind;
  result.view = view;
  result.entryName = entryName;

  std::wstring location;
  if (!readString(view, key, L"InstallLocation", location) || location.empty()) {
    location.clear();
    readString(view, key, L"Inno Setup: App Path", location);
  }
  location = trimTrailingSlashes(trimWhite(location));
  if (!readString(view, key, kind == InstallKind::Own ? L"ZelvanSetup: Tasks" : L"Inno Setup: Selected Tasks",
                  result.tasks))
    result.tasks.clear();

  if (location.empty() || !isPlausibleInstallFolder(location, folders) ||
      !pathExists(location + L"\\Zelvan.exe")) {
    logf(L"Entry %ls points at a folder that can't be used: orphan. Treated as fresh.", entryName.c_str());
    result.orphan = true;
    return true;
  }
  result.folder = normalizePath(location);
  std::wstring version;
  if (readFileVersion(result.folder + L"\\Zelvan.exe", version) && parseVersion(version, result.versionParts)) {
    result.versionKnown = true;
    result.version = version;
  }
  return true;
}

ExistingInstall detectExistingInstall(const SetupScript& script, const KnownFolders& folders) {
  ExistingInstall result;
  std::wstring own = L"{" + script.setup.appId + L"}";
  bool windows64 = isWindows64();
  if (probeInstallEntry(own, RegView::View64, InstallKind::Own, folders, result)) return result;
  if (windows64 && probeInstallEntry(own, RegView::View32, InstallKind::Own, folders, result)) return result;
  for (const std::wstring& raw : script.legacy.uninstallKeys) {
    std::wstring name = expandPaths(raw, VariableTable{});
    if (windows64 && probeInstallEntry(name, RegView::View32, InstallKind::Inno, folders, result)) return result;
    if (probeInstallEntry(name, RegView::View64, InstallKind::Inno, folders, result)) return result;
  }
  return ExistingInstall{};
}

bool parseVersion(std::wstring_view text, uint16_t parts[4]) {
  uint16_t out[4] = {};
  size_t part = 0, i = 0;
  for (;;) {
    if (part == 4) return false;
    size_t start = i;
    uint32_t value = 0;
    while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') {
      value = value * 10 + static_cast<uint32_t>(text[i] - L'0');
      if (value > 65535) return false;
      ++i;
    }
    if (i == start) return false;
    out[part++] = static_cast<uint16_t>(value);
    if (i == text.size()) break;
    if (text[i] != L'.') return false;
    ++i;
  }
  for (int k = 0; k < 4; ++k) parts[k] = out[k];
  return true;
}

int compareVersions(const uint16_t a[4], const uint16_t b[4]) {
  for (int k = 0; k < 4; ++k)
    if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
  return 0;
}

}  // namespace zs
