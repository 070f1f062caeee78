#include "platform/resource.h"

#include <windows.h>

namespace zs {

std::span<const uint8_t> rcdataResource(const wchar_t* name) {
  HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (found == nullptr) return {};
  const DWORD size = SizeofResource(nullptr, found);
  HGLOBAL loaded = LoadResource(nullptr, found);
  const void* data = loaded == nullptr ? nullptr : LockResource(loaded);
  if (data == nullptr || size == 0) return {};
  return {static_cast<const uint8_t*>(data), size};
}

}  // namespace zs
