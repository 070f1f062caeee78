// A fresh folder on C: for one test, removed with everything in it afterwards.
#pragma once

#include <windows.h>

#include <string>

#include "platform/files.h"

namespace zs::test {

class TempFolder {
 public:
  explicit TempFolder(const wchar_t* tag = L"t") {
    static unsigned counter = 0;
    wchar_t name[128];
    swprintf(name, 128, L"C:\\zs-%ls-%lu-%u", tag, GetCurrentProcessId(), ++counter);
    path_ = name;
    deleteTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() { deleteTree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& rest) const { return path_ + L"\\" + rest; }

 private:
  std::wstring path_;
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
