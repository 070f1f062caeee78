#include "platform/instance.h"

namespace zs {

InstanceLock acquireInstanceMutex(const std::wstring& name) {
  InstanceLock lock;
  SetLastError(0);
  HANDLE h = CreateMutexW(nullptr, TRUE, name.c_str());
  DWORD error = GetLastError();
  if (h != nullptr && error == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    lock.otherRunning = true;
  } else if (h == nullptr && error == ERROR_ACCESS_DENIED) {
    lock.otherRunning = true;
  } else if (h == nullptr) {
    lock.error = error != 0 ? error : ERROR_INVALID_HANDLE;
  } else {
    lock.handle = h;
  }
  return lock;
}

void bringWindowForward(const wchar_t* windowClass) {
  HWND w = FindWindowW(windowClass, nullptr);
  if (w == nullptr) return;
  if (IsIconic(w)) ShowWindow(w, SW_RESTORE);
  SetForegroundWindow(w);
}

}  // namespace zs
