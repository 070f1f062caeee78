// Where the test helper program was built, as a Windows path (Wine sees the build tree on Z:).
#pragma once

#include <string>

namespace zs::test {

inline std::wstring procHelperPath() {
  std::string unix = ZS_PROC_HELPER;
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

}  // namespace zs::test
