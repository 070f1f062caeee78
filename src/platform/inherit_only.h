// Starting a child that inherits exactly one handle of this process.
#pragma once

#include <windows.h>

#include <vector>

namespace zs {

// The attribute list that limits what a child inherits to exactly one handle, whatever else this
// process holds as inheritable at the moment (another thread may be starting a child of its own).
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {}
  ~InheritOnly() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;

  // Null when the list cannot be made (error says why).
  LPPROC_THREAD_ATTRIBUTE_LIST make(DWORD& error) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      error = GetLastError();
      return nullptr;
    }
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_, sizeof(handle_), nullptr,
                                   nullptr)) {
      error = GetLastError();
      return nullptr;
    }
    return list_;
  }

 private:
  HANDLE handle_;  // the list points here until the child is created
  std::vector<BYTE> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace zs
