#include "uninstall/uninstaller_test.h"

#include <windows.h>

#include "journal/setup_data.h"
#include "platform/text.h"

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

std::wstring fullPath(const std::wstring& path) {
  wchar_t buf[4096];
  DWORD n = GetFullPathNameW(path.c_str(), 4096, buf, nullptr);
  if (n == 0 || n >= 4096) return path;
  std::wstring s(buf, n);
  while (s.size() > 3 && (s.back() == L'\\' || s.back() == L'/')) s.pop_back();
  return s;
}

// Reads the Apps & Features entry's InstallLocation, 64-bit view first.
bool registeredInstallLocation(std::wstring& location) {
  std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{" + std::wstring(kStubAppId) + L"}";
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | view, &h) != ERROR_SUCCESS) continue;
    wchar_t buf[4096];
    DWORD type = 0, size = sizeof(buf) - sizeof(wchar_t);
    LSTATUS r = RegQueryValueExW(h, L"InstallLocation", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    if (r == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
      buf[size / sizeof(wchar_t)] = L'\0';
      location = buf;
    } else {
      location.clear();
    }
    return true;
  }
  return false;
}

}  // namespace

bool isUninstallerPath(std::wstring_view exePath, std::wstring_view setupData, bool registered,
                       std::wstring_view installLocation) {
  if (!equalsNoCase(lastComponent(exePath), L"ZelvanUninstall.exe")) return false;
  std::wstring_view folder = parentOf(exePath);
  if (!setupData.empty() && equalsNoCase(parentOf(folder), setupData) &&
      startsWithNoCase(lastComponent(folder), L"un-"))
    return true;
  if (!registered) return true;
  return !installLocation.empty() && equalsNoCase(folder, installLocation);
}

bool isUninstaller() {
  wchar_t buf[4096];
  DWORD n = GetModuleFileNameW(nullptr, buf, 4096);
  if (n == 0 || n >= 4096) return false;
  std::wstring location;
  bool registered = registeredInstallLocation(location);
  if (registered && !location.empty()) location = fullPath(location);
  return isUninstallerPath(std::wstring_view(buf, n), setupDataPath(), registered, location);
}

}  // namespace zs
