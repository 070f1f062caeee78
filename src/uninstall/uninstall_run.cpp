#include "uninstall/uninstall_run.h"

#include <optional>
#include <windows.h>

#include "base/log.h"
#include "base/switches.h"
#include "journal/recovery.h"
#include "journal/setup_data.h"
#include "ngen/ngen.h"
#include "platform/app_processes.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/instance.h"
#include "platform/shell.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "uninstall/uninstall_ui.h"
#include "uninstall/existing_install.h"
#include "uninstall/temp_copy.h"
#include "uninstall/uninstall_record.h"
#include "uninstall/uninstaller_role.h"

namespace zs {

namespace {

constexpr DWORD kParentWaitMs = 30000;
constexpr int kDeleteTries = 15;
constexpr DWORD kDeleteRetryMs = 200;

std::wstring ownEntryName() { return L"{" + std::wstring(kStubAppId) + L"}"; }

bool sameFolder(const std::wstring& a, const std::wstring& b) {
  std::wstring na = normalizePath(a), nb = normalizePath(b);
  return !na.empty() && equalsNoCase(na, nb);
}

// The launching uninstaller must be gone before its file can be deleted.
void waitForParent(int32_t pid) {
  UniqueHandle parent(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
  if (parent) WaitForSingleObject(parent.get(), kParentWaitMs);
}

class Removal {
 public:
  Removal(const SwitchSet& s, uninstall::Ui* ui, const KnownFolders& folders, const std::wstring& exePath)
      : switches_(s), ui_(ui), folders_(folders), exePath_(exePath) {}

  UninstallExit run(const AppsEntry& entry, const UninstallRecord& record);

 private:
  // Nothing when the run may go on; else how it ends.
  std::optional<UninstallExit> settleRunningApp(const UninstallRecord& record);
  void removeNativeImages(const UninstallRecord& record);
  void removeShortcutsAndRegistry(const UninstallRecord& record);
  void removeFiles(const AppsEntry& entry, const UninstallRecord& record);
  void deleteOne(const std::wstring& path);
  void goesAtRestart(const std::wstring& path);
  void deleteInFolder(const std::wstring& base, const std::wstring& path);
  void progress(UninstallStep step, StepStatus status) {
    if (ui_ != nullptr) ui_->onProgress(step, status);
  }

  const SwitchSet& switches_;
  uninstall::Ui* ui_;
  const KnownFolders& folders_;
  const std::wstring& exePath_;
  bool restart_ = false;
};

UninstallExit Removal::run(const AppsEntry& entry, const UninstallRecord& record) {
  if (ui_ != nullptr && !ui_->confirmUninstall()) {
    logLine(L"The user chose not to uninstall.");
    return UninstallExit::Declined;
  }
  theLog().open();
  logf(L"Uninstalling from %ls", record.app.c_str());
  if (std::optional<UninstallExit> stopped = settleRunningApp(record)) return *stopped;

  removeNativeImages(record);
  removeShortcutsAndRegistry(record);
  removeFiles(entry, record);

  logf(L"Uninstall finished%ls.", restart_ ? L", some files go at the next restart" : L"");
  if (ui_ != nullptr) ui_->onFinished(restart_);
  return restart_ ? UninstallExit::Incomplete : UninstallExit::Removed;
}

std::optional<UninstallExit> Removal::settleRunningApp(const UninstallRecord& record) {
  std::vector<std::wstring> files;
  for (const std::wstring& name : record.file) files.push_back(record.app + L"\\" + name);
  files.push_back(record.app + L"\\ZelvanUninstall.exe");
  const std::vector<std::wstring> installFolders{record.app};

  std::vector<AppProcess> running = findAppProcesses(files, installFolders);
  while (!running.empty()) {
    if (ui_ == nullptr) {
      if (!switches_.closeApps) {
        logLine(L"Zelvan is running and /closeapps was not given.");
        return UninstallExit::AppRunning;
      }
    } else if (!ui_->askCloseApp()) {
      logLine(L"Zelvan is running and the user chose not to close it.");
      return UninstallExit::Declined;
    }
    if (closeAppProcesses(running)) return std::nullopt;
    if (ui_ == nullptr) {
      logLine(L"Zelvan is still running.");
      return UninstallExit::AppRunning;
    }
    if (!ui_->askRetryClose()) {
      logLine(L"Zelvan is still running.");
      return UninstallExit::AppRunning;
    }
    running = findAppProcesses(files, installFolders);
  }
  return std::nullopt;
}

void Removal::removeNativeImages(const UninstallRecord& record) {
  progress(UninstallStep::NativeImages, StepStatus::Running);
  std::wstring ngen = findNgen(folders_);
  if (ngen.empty()) {
    logLine(L"No ngen on this PC. Native images stay until .NET clears them.");
  } else {
    for (const std::wstring& assembly : record.ngen) uninstallNativeImage(ngen, assembly);
  }
  progress(UninstallStep::NativeImages, StepStatus::Done);
}

void Removal::removeShortcutsAndRegistry(const UninstallRecord& record) {
  progress(UninstallStep::ShortcutsAndFileTypes, StepStatus::Running);
  for (const std::wstring& link : record.lnk) {
    const std::wstring& base =
        !folders_.programs.empty() && isInside(link, folders_.programs) ? folders_.programs : folders_.desktop;
    deleteInFolder(base, link);
  }
  for (const RegistryLine& line : record.reg) removeRegistryLine(line, nullptr);
  for (const RegistryKeyRef& key : record.key) {
    if (keyExists(key.root, key.view, key.key) && isKeyEmpty(key.root, key.view, key.key) &&
        !deleteKeyIfEmpty(key.root, key.view, key.key))
      logf(L"Could not remove the key %ls", key.key.c_str());
  }
  notifyAssociationsChanged();
  progress(UninstallStep::ShortcutsAndFileTypes, StepStatus::Done);
}

void Removal::removeFiles(const AppsEntry& entry, const UninstallRecord& record) {
  progress(UninstallStep::Files, StepStatus::Running);
  const std::wstring& app = record.app;
  for (const std::wstring& name : record.file) deleteInFolder(app, app + L"\\" + name);
  for (const std::wstring& name : record.dir) {
    std::wstring path = app + L"\\" + name;
    // A folder is only ever removed when empty, and never through or at a link.
    if (isDirectory(path) && mayTouchPath(app, path) && isFolderEmpty(path)) removeFolder(path);
  }

  if (!deleteKeyTree(RegRoot::Hklm, entry.view, uninstallKeyOf(ownEntryName()))) {
    logLine(L"Couldn't remove the Apps & Features entry.");
    restart_ = true;
  }

  deleteInFolder(app, app + L"\\" + std::wstring(kUninstallRecordName));

  const std::wstring installed = app + L"\\ZelvanUninstall.exe";
  if (!equalsNoCase(normalizePath(installed), normalizePath(exePath_))) {
    deleteInFolder(app, installed);
  } else if (pathExists(installed)) {
    // Running in place: a running program cannot delete itself.
    goesAtRestart(installed);
  }

  if (isDirectory(app) && !isLink(app) && isFolderEmpty(app)) removeFolder(app);
  if (pathExists(app)) logf(L"Left in place, it holds files that are not ours: %ls", app.c_str());
  progress(UninstallStep::Files, StepStatus::Done);
}

void Removal::deleteInFolder(const std::wstring& base, const std::wstring& path) {
  if (!mayTouchPath(base, path)) {
    logf(L"A link is in the path, skipped: %ls", path.c_str());
    restart_ = true;
    return;
  }
  deleteOne(path);
}

void Removal::deleteOne(const std::wstring& path) {
  if (!pathExists(path)) return;
  DWORD error = 0;
  for (int attempt = 1; attempt <= kDeleteTries; ++attempt) {
    if (deleteFile(path, &error) || !pathExists(path)) return;
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    if (attempt < kDeleteTries) Sleep(kDeleteRetryMs);
  }
  if (!pathExists(path)) return;
  logWinError(L"Couldn't delete " + path, error);
  goesAtRestart(path);
}

void Removal::goesAtRestart(const std::wstring& path) {
  if (deleteAtRestart(path)) {
    logf(L"It goes at the next restart: %ls", path.c_str());
  } else {
    logWinError(L"Couldn't schedule at the next restart " + path, GetLastError());
  }
  restart_ = true;
}

// The entry or the record cannot be trusted: nothing the record would name is touched.
UninstallExit nothingRemoved(const std::wstring& reason, uninstall::Ui* ui) {
  logf(L"Nothing was removed: %ls.", reason.c_str());
  if (ui != nullptr) ui->onRecordMissing();
  return UninstallExit::Incomplete;
}

}  // namespace

AppsEntry findOwnAppsEntry() {
  AppsEntry entry;
  const std::wstring key = uninstallKeyOf(ownEntryName());
  for (RegView view : {RegView::View64, RegView::View32}) {
    if (view == RegView::View32 && !isWindows64()) break;
    if (!keyExists(RegRoot::Hklm, view, key)) continue;
    entry.found = true;
    entry.view = view;
    if (!readString(view, key, L"InstallLocation", entry.location)) entry.location.clear();
    return entry;
  }
  return entry;
}

bool mayTouchPath(const std::wstring& base, const std::wstring& path) {
  std::wstring folder = parentPath(path);
  if (folder.empty() || base.empty()) return false;
  // A folder outside the base is never walked: it passes only while it is the base or not there.
  if (!isInside(folder, base) && !equalsNoCase(folder, base) && pathExists(folder)) return false;
  // The base itself is judged again too: it may have become a link since the record was read.
  return findLink(base, path) == LinkPlace::None;
}

UninstallExit runUninstall(const SwitchSet& s, const std::wstring& exePath, uninstall::Ui* ui) {
  AppsEntry entry = findOwnAppsEntry();

  if (s.runParentId == 0 && entry.found && !entry.location.empty() && sameFolder(parentPath(exePath), entry.location)) {
    if (startTemporaryCopy(s, exePath, normalizePath(entry.location))) {
      logLine(L"Restarted from a temp copy.");
      return UninstallExit::Removed;
    }
    logLine(L"Could not start from a temp copy, so running in place.");
  }

  if (s.runParentId != 0) waitForParent(s.runParentId);

  InstanceLock lock = acquireInstanceMutex(L"Global\\ZelvanSetup-" + std::wstring(kStubAppId));
  if (lock.otherRunning) {
    logLine(L"Another setup is running.");
    if (!s.silent) bringWindowForward(kSetupWindowClass);
    return UninstallExit::OtherSetup;
  }
  if (!lock.held()) {
    logWinError(L"Could not take the lock that keeps a second setup from running", lock.error);
    return UninstallExit::OtherSetup;
  }
  // The handle stays open until the process ends.

  std::wstring setupData;
  if (!prepareSetupData(setupData)) logLine(L"{setupdata} could not be prepared.");

  const KnownFolders& folders = knownFolders();
  if (recoverAtStartup(folders, kStubAppId, ui != nullptr ? ui->engineSink() : nullptr) != Recovery::GoOn)
    return UninstallExit::RecoveryIncomplete;

  entry = findOwnAppsEntry();
  if (!entry.found) return nothingRemoved(L"no Apps & Features entry", ui);

  std::wstring folder = normalizePath(trimWhite(entry.location));
  if (!s.appHint.empty() && !sameFolder(s.appHint, folder))
    logLine(L"The /app= hint differs from the entry. The entry wins.");
  UninstallRecord record;
  std::wstring reason;
  if (folder.empty() || !isPlausibleInstallFolder(folder, folders)) {
    return nothingRemoved(L"the folder in the entry can't be used", ui);
  }
  if (!readUninstallRecord(ownEntryName(), entry.view, folder, folders, record, reason)) {
    return nothingRemoved(reason.empty() ? L"the folder in the entry can't be used" : reason, ui);
  }

  Removal removal(s, ui, folders, exePath);
  return removal.run(entry, record);
}

}  // namespace zs
