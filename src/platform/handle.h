// Owning wrappers for the handles the platform code opens, so that every path closes them.
#pragma once

#include <windows.h>

#include <memory>
#include <utility>

namespace zs {

// A kernel handle; both null and INVALID_HANDLE_VALUE mean none.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return std::exchange(h_, nullptr); }
  void reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// A kernel handle that copies of plain data share; closed when the last copy goes. Null for none.
using SharedHandle = std::shared_ptr<void>;
inline SharedHandle shareHandle(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return {};
  return SharedHandle(h, [](void* p) { CloseHandle(p); });
}

// Memory the security functions hand out with LocalAlloc.
struct LocalFreeDeleter {
  void operator()(void* p) const {
    if (p != nullptr) LocalFree(p);
  }
};

}  // namespace zs
