#include "journal/setup_data.h"

#include <windows.h>
#include <shlobj.h>

namespace zs {

std::wstring setupDataPath() {
  PWSTR programData = nullptr;
  std::wstring path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DONT_VERIFY, nullptr, &programData)) &&
      programData != nullptr && programData[0] != L'\0') {
    path = std::wstring(programData) + L"\\ZelvanSetup";
  }
  CoTaskMemFree(programData);
  return path;
}

bool prepareSetupData(std::wstring& folder) {
  std::wstring path = setupDataPath();
  if (path.empty()) return false;
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  // Only a real folder will do: never a file, never a link to somewhere else.
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  folder = path;
  return true;
}

}  // namespace zs
