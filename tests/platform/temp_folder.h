// What the platform tests share: folders at the drive's root, small file helpers, staged links.
#pragma once

#include <windows.h>

#include <string>

#include "platform/files.h"
#include "support/temp_folder.h"

namespace zs::test {

// Platform tests judge folders by where they lie: theirs are at the drive's root.
class DriveRootFolder : public TempFolder {
 public:
  DriveRootFolder() : TempFolder(Where::DriveRoot) {}
};

inline bool writeText(const std::wstring& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
            wrote == text.size();
  CloseHandle(h);
  return ok;
}

inline std::string readText(const std::wstring& path) {
  std::string bytes;
  readWholeFile(path, 1 << 20, bytes);
  return bytes;
}

// Where the test run's staging script put links and folders of other owners.
inline std::wstring staged(const std::wstring& rest) {
  return L"C:\\zs-platform-staged\\" + rest;
}

}  // namespace zs::test
