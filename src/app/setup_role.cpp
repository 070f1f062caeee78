#include "app/setup_role.h"

#include <windows.h>

#include <memory>
#include <optional>

#include "base/log.h"
#include "base/switches.h"
#include "install/preflight.h"
#include "install/transaction.h"
#include "journal/cleanup.h"
#include "journal/recovery.h"
#include "journal/setup_data.h"
#include "payload/payload_reader.h"
#include "platform/app_processes.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "ui/silent_sink.h"
#include "ui/gui_adapters.h"
#include "ui/plain_window.h"
#include "ui/setup_window.h"
#include "ui/theme_choice.h"
#include "uninstall/existing_install.h"
#include "uninstall/temp_copy.h"
#include "uninstall/uninstaller_role.h"

namespace zs {

namespace {

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

// What the checks before the install learn, each handing on to the next.
struct SetupChecks {
  const SwitchSet& switches;
  WindowsVersion windows;
  InstanceLock lock;           // held until the process ends: the uninstaller takes the same name
  Payload& payload;            // stays loaded for the whole run
  const KnownFolders* folders = nullptr;
  ExistingInstall existing;
};

// Why the setup stops before changing anything: the page a person is shown (none for another
// running setup, which is brought forward instead) and the exit code.
struct Refusal {
  std::optional<ui::Page> page;
  ExitCode code;
  std::wstring detail;
};

using Check = std::optional<Refusal> (*)(SetupChecks&);

std::optional<Refusal> windowsIsRecentEnough(SetupChecks& c) {
  c.windows = queryWindowsVersion();
  logf(L"Windows %d.%d", static_cast<int>(c.windows.major), static_cast<int>(c.windows.minor));
  if (!olderThan(c.windows, 6, 3)) return std::nullopt;
  logLine(L"Windows is too old.");
  return Refusal{ui::Page::OldWindows, ExitCode::WindowsTooOld, {}};
}

std::optional<Refusal> noOtherSetupRuns(SetupChecks& c) {
  c.lock = acquireInstanceMutex(L"Global\\ZelvanSetup-" + std::wstring(kStubAppId));
  if (c.lock.otherRunning) {
    logLine(L"Another setup is running.");
    if (!c.switches.silent) bringWindowForward(kSetupWindowClass);
    return Refusal{std::nullopt, ExitCode::OtherSetup, {}};
  }
  if (c.lock.held()) return std::nullopt;
  // Without the lock a second setup or uninstaller could work on the same files at the same time.
  logWinError(L"Could not take the lock that keeps a second setup from running", c.lock.error);
  return Refusal{std::nullopt, ExitCode::OtherSetup, {}};
}

std::optional<Refusal> payloadIsSound(SetupChecks& c) {
  if (loadPayload(c.payload) != kPayloadAccepted) return Refusal{ui::Page::Damaged, ExitCode::Damaged, {}};
  const SetupScript& script = c.payload.script;
  theLog().setVersionTag(script.setup.appVersion);
  if (!equalsNoCase(script.setup.appId, kStubAppId))
    logf(L"The script's AppId differs from the stub's: %ls", script.setup.appId.c_str());
  return std::nullopt;
}

std::optional<Refusal> scriptDemandsAreMet(SetupChecks& c) {
  const SetupScript& script = c.payload.script;
  if (olderThan(c.windows, script.setup.minWindowsMajor, script.setup.minWindowsMinor)) {
    logLine(L"Windows is older than the script asks for.");
    return Refusal{ui::Page::OldWindows, ExitCode::WindowsTooOld, {}};
  }
  for (const std::wstring& task : c.switches.tasks) {
    if (findTask(script, task) == nullptr) {
      logf(L"Unknown task: %ls", task.c_str());
      return Refusal{ui::Page::BadSwitch, ExitCode::BadSwitch, L"/tasks=" + task};
    }
  }
  return std::nullopt;
}

// The machine's folders and the signed-in user are resolved once, here, before anything reads them.
std::optional<Refusal> machineIsKnown(SetupChecks& c) {
  std::wstring wine;
  if (trustsOwnAccountUnderWine(&wine))
    logf(L"Running under Wine %ls: its own account counts as an administrator.", wine.c_str());
  c.folders = &knownFolders();
  if (!c.folders->userFoldersKnown)
    logLine(L"No signed-in user's token, so first-run files, [Dirs], the warm-up and the theme read are skipped.");
  return std::nullopt;
}

std::optional<Refusal> earlierRunIsSettled(SetupChecks& c) {
  Recovery recovered = Recovery::GoOn;
  {
    // An interrupted earlier run is rolled back in a window of its own, opened only if it happens.
    std::unique_ptr<ui::StartupRollback> rollback;
    if (!c.switches.silent) rollback = std::make_unique<ui::StartupRollback>(systemTheme());
    recovered = recoverAtStartup(*c.folders, c.payload.script.setup.appId, rollback.get());
  }
  if (recovered == Recovery::GoOn) {
    // Uninstaller copies that were cut short left their folders; none of them runs now.
    removeStaleTemporaryCopies(setupDataPath());
    return std::nullopt;
  }
  return Refusal{ui::Page::Incomplete, ExitCode::RollbackIncomplete, {}};
}

std::optional<Refusal> installedVersionIsNotNewer(SetupChecks& c) {
  const SetupScript& script = c.payload.script;
  c.existing = detectExistingInstall(script, *c.folders);
  const ExistingInstall& existing = c.existing;
  logf(L"Existing install: %ls%ls", installKindName(existing.kind), existing.orphan ? L" (orphan entry)" : L"");
  uint16_t scriptVersion[4];
  if (existing.usable() && existing.versionKnown && parseVersion(script.setup.fileVersion, scriptVersion) &&
      compareVersions(existing.versionParts, scriptVersion) > 0) {
    logf(L"Installed %ls is newer than %ls.", existing.version.c_str(), script.setup.fileVersion.c_str());
    return Refusal{ui::Page::NewerInstalled, ExitCode::NewerInstalled, {}};
  }
  return std::nullopt;
}

std::optional<Refusal> noWindowsInstallerCopy(SetupChecks&) {
  if (!windowsInstallerCopyPresent()) return std::nullopt;
  logLine(L"An old Windows Installer copy is on this PC.");
  return Refusal{ui::Page::MsiCopy, ExitCode::MsiCopy, {}};
}

std::optional<Refusal> dotNetIsRecentEnough(SetupChecks& c) {
  DWORD release = 0;
  bool haveRelease = readDword(L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full", L"Release", release);
  logf(L".NET Framework Release: %lu%ls", haveRelease ? release : 0ul, haveRelease ? L"" : L" (no key)");
  if (haveRelease && release >= c.payload.script.setup.minDotNet) return std::nullopt;
  return Refusal{ui::Page::NoDotNet, ExitCode::NoDotNet, {}};
}

// In this order: each check may rely on what the ones before it learnt.
constexpr Check kChecks[] = {
    windowsIsRecentEnough, noOtherSetupRuns,   payloadIsSound,         scriptDemandsAreMet,
    machineIsKnown,        earlierRunIsSettled, installedVersionIsNotNewer, noWindowsInstallerCopy,
    dotNetIsRecentEnough,
};

// Shows the refusal's page unless silent, then finishes the log with its exit code. A link the user
// asks for (the .NET download page) is opened through the desktop shell as the signed-in user:
// this process is elevated, and a browser must not be.
int refuse(const Refusal& refusal) {
  if (refusal.page && !switches().silent)
    ui::runErrorPage(*refusal.page, refusal.detail, systemTheme(), theLog().openPath());
  return theLog().finish(refusal.code);
}

// An install whose cleanup left a file in use to the next restart ends with the number
// /restartexitcode= gave, when it gave one.
int finishInstall(ExitCode code) {
  return theLog().finish(exitNumber(code, cleanupLeftDeletesForRestart(), switches().restartExitCode));
}

}  // namespace

WindowsVersion windowsVersion() { return queryWindowsVersion(); }

int runInstallRole() {
  const SwitchSet& s = switches();
  static Payload payload;
  SetupChecks checks{s, {}, {}, payload};
  for (Check check : kChecks)
    if (std::optional<Refusal> refusal = check(checks)) return refuse(*refusal);

  const SetupScript& script = payload.script;
  const KnownFolders& folders = *checks.folders;
  const ExistingInstall& existing = checks.existing;
  Theme theme = chooseTheme(existing.usable() ? script.setup.themeFile : std::wstring(), folders);
  logf(L"Theme: %ls", themeName(theme));

  std::wstring folder = s.dirGiven ? s.dir
                        : existing.usable() ? existing.folder
                                            : expandPaths(script.setup.defaultDir, makeVariableTable(folders, L""));
  std::vector<std::wstring> tasks = chooseTasks(s, script, existing);
  InstallSources sources{&payload, &folders, existing};

  if (!s.silent) {
    // The wizard validates the folder, asks about a running Zelvan and runs the transaction on its
    // worker thread; it hands over to plain mode when it cannot draw.
    ui::UiState state = ui::installState(script, folder, tasks, s.noRun);
    state.versionText = script.setup.appVersion;
    state.theme = theme;
    ui::WorkerLink link;
    int32_t result = ui::runInstallWizard(sources, state, link);
    return finishInstall(static_cast<ExitCode>(result));
  }

  FolderCheck check = checkFolderBeforeInstall(folder, sources, RefusalLogLine::WithReason);
  if (!check.accepted()) return theLog().finish(ExitCode::FolderRefused);

  std::vector<AppProcess> running = runningAppProcesses(sources, check.folder);
  if (!running.empty()) {
    if (!s.closeApps) {
      logLine(L"Zelvan is running and /closeapps was not given.");
      return theLog().finish(ExitCode::AppRunning);
    }
    if (!closeAppProcesses(running)) return theLog().finish(ExitCode::AppRunning);
  }

  SilentSink sink;
  InstallTransaction transaction(beginInstall(sources, check.folder, tasks, s.noRun, &sink), folders);
  return finishInstall(transaction.run().result);
}

}  // namespace zs
