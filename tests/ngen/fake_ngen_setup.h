// Puts the stand-in ngen.exe where the setup looks for it under a Windows folder, and takes it
// away again with the folders it had to make and what the stand-in wrote beside itself.
#pragma once

#include <string>
#include <vector>

namespace zs::test {

class FakeNgen {
 public:
  // framework: "Framework", "Framework64" or "FrameworkArm64".
  FakeNgen(const std::wstring& windowsFolder, const std::wstring& framework);
  ~FakeNgen();
  FakeNgen(const FakeNgen&) = delete;
  FakeNgen& operator=(const FakeNgen&) = delete;

  bool placed() const { return placed_; }
  const std::wstring& path() const { return path_; }
  std::wstring beside(const wchar_t* name) const { return folder_ + L"\\" + name; }
  // images.txt and calls.txt as lines.
  std::vector<std::string> images() const;
  std::vector<std::string> calls() const;

 private:
  std::wstring folder_;
  std::wstring path_;
  std::vector<std::wstring> made_;  // folders this made, outermost first
  bool placed_ = false;
};

}  // namespace zs::test
