// A fresh folder for one test, removed with everything in it: under the prefix's temp folder, or at
// the system drive's root (C:\zs-...), where no user profile lies above it.
#pragma once

#include <windows.h>

#include <string>

namespace zs::test {

class TempFolder {
 public:
  enum class Where { UserTemp, DriveRoot };

  explicit TempFolder(Where where = Where::UserTemp);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Whole-file helpers for tests: raw bytes in and out.
std::string readBytes(const std::wstring& path);
bool writeBytes(const std::wstring& path, const std::string& bytes);
// The same, making the missing folders above the file first.
bool writeBytesMakingFolders(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);

}  // namespace zs::test
