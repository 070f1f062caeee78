#include "uninstall/uninstaller_role.h"

#include <windows.h>

#include "journal/recovery.h"
#include "journal/setup_data.h"
#include "platform/known_folders.h"
#include "base/text.h"
#include "base/paths.h"
#include "uninstall/uninstall_run.h"

namespace zs {

namespace {

std::wstring_view parentOf(std::wstring_view path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? std::wstring_view() : path.substr(0, slash);
}

std::wstring_view lastComponent(std::wstring_view path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool isTemporaryCopyPath(std::wstring_view exePath, std::wstring_view setupData) {
  if (!equalsNoCase(lastComponent(exePath), L"ZelvanUninstall.exe")) return false;
  std::wstring_view folder = parentOf(exePath);
  return !setupData.empty() && equalsNoCase(parentOf(folder), setupData) &&
         startsWithNoCase(lastComponent(folder), L"un-");
}

bool isUninstallerPath(std::wstring_view exePath, std::wstring_view setupData, bool registered,
                       std::wstring_view installLocation) {
  if (!equalsNoCase(lastComponent(exePath), L"ZelvanUninstall.exe")) return false;
  if (isTemporaryCopyPath(exePath, setupData)) return true;
  std::wstring_view folder = parentOf(exePath);
  if (!registered) return true;
  return !installLocation.empty() && equalsNoCase(folder, installLocation);
}

bool isUninstaller() {
  wchar_t buf[4096];
  DWORD n = GetModuleFileNameW(nullptr, buf, 4096);
  if (n == 0 || n >= 4096) return false;
  AppsEntry entry = findOwnAppsEntry();
  std::wstring location = entry.found ? normalizePath(trimWhite(entry.location)) : std::wstring();
  const std::wstring exe = normalizePath(std::wstring_view(buf, n));
  if (isUninstallerPath(exe, setupDataPath(), entry.found, location)) return true;
  // An install cut short while it wrote its entry leaves one without a location. The uninstaller
  // it placed must still start as the uninstaller, or the rollback that puts the machine back never
  // runs from it.
  return entry.found && location.empty() && equalsNoCase(lastComponent(exe), L"ZelvanUninstall.exe") &&
         rollbackWillDelete(knownFolders(), exe);
}

}  // namespace zs
