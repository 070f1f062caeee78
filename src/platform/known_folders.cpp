#include "platform/known_folders.h"

#include "platform/system_library.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

namespace zs {

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::wstring programFilesFromRegistry() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS) {
    return {};
  }
  wchar_t data[260] = {};  // 520 bytes: a value that does not fit is not used
  DWORD type = 0;
  DWORD bytes = sizeof(data);
  LONG rc = RegQueryValueExW(key, L"ProgramFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return {};
  return programFilesFromRegistryValue(type, data, bytes);
}

std::wstring environmentValue(const wchar_t* name) {
  wchar_t buffer[261] = {};  // up to 260 characters
  DWORD n = GetEnvironmentVariableW(name, buffer, 261);
  if (n == 0 || n > 260) return {};
  return std::wstring(buffer, n);
}

}  // namespace

std::wstring programFilesFromRegistryValue(unsigned long type, const wchar_t* data, unsigned long bytes) {
  if (type != REG_SZ || data == nullptr) return {};
  std::wstring value(data, bytes / sizeof(wchar_t));
  // The stored text may or may not end in its zero; nothing after the first zero counts.
  size_t zero = value.find(L'\0');
  if (zero != std::wstring::npos) value.resize(zero);
  return value;
}

std::wstring knownFolderPath(const _GUID& id, void* token) {
  PWSTR path = nullptr;
  HRESULT hr = SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, static_cast<HANDLE>(token), &path);
  std::wstring result;
  if (SUCCEEDED(hr) && path != nullptr) result = normalizePath(path);
  CoTaskMemFree(path);
  return result;
}

bool isWindows64() {
  USHORT machine = nativeMachine();
  return machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_ARM64;
}

KnownFolders resolveKnownFolders() {
  KnownFolders f;
  if (isWindows64()) {
    f.pf = normalizePath(programFilesFromRegistry());
    if (f.pf.empty()) f.pf = normalizePath(environmentValue(L"ProgramW6432"));
    f.pf32 = knownFolderPath(FOLDERID_ProgramFilesX86, nullptr);
  } else {
    f.pf = knownFolderPath(FOLDERID_ProgramFiles, nullptr);
    f.pf32 = f.pf;
  }
  f.programs = knownFolderPath(FOLDERID_CommonPrograms, nullptr);
  f.desktop = knownFolderPath(FOLDERID_PublicDesktop, nullptr);
  f.win = knownFolderPath(FOLDERID_Windows, nullptr);
  std::wstring programData = knownFolderPath(FOLDERID_ProgramData, nullptr);
  if (!programData.empty()) f.setupdata = normalizePath(programData + L"\\ZelvanSetup");
  f.userProfiles = knownFolderPath(FOLDERID_UserProfiles, nullptr);
  for (const GUID* id : {&FOLDERID_Public, &FOLDERID_PublicDocuments, &FOLDERID_PublicDesktop,
                         &FOLDERID_PublicDownloads, &FOLDERID_PublicMusic, &FOLDERID_PublicPictures,
                         &FOLDERID_PublicVideos}) {
    std::wstring folder = knownFolderPath(*id, nullptr);
    if (!folder.empty()) f.publicFolders.push_back(std::move(folder));
  }
  resolveUserFolders(f);
  return f;
}

const KnownFolders& knownFolders() {
  // Set before the computation starts; the first call comes from the main thread alone.
  static bool computed = false;
  static KnownFolders folders;
  if (!computed) {
    computed = true;
    folders = resolveKnownFolders();
  }
  return folders;
}

VariableTable makeVariableTable(const KnownFolders& folders, std::wstring_view app) {
  VariableTable table;
  table.set(L"app", app);
  table.set(L"pf", folders.pf);
  table.set(L"pf32", folders.pf32);
  table.set(L"programs", folders.programs);
  table.set(L"desktop", folders.desktop);
  table.set(L"docs", folders.docs);
  table.set(L"appdata", folders.appdata);
  table.set(L"win", folders.win);
  table.set(L"setupdata", folders.setupdata);
  return table;
}

}  // namespace zs
