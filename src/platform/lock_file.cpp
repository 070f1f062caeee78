#include "platform/lock_file.h"

namespace zs {

UniqueHandle createLockFile(const std::wstring& path, DWORD* error) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = GetLastError();
    return {};
  }
  return UniqueHandle(h);
}

}  // namespace zs
