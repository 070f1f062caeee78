// One setup or uninstaller at a time: the named mutex, and finding the other one's window.
#pragma once

#include <windows.h>

#include <string>

namespace zs {

struct InstanceLock {
  HANDLE handle = nullptr;     // kept open until the process ends
  bool otherRunning = false;   // another process holds the name
  DWORD error = 0;             // when neither held nor taken
  bool held() const { return handle != nullptr; }
};

// Creates the mutex with initial ownership. Another holder shows as ERROR_ALREADY_EXISTS on a
// handle, or as ERROR_ACCESS_DENIED with none (its owner runs under another account). Any other
// failure leaves the lock not held, with the Windows error; the caller must not go on without it.
InstanceLock acquireInstanceMutex(const std::wstring& name);

// The class of the setup's window, drawn or plain: a second setup finds the first by it.
inline constexpr wchar_t kSetupWindowClass[] = L"ZelvanSetupWnd";

// Restores the top-level window of the given class if minimised and brings it to the front.
void bringWindowForward(const wchar_t* windowClass);

}  // namespace zs
