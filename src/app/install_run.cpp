#include "app/install_run.h"

#include <windows.h>

#include "app/log.h"
#include "app/switches.h"
#include "payload/payload_resource.h"
#include "platform/instance.h"
#include "ui/error_page.h"
#include "uninstall/uninstaller_test.h"

namespace zs {

namespace {

constexpr int kExitWindowsTooOld = 4;
constexpr int kExitDamaged = 9;
constexpr int kExitOtherSetup = 12;

struct WindowsVersion {
  DWORD major = 0;
  DWORD minor = 0;
};

// RtlGetVersion tells the truth where GetVersionEx lies to unmanifested programs. A missing or
// failing call reads as 0.0.
WindowsVersion windowsVersion() {
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  auto rtlGetVersion = ntdll == nullptr ? nullptr
      : reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion == nullptr || rtlGetVersion(&info) != 0) return {};
  return {info.dwMajorVersion, info.dwMinorVersion};
}

int refuse(int page, int exitCode) {
  if (!switches().silent) showErrorPage(page, L"");
  return theLog().finish(exitCode);
}

}  // namespace

int runInstallRole() {
  WindowsVersion v = windowsVersion();
  logf(L"Windows %d.%d", static_cast<int>(v.major), static_cast<int>(v.minor));
  if (v.major < 6 || (v.major == 6 && v.minor < 3)) {
    logLine(L"Windows is too old.");
    return refuse(8, kExitWindowsTooOld);
  }

  InstanceLock lock = acquireInstanceMutex(L"Global\\ZelvanSetup-" + std::wstring(kStubAppId));
  if (lock.otherRunning) {
    logLine(L"Another setup is running.");
    if (!switches().silent) bringWindowForward(L"ZelvanSetupWnd");
    return theLog().finish(kExitOtherSetup);
  }
  // The handle stays open until the process ends.

  if (!hasPayloadResource()) return refuse(10, kExitDamaged);
  // The payload reader and everything after it arrive with the payload and install engines.
  logLine(L"The payload reader is not built yet.");
  return refuse(10, kExitDamaged);
}

}  // namespace zs
