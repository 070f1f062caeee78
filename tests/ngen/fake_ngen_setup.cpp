#include "ngen/fake_ngen_setup.h"

#include <windows.h>

#include <algorithm>

#include "platform/files.h"
#include "base/text.h"
#include "support/temp_folder.h"

namespace zs::test {

namespace {

std::vector<std::string> linesOf(const std::wstring& path) {
  std::vector<std::string> lines;
  if (!fileExists(path)) return lines;
  std::string text = readBytes(path);
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

}  // namespace

FakeNgen::FakeNgen(const std::wstring& windowsFolder, const std::wstring& framework) {
  std::wstring folder = windowsFolder;
  for (const std::wstring& part : {std::wstring(L"Microsoft.NET"), framework, std::wstring(L"v4.0.30319")}) {
    folder += L"\\" + part;
    if (!isDirectory(folder)) {
      if (!createFolder(folder)) return;
      made_.push_back(folder);
    }
  }
  folder_ = folder;
  path_ = folder + L"\\ngen.exe";
  std::wstring source = L"Z:" + utf8ToWide(ZS_FAKE_NGEN);
  std::replace(source.begin(), source.end(), L'/', L'\\');
  placed_ = CopyFileW(source.c_str(), path_.c_str(), TRUE) != 0;
  if (placed_ && !writeBytes(beside(L"calls.txt"), "")) {
    DeleteFileW(path_.c_str());
    placed_ = false;
  }
}

FakeNgen::~FakeNgen() {
  if (placed_) DeleteFileW(path_.c_str());
  for (const wchar_t* name : {L"images.txt", L"calls.txt", L"display.txt", L"hang-queue.txt"}) DeleteFileW(beside(name).c_str());
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) RemoveDirectoryW(it->c_str());
}

std::vector<std::string> FakeNgen::images() const { return linesOf(beside(L"images.txt")); }
std::vector<std::string> FakeNgen::calls() const { return linesOf(beside(L"calls.txt")); }

}  // namespace zs::test
