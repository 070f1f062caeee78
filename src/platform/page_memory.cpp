#include "platform/page_memory.h"

#include <windows.h>

namespace zs {

uint64_t PageMemory::pageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

bool PageMemory::allocate(uint64_t size, unsigned long* error) {
  reset();
  if (size > SIZE_MAX) {
    if (error) *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  const size_t bytes = size == 0 ? 1 : static_cast<size_t>(size);
  void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) {
    if (error) *error = GetLastError();
    return false;
  }
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

void PageMemory::reset() {
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
  data_ = nullptr;
  size_ = 0;
}

bool PageMemory::discard(uint64_t offset, uint64_t length, unsigned long* error) {
  if (data_ == nullptr || offset >= size_) return true;
  if (length > size_ - offset) length = size_ - offset;
  const uint64_t page = pageSize();
  const uint64_t first = (offset + page - 1) / page * page;
  const uint64_t end = (offset + length) / page * page;
  if (end <= first) return true;
  // Decommitted rather than reset: that gives back the commit charge as well as the pages.
  if (!VirtualFree(data_ + first, static_cast<size_t>(end - first), MEM_DECOMMIT)) {
    if (error) *error = GetLastError();
    return false;
  }
  return true;
}

}  // namespace zs
