#include "app/startup.h"

#include <windows.h>

#include <iterator>
#include <memory>

#include "app/setup_role.h"
#include "app/uninstall_role.h"
#include "base/log.h"
#include "base/switches.h"
#include "base/texts.h"
#include "journal/setup_data.h"
#include "payload/payload_resource.h"
#include "platform/system_library.h"
#include "ui/setup_window.h"
#include "ui/ui_state.h"
#include "ui/theme_choice.h"
#include "uninstall/uninstaller_role.h"

namespace zs {

int refuseBadSwitch(const wchar_t* shown) {
  if (!switches().silent) ui::runErrorPage(ui::Page::BadSwitch, shown, systemTheme(), {});
  return theLog().finish(ExitCode::BadSwitch);
}

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
    return exitNumber(ExitCode::WindowsTooOld);
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
    return theLog().finish(ExitCode::Failed);
  }

  if (!s.silent) {
    // What the window and the pre-flight checks load anyway is mapped while the checks run: the
    // first frame comes sooner.
    static const wchar_t* const kDrawingLibraries[] = {L"msi.dll", L"d2d1.dll", L"dwrite.dll", L"windowscodecs.dll",
                                                       L"shcore.dll", L"dwmapi.dll"};
    preloadSystemLibraries(kDrawingLibraries, std::size(kDrawingLibraries));
  }

  // Chosen before any page can show; an unknown /lang= leaves Windows' choice for the page that refuses it.
  LanguageChoice language = chooseProcessLanguage(s.langGiven, s.lang);
  logLine(languageLogLine(language));

  bool payload = hasPayloadResource();
  if (!s.badSwitch.empty()) {
    theLog().setUninstallRole(!payload);
    logf(L"Bad switch: %ls", s.badSwitch.c_str());
    return refuseBadSwitch(s.badSwitch.c_str());
  }
  if (language.unknownSwitch) {
    theLog().setUninstallRole(!payload);
    std::wstring shown = L"/lang=" + s.lang;
    std::wstring tables;
    for (const std::wstring& tag : availableLanguages()) tables += (tables.empty() ? L"" : L", ") + tag;
    logf(L"Bad switch: %ls (this setup has no such language; it has %ls)", shown.c_str(), tables.c_str());
    return refuseBadSwitch(shown.c_str());
  }

  if (payload) return runInstallRole();
  if (!isUninstaller()) {
    logLine(L"There is no payload, and this exe isn't the uninstaller.");
    return runInstallRole();
  }
  return runUninstallRole();
}

}  // namespace zs
