#include "app/setup_role.h"

#include <windows.h>

#include <memory>

#include "base/log.h"
#include "base/switches.h"
#include "install/preflight.h"
#include "install/transaction.h"
#include "journal/recovery.h"
#include "payload/payload_reader.h"
#include "platform/app_processes.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/signed_in_user.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "ui/silent_sink.h"
#include "ui/gui_adapters.h"
#include "ui/plain_messages.h"
#include "ui/plain_window.h"
#include "ui/setup_window.h"
#include "ui/theme_choice.h"
#include "uninstall/existing_install.h"
#include "uninstall/uninstaller_role.h"

namespace zs {

namespace {

constexpr int kExitNoDotNet = 3;
constexpr int kExitWindowsTooOld = 4;
constexpr int kExitNewerInstalled = 5;
constexpr int kExitUnknownTask = 6;
constexpr int kExitAppRunning = 7;
constexpr int kExitFolderRefused = 8;
constexpr int kExitDamaged = 9;
constexpr int kExitMsiCopy = 11;
constexpr int kExitOtherSetup = 12;

// RtlGetVersion tells the truth where GetVersionEx lies to unmanifested programs. A missing or
// failing call reads as 0.0.
WindowsVersion queryWindowsVersion() {
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  auto rtlGetVersion = systemProc<RtlGetVersionFn>(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
  if (rtlGetVersion == nullptr || rtlGetVersion(&info) != 0) return {};
  return {info.dwMajorVersion, info.dwMinorVersion};
}

// Shows the page unless silent, then finishes the log with the exit code. A link the user asks
// for (the .NET download page) is opened through the desktop shell as the signed-in user: this
// process is elevated, and a browser must not be.
int refuse(ui::Page page, int exitCode, std::wstring_view detail = {}) {
  if (!switches().silent) ui::runErrorPage(page, detail, systemTheme(), theLog().openPath());
  return theLog().finish(exitCode);
}

bool olderThan(WindowsVersion v, uint32_t major, uint32_t minor) {
  return v.major < major || (v.major == major && v.minor < minor);
}

// A Windows Installer product registered under the stub's upgrade code.
bool windowsInstallerCopyPresent() {
  HMODULE msi = loadSystemLibrary(L"msi.dll");
  using EnumRelated = UINT(WINAPI*)(LPCWSTR, DWORD, DWORD, LPWSTR);
  auto enumRelated = systemProc<EnumRelated>(msi, "MsiEnumRelatedProductsW");
  if (enumRelated == nullptr) return false;
  std::wstring upgradeCode = L"{" + std::wstring(kStubAppId) + L"}";
  wchar_t product[39] = {};
  return enumRelated(upgradeCode.c_str(), 0, 0, product) == ERROR_SUCCESS;
}

std::vector<std::wstring> chooseTasks(const SwitchSet& s, const SetupScript& script, const ExistingInstall& existing) {
  std::vector<std::wstring> tasks;
  auto defined = [&](std::wstring_view name) { return findTask(script, name) != nullptr; };
  if (s.tasksGiven) return s.tasks;
  if (!existing.usable()) {
    for (const TaskEntry& t : script.tasks)
      if (t.defaultOn) tasks.push_back(t.name);
  } else if (existing.kind == InstallKind::Own) {
    for (std::wstring& name : splitTrimmed(existing.tasks, L','))
      if (defined(name)) tasks.push_back(std::move(name));
  } else {
    bool hadDesktopIcon = false;
    for (const std::wstring& name : splitTrimmed(existing.tasks, L','))
      hadDesktopIcon = hadDesktopIcon || equalsNoCase(name, L"desktopicon");
    for (const wchar_t* name : {L"desktopicon", L"fileassoc", L"startfaster"}) {
      if (equalsNoCase(name, L"desktopicon") && !hadDesktopIcon) continue;
      if (defined(name)) tasks.emplace_back(name);
    }
  }
  return tasks;
}

}  // namespace

WindowsVersion windowsVersion() { return queryWindowsVersion(); }

int runInstallRole() {
  const SwitchSet& s = switches();

  WindowsVersion v = queryWindowsVersion();
  logf(L"Windows %d.%d", static_cast<int>(v.major), static_cast<int>(v.minor));
  if (olderThan(v, 6, 3)) {
    logLine(L"Windows is too old.");
    return refuse(ui::Page::OldWindows, kExitWindowsTooOld);
  }

  InstanceLock lock = acquireInstanceMutex(L"Global\\ZelvanSetup-" + std::wstring(kStubAppId));
  if (lock.otherRunning) {
    logLine(L"Another setup is running.");
    if (!s.silent) bringWindowForward(kSetupWindowClass);
    return theLog().finish(kExitOtherSetup);
  }
  // The handle stays open until the process ends: the uninstaller takes the same name.

  static Payload payload;  // stays loaded for the whole run
  if (loadPayload(payload) != kPayloadAccepted) return refuse(ui::Page::Damaged, kExitDamaged);
  const SetupScript& script = payload.script;

  theLog().setVersionTag(script.setup.appVersion);
  if (!equalsNoCase(script.setup.appId, kStubAppId))
    logf(L"The script's AppId differs from the stub's: %ls", script.setup.appId.c_str());

  if (olderThan(v, script.setup.minWindowsMajor, script.setup.minWindowsMinor)) {
    logLine(L"Windows is older than the script asks for.");
    return refuse(ui::Page::OldWindows, kExitWindowsTooOld);
  }

  for (const std::wstring& task : s.tasks) {
    if (findTask(script, task) == nullptr) {
      logf(L"Unknown task: %ls", task.c_str());
      return refuse(ui::Page::BadSwitch, kExitUnknownTask, L"/tasks=" + task);
    }
  }

  std::wstring wine;
  if (trustsOwnAccountUnderWine(&wine))
    logf(L"Running under Wine %ls: its own account counts as an administrator.", wine.c_str());

  const KnownFolders& folders = knownFolders();
  if (!folders.userFoldersKnown)
    logLine(L"No signed-in user's token, so first-run files, [Dirs], the warm-up and the theme read are skipped.");

  int32_t recovered = kRecoveryGoOn;
  {
    // An interrupted earlier run is rolled back in a window of its own, opened only if it happens.
    std::unique_ptr<ui::StartupRollback> rollback;
    if (!s.silent) rollback = std::make_unique<ui::StartupRollback>(systemTheme());
    recovered = recoverAtStartup(folders, script.setup.appId, rollback.get());
  }
  if (recovered != kRecoveryGoOn) return refuse(ui::Page::Incomplete, recovered);

  ExistingInstall existing = detectExistingInstall(script, folders);
  logf(L"Existing install: %ls%ls", installKindName(existing.kind), existing.orphan ? L" (orphan entry)" : L"");

  uint16_t scriptVersion[4];
  if (existing.usable() && existing.versionKnown && parseVersion(script.setup.fileVersion, scriptVersion) &&
      compareVersions(existing.versionParts, scriptVersion) > 0) {
    logf(L"Installed %ls is newer than %ls.", existing.version.c_str(), script.setup.fileVersion.c_str());
    return refuse(ui::Page::NewerInstalled, kExitNewerInstalled);
  }

  if (windowsInstallerCopyPresent()) {
    logLine(L"An old Windows Installer copy is on this PC.");
    return refuse(ui::Page::MsiCopy, kExitMsiCopy);
  }

  DWORD release = 0;
  bool haveRelease = readDword(L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full", L"Release", release);
  logf(L".NET Framework Release: %lu%ls", haveRelease ? release : 0ul, haveRelease ? L"" : L" (no key)");
  if (!haveRelease || release < script.setup.minDotNet) return refuse(ui::Page::NoDotNet, kExitNoDotNet);

  Theme theme = chooseTheme(existing.usable() ? script.setup.themeFile : std::wstring(), folders);
  logf(L"Theme: %ls", themeName(theme));

  std::wstring folder = s.dirGiven ? s.dir
                        : existing.usable() ? existing.folder
                                            : expandPaths(script.setup.defaultDir, makeVariableTable(folders, L""));
  std::vector<std::wstring> tasks = chooseTasks(s, script, existing);

  if (!s.silent) {
    // The wizard validates the folder, asks about a running Zelvan and runs the transaction on its
    // worker thread; it hands over to plain mode when it cannot draw.
    ui::UiState state = ui::installState(script, folder, tasks, s.noRun);
    state.versionText = script.setup.appVersion;
    state.theme = theme;
    ui::WorkerLink link;
    int32_t result = ui::runInstallWizard(InstallSources{&payload, &folders, existing}, state, link);
    return theLog().finish(result);
  }

  InstallSources sources{&payload, &folders, existing};
  FolderCheck check = checkFolderBeforeInstall(folder, sources, RefusalLogLine::WithReason);
  if (!check.accepted()) return theLog().finish(kExitFolderRefused);

  std::vector<AppProcess> running = runningAppProcesses(sources, check.folder);
  if (!running.empty()) {
    if (!s.closeApps) {
      logLine(L"Zelvan is running and /closeapps was not given.");
      return theLog().finish(kExitAppRunning);
    }
    if (!closeAppProcesses(running)) return theLog().finish(kExitAppRunning);
  }

  SilentSink sink;
  InstallRequest request = beginInstall(sources, check.folder, tasks, s.noRun, &sink);
  InstallTransaction transaction(std::move(request), folders);
  RunOutcome outcome = transaction.run();
  return theLog().finish(outcome.result);
}

}  // namespace zs
