#include "app/startup.h"

#include <windows.h>

#include <iterator>
#include <memory>

#include "app/install_run.h"
#include "app/log.h"
#include "app/switches.h"
#include "journal/recovery.h"
#include "journal/setup_data.h"
#include "payload/payload_resource.h"
#include "platform/shell.h"
#include "platform/system_library.h"
#include "ui/gui_adapters.h"
#include "ui/plain_messages.h"
#include "ui/setup_window.h"
#include "ui/theme_choice.h"
#include "uninstall/temp_copy.h"
#include "uninstall/uninstall_run.h"
#include "uninstall/uninstaller_test.h"

namespace zs {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitWindowsTooOld = 4;
constexpr int kExitBadSwitch = 6;
constexpr int kPageBadSwitch = 13;
constexpr int kPageCouldNotFinish = 7;

int badSwitch(const wchar_t* shown) {
  if (!switches().silent) ui::runErrorPage(kPageBadSwitch, shown, systemTheme(), {});
  return theLog().finish(kExitBadSwitch);
}

int runUninstallRole() {
  theLog().setUninstallRole(true);
  if (const wchar_t* refused = refusedUninstallerSwitch(switches())) {
    logLine(L"The uninstaller takes /silent, /log= and /closeapps.");
    return badSwitch(refused);
  }
  const SwitchSet& s = switches();
  // The drawn window opens on its own thread with the first thing to show; it falls back to message
  // boxes by itself.
  std::unique_ptr<ui::GuiUninstall> gui;
  if (!s.silent) gui = std::make_unique<ui::GuiUninstall>(systemTheme());
  const std::wstring exePath = ownExecutablePath();
  int32_t result = runUninstall(s, exePath, gui.get());
  if (gui != nullptr) {
    gui->close();
    gui.reset();
    if (result == kRecoveryIncomplete) ui::runErrorPage(kPageCouldNotFinish, {}, systemTheme(), theLog().openPath());
  }
  // A temporary copy cannot delete its own file: it goes, with its folder, at the next restart.
  if (isTemporaryCopyPath(exePath, setupDataPath())) scheduleTemporaryCopyRemoval(exePath);
  return theLog().finish(result);
}

}  // namespace

const wchar_t* refusedUninstallerSwitch(const SwitchSet& s) {
  if (s.dirGiven) return L"/dir=";
  if (s.tasksGiven) return L"/tasks=";
  if (s.noRun) return L"/norun";
  return nullptr;
}

int runProcess() {
  auto setDefaultDllDirectories =
      systemProc<BOOL(WINAPI*)(DWORD)>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (setDefaultDllDirectories == nullptr) {
    MessageBoxW(nullptr, L"Zelvan needs Windows 8.1 or later. Nothing has been changed.", L"Install Zelvan",
                MB_ICONERROR);
    return kExitWindowsTooOld;
  }
  setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  captureStartDir();
  wchar_t system[MAX_PATH];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n != 0 && n < MAX_PATH) SetCurrentDirectoryW(system);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  parseProcessCommandLine();
  const SwitchSet& s = switches();
  theLog().configure(Log::Config{s.logPath, s.silent, prepareSetupData});
  logf(L"Zelvan setup started. Switches:%ls", s.switchText.c_str());

  if (LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr ||
      LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr) {
    logLine(L"bcrypt.dll or cabinet.dll is missing. Nothing was written.");
    return theLog().finish(kExitFailed);
  }

  if (!s.silent) {
    // What the window and the pre-flight checks load anyway is mapped while the checks run: the
    // first frame comes sooner.
    static const wchar_t* const kDrawingLibraries[] = {L"msi.dll", L"d2d1.dll", L"dwrite.dll", L"windowscodecs.dll",
                                                       L"shcore.dll", L"dwmapi.dll"};
    preloadSystemLibraries(kDrawingLibraries, std::size(kDrawingLibraries));
  }

  bool payload = hasPayloadResource();
  if (!s.badSwitch.empty()) {
    theLog().setUninstallRole(!payload);
    logf(L"Bad switch: %ls", s.badSwitch.c_str());
    return badSwitch(s.badSwitch.c_str());
  }

  if (payload) return runInstallRole();
  if (!isUninstaller()) {
    logLine(L"There is no payload, and this exe isn't the uninstaller.");
    return runInstallRole();
  }
  return runUninstallRole();
}

}  // namespace zs
