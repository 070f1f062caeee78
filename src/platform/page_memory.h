// Memory taken from the system in whole pages, so that parts of it can be given back while the
// rest stays in use. The decompressed block is held this way: the pages of files already staged
// go back to the system at once instead of staying resident until the block is released.
//
// Contract: discard() is for ranges nothing will read or write again; a discarded page faults
// when touched. The memory is released as a whole by reset() or the destructor. Never throws,
// never logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace zs {

class PageMemory {
 public:
  PageMemory() = default;
  ~PageMemory() { reset(); }
  PageMemory(PageMemory&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  PageMemory& operator=(PageMemory&& o) noexcept {
    if (this != &o) {
      reset();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  PageMemory(const PageMemory&) = delete;
  PageMemory& operator=(const PageMemory&) = delete;

  // Reserves and commits `size` bytes (one page for 0), zero-filled, replacing what was held.
  // False with the Windows error when the system has not got them.
  bool allocate(uint64_t size, unsigned long* error);
  void reset();

  uint8_t* get() const { return data_; }
  uint64_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }

  // The system's page size: the unit discard() works in.
  static uint64_t pageSize();

  // Gives back every whole page inside [offset, offset + length); the partial pages at either
  // end stay. False with the Windows error if the system refused (the pages then stay as they
  // were, which costs memory and nothing else).
  bool discard(uint64_t offset, uint64_t length, unsigned long* error);

 private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace zs
