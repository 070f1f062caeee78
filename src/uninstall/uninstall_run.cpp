#include "uninstall/uninstall_run.h"

#include <algorithm>
#include <optional>
#include <windows.h>

#include "base/log.h"
#include "base/switches.h"
#include "journal/cleanup.h"
#include "journal/folder_flush.h"
#include "journal/recovery.h"
#include "journal/setup_data.h"
#include "ngen/ngen.h"
#include "platform/app_processes.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/instance.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "uninstall/uninstall_ui.h"
#include "uninstall/existing_install.h"
#include "uninstall/launcher_link.h"
#include "uninstall/temp_copy.h"
#include "uninstall/record_format.h"
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

// What is left in a folder once the removal is through with it.
enum class Remains {
  RestartTakes,  // only what goes at the next restart
  OursStay,      // also something of ours that could neither go nor be scheduled
  NotOurs,       // also something the removal never tried to remove
};

class Removal {
 public:
  Removal(const SwitchSet& s, uninstall::Ui* ui, const KnownFolders& folders, const std::wstring& exePath,
          LauncherLink* launcher)
      : switches_(s), ui_(ui), folders_(folders), exePath_(exePath), launcher_(launcher) {}

  UninstallEnd run(const AppsEntry& entry, const UninstallRecord& record);
  // An uninstall cut short after its entry went: only the record, the uninstaller and the folder
  // once empty are left to remove.
  UninstallEnd finishCutShort(const std::wstring& app);

 private:
  // Nothing when the run may go on; else how it ends.
  std::optional<UninstallExit> settleRunningApp(const UninstallRecord& record);
  void removeNativeImages(const UninstallRecord& record);
  void removeShortcutsAndRegistry(const UninstallRecord& record);
  void removeFiles(const AppsEntry& entry, const UninstallRecord& record);
  void foldersGoAfterTheirFiles(const std::wstring& app);
  void removeRecordUninstallerAndFolder(const std::wstring& app);
  bool deletesAreDurable(const std::wstring& app, const UninstallRecord& record);
  bool removedRegistryIsDurable(const AppsEntry& entry, const UninstallRecord& record);
  UninstallEnd end() const;
  void tellLauncher() const;
  UninstallEnd finish();
  void deleteOne(const std::wstring& path);
  bool goesAtRestart(const std::wstring& path);
  void deleteInFolder(const std::wstring& base, const std::wstring& path);
  Remains remainsIn(const std::wstring& folder) const;
  bool isPending(const std::wstring& path) const;
  void removeEarlierRunFolders(const std::wstring& app, const UninstallRecord& record);
  void progress(UninstallStep step, StepStatus status) {
    if (ui_ != nullptr) ui_->onProgress(step, status);
  }

  const SwitchSet& switches_;
  uninstall::Ui* ui_;
  const KnownFolders& folders_;
  const std::wstring& exePath_;
  LauncherLink* launcher_;
  bool restart_ = false;
  // Something stays that no restart takes away (a path with a link in it, the entry): the run is
  // incomplete, but not for the restart to finish.
  bool lasting_ = false;
  // A file that could neither be deleted nor scheduled: no restart takes it away.
  bool stays_ = false;
  // A registry line, a key or a folder of the record could not be removed.
  bool leftBehind_ = false;
  // The entry and the record stay for the next run (something was left behind, or a flush
  // failed before they could go).
  bool stopped_ = false;
  // What this run put on the restart list for good, in the order it went there.
  std::vector<std::wstring> atRestart_;
  // What could neither be deleted nor scheduled.
  std::vector<std::wstring> stayed_;
};

UninstallEnd Removal::run(const AppsEntry& entry, const UninstallRecord& record) {
  if (ui_ != nullptr && !ui_->confirmUninstall()) {
    logLine(L"The user chose not to uninstall.");
    return {UninstallExit::Declined};
  }
  theLog().open();
  logf(L"Uninstalling from %ls", record.app.c_str());
  if (std::optional<UninstallExit> stopped = settleRunningApp(record)) return {*stopped};

  removeNativeImages(record);
  removeShortcutsAndRegistry(record);
  removeFiles(entry, record);
  return finish();
}

UninstallEnd Removal::finishCutShort(const std::wstring& app) {
  if (ui_ != nullptr && !ui_->confirmUninstall()) {
    logLine(L"The user chose not to uninstall.");
    return {UninstallExit::Declined};
  }
  theLog().open();
  logf(L"No Apps & Features entry, but %ls holds the record of an uninstall that was cut short. Removing what "
       L"is left of it: the record, the uninstaller and the folder once empty.",
       app.c_str());
  progress(UninstallStep::Files, StepStatus::Running);
  removeRecordUninstallerAndFolder(app);
  progress(UninstallStep::Files, StepStatus::Done);
  return finish();
}

UninstallEnd Removal::end() const {
  UninstallEnd result;
  result.exit = restart_ || stays_ || stopped_ ? UninstallExit::Incomplete : UninstallExit::Removed;
  // A recovery's cleanup at the start may have left a file in use to the restart as well.
  result.restartPending = !lasting_ && !stays_ && !stopped_ && (restart_ || cleanupLeftDeletesForRestart());
  return result;
}

void Removal::tellLauncher() const {
  if (launcher_ != nullptr) launcher_->tell(exitNumber(end(), switches_));
}

UninstallEnd Removal::finish() {
  // Before the last page, which waits for a person.
  tellLauncher();
  if (stays_) logLine(L"Some files stay: they could not be deleted, nor scheduled for the next restart.");
  if (stopped_) {
    logLine(L"Uninstall stopped before its end.");
  } else {
    logf(L"Uninstall finished%ls.", restart_ ? L", some files go at the next restart" : L"");
  }
  const UninstallEnd result = end();
  if (ui_ != nullptr) ui_->onFinished(result.exit == UninstallExit::Incomplete);
  return result;
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
  for (const RegistryLine& line : record.reg) {
    if (!removeRegistryLine(line, nullptr)) leftBehind_ = true;
  }
  for (const RegistryKeyRef& key : record.key) {
    DWORD error = 0;
    if (keyExists(key.root, key.view, key.key) && isKeyEmpty(key.root, key.view, key.key) &&
        !deleteKeyIfEmpty(key.root, key.view, key.key, &error)) {
      logWinError(L"Could not remove the key " + key.key, error);
      leftBehind_ = true;
    }
  }
  notifyAssociationsChanged();
  progress(UninstallStep::ShortcutsAndFileTypes, StepStatus::Done);
}

void Removal::removeFiles(const AppsEntry& entry, const UninstallRecord& record) {
  progress(UninstallStep::Files, StepStatus::Running);
  const std::wstring& app = record.app;
  for (const std::wstring& name : record.file) deleteInFolder(app, app + L"\\" + name);
  removeEarlierRunFolders(app, record);
  for (const std::wstring& name : record.dir) {
    std::wstring path = app + L"\\" + name;
    // A folder is only ever removed when empty, and never through or at a link.
    DWORD error = 0;
    if (isDirectory(path) && mayTouchPath(app, path) && isFolderEmpty(path) && !removeFolder(path, &error)) {
      logWinError(L"Could not remove the folder " + path, error);
      leftBehind_ = true;
    }
  }
  // What neither went nor waits for the restart would stay for good once the entry is gone: the
  // entry and the record stay instead, and running the uninstaller again takes the rest.
  if (leftBehind_) {
    logLine(L"The Apps & Features entry and the record stay, so that running the uninstaller again finishes.");
    stopped_ = true;
    progress(UninstallStep::Files, StepStatus::Done);
    return;
  }
  foldersGoAfterTheirFiles(app);
  // Durability rule 8: the deletes must be on disk before the entry's removal can be, or a power
  // cut could bring the files back without the entry, and the uninstaller would then only take
  // the record, itself and an empty folder. Each folder's flush keeps the deletes of its names.
  if (!deletesAreDurable(app, record)) {
    logLine(L"The Apps & Features entry and the record stay, so that running the uninstaller again finishes.");
    stopped_ = true;
    progress(UninstallStep::Files, StepStatus::Done);
    return;
  }

  DWORD error = 0;
  if (!deleteKeyTree(RegRoot::Hklm, entry.view, uninstallKeyOf(ownEntryName()), &error)) {
    // The record and the uninstaller stay with it: without them the entry would point at an
    // uninstaller that is gone, and nothing could ever finish.
    logWinError(L"Couldn't remove the Apps & Features entry", error);
    logLine(L"The record and the uninstaller stay, so that running the uninstaller again finishes.");
    stopped_ = true;
    progress(UninstallStep::Files, StepStatus::Done);
    return;
  }

  // The entry's removal must be on disk before the record goes: an entry whose record is gone is
  // an install that no uninstaller can remove.
  if (!removedRegistryIsDurable(entry, record)) {
    logLine(L"The record and the uninstaller stay, so that running the uninstaller again finishes.");
    stopped_ = true;
    progress(UninstallStep::Files, StepStatus::Done);
    return;
  }
  removeRecordUninstallerAndFolder(app);
  progress(UninstallStep::Files, StepStatus::Done);
}

// A staging or backup folder that an install's cleanup could not remove (a file in it was held)
// outlives that install's journal: the uninstaller is the last that can take it. What will not go
// now goes at the restart, its files before it.
void Removal::removeEarlierRunFolders(const std::wstring& app, const UninstallRecord& record) {
  std::vector<std::wstring> folders = runFoldersIn(app);
  for (const std::wstring& name : record.dir) {
    for (std::wstring& found : runFoldersIn(app + L"\\" + name)) folders.push_back(std::move(found));
  }
  for (const std::wstring& folder : folders) {
    if (!mayTouchPath(app, folder)) continue;
    logf(L"Removing a staging or backup folder an earlier run left: %ls", folder.c_str());
    deleteTree(folder, [&](const std::wstring& path, DWORD error) {
      logWinError(L"Couldn't delete " + path, error);
      goesAtRestart(path);
    });
  }
}

// A file of ours in use goes at the restart; the folders it leaves empty then must go too, or they
// stay for good: each folder below the install folder that holds nothing but what the restart takes
// is put on the list after its files, the deepest first. The install folder itself goes last, with
// the uninstaller and the record.
void Removal::foldersGoAfterTheirFiles(const std::wstring& app) {
  std::vector<std::wstring> folders;
  for (const std::wstring& path : atRestart_) {
    for (std::wstring folder = parentPath(path); isInside(folder, app); folder = parentPath(folder)) {
      if (std::none_of(folders.begin(), folders.end(), [&](const std::wstring& f) { return equalsNoCase(f, folder); }))
        folders.push_back(folder);
    }
  }
  auto depth = [](const std::wstring& p) { return std::count(p.begin(), p.end(), L'\\'); };
  std::stable_sort(folders.begin(), folders.end(),
                   [&](const std::wstring& a, const std::wstring& b) { return depth(a) > depth(b); });
  for (const std::wstring& folder : folders) {
    if (isDirectory(folder) && mayTouchPath(app, folder) && remainsIn(folder) == Remains::RestartTakes)
      goesAtRestart(folder);
  }
}

bool Removal::isPending(const std::wstring& path) const {
  return std::any_of(atRestart_.begin(), atRestart_.end(), [&](const std::wstring& p) { return equalsNoCase(p, path); });
}

Remains Removal::remainsIn(const std::wstring& folder) const {
  std::vector<FolderEntry> entries;
  if (!listFolder(folder, entries)) return Remains::NotOurs;
  Remains worst = Remains::RestartTakes;
  for (const FolderEntry& e : entries) {
    const std::wstring path = folder + L"\\" + e.name;
    Remains here = Remains::NotOurs;
    if ((e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      here = Remains::NotOurs;  // never walked
    } else if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      here = isPending(path) ? remainsIn(path) : Remains::NotOurs;
    } else if (isPending(path)) {
      here = Remains::RestartTakes;
    } else if (std::any_of(stayed_.begin(), stayed_.end(), [&](const std::wstring& p) { return equalsNoCase(p, path); })) {
      here = Remains::OursStay;
    }
    worst = std::max(worst, here);
  }
  return worst;
}

bool Removal::deletesAreDurable(const std::wstring& app, const UninstallRecord& record) {
  FolderFlushes folders;
  folders.add(app);
  for (const std::wstring& name : record.file) folders.addParentOf(app + L"\\" + name);
  for (const std::wstring& name : record.dir) folders.addParentOf(app + L"\\" + name);
  for (const std::wstring& link : record.lnk) folders.addParentOf(link);
  FlushFailure failure = folders.flush();
  if (!failure.failed()) return true;
  logWinError(L"Couldn't write the deletes to disk: " + failure.key, failure.error);
  return false;
}

// Windows writes registry changes to disk some seconds later. True when the entry's removal, the
// registry lines' and the restart list are on disk; else false after the one log line.
bool Removal::removedRegistryIsDurable(const AppsEntry& entry, const UninstallRecord& record) {
  bool ok = true;
  auto flush = [&](RegRoot root, RegView view, const std::wstring& key) {
    DWORD error = 0;
    if (ok && !flushKey(root, view, key, &error)) {
      logWinError(L"Couldn't write the registry key to disk: " + key, error);
      ok = false;
    }
  };
  flush(RegRoot::Hklm, entry.view, uninstallKeyOf(ownEntryName()));
  for (const RegistryLine& line : record.reg) flush(line.root, line.view, line.key);
  for (const RegistryKeyRef& key : record.key) flush(key.root, key.view, key.key);
  PendingRenameLocation restartList;
  flush(restartList.root, restartList.view, restartList.key);
  return ok;
}

void Removal::removeRecordUninstallerAndFolder(const std::wstring& app) {
  const std::wstring installed = app + L"\\ZelvanUninstall.exe";
  const std::wstring recordPath = app + L"\\" + std::wstring(kUninstallRecordName);
  const bool inPlace = equalsNoCase(normalizePath(installed), normalizePath(exePath_));
  // With the entry gone, only these three point at the folder: a power cut that loses a part of
  // their deletes (or a kill between them) would leave what no uninstaller can find. So the next
  // restart is told to finish them first, in one write of the list (a part of it on disk without
  // the rest would delete the uninstaller and keep its record), on disk before the first goes.
  // Windows removes a folder at restart only when it is empty.
  const std::vector<std::wstring> tail{installed, recordPath, app};
  const PendingRenameLocation restartList;
  DWORD error = 0;
  const bool mayTouch = mayTouchPath(app, recordPath);
  const bool scheduled = mayTouch && addPendingDeletes(tail, &error, restartList) &&
                         flushKey(restartList.root, restartList.view, restartList.key, &error);
  if (!scheduled && mayTouch)
    logWinError(L"Couldn't put the uninstaller, its record and the folder on the restart list", error);

  if (inPlace && pathExists(installed)) {
    // Running in place: a running program cannot delete itself.
    if (scheduled) {
      logf(L"It goes at the next restart: %ls", installed.c_str());
      restart_ = true;
      atRestart_.push_back(installed);
    } else {
      goesAtRestart(installed);
    }
  }
  // The result is known now: what is left goes now or, failing that, at the restart. The launcher
  // ends with it, and only then can its file go.
  tellLauncher();
  if (!inPlace && launcher_ != nullptr && launcher_->waits()) waitForParent(switches_.runParentId);

  // The uninstaller goes before the record: the record alone still lets the setup see a cut-short
  // uninstall; an uninstaller without its record has nothing to bind it.
  if (!inPlace) deleteInFolder(app, installed);
  deleteInFolder(app, recordPath);

  DWORD removeError = 0;
  if (isDirectory(app) && noLinkFromDriveRoot(app) && isFolderEmpty(app) && !removeFolder(app, &removeError))
    logWinError(L"Couldn't remove the folder " + app, removeError);
  const Remains remains = pathExists(app) ? remainsIn(app) : Remains::RestartTakes;
  if (pathExists(app)) {
    if (remains == Remains::NotOurs) {
      logf(L"Left in place, it holds files that are not ours: %ls", app.c_str());
    } else if (remains == Remains::OursStay) {
      logf(L"Left in place, it holds files of ours that stay: %ls", app.c_str());
    } else if (scheduled) {
      logf(L"It goes at the next restart, once emptied: %ls", app.c_str());
      restart_ = true;
    } else if (mayTouch) {
      goesAtRestart(app);
    }
  }
  if (!scheduled) return;
  // The list may only lose what the disk already holds as done: a list written before the deletes
  // would let a power cut keep neither.
  if (!flushFolderToDisk(isDirectory(app) ? app : parentPath(app), &error)) {
    logWinError(L"Couldn't write the deletes to disk; they stay on the restart list: " + app, error);
    return;
  }
  // What is done needs no restart; a folder kept for files not ours is not the restart's to take,
  // but one that only waits for what the restart removes (the running uninstaller, a file in use)
  // is.
  std::vector<std::wstring> done;
  for (const std::wstring& path : tail) {
    if (!pathExists(path) || (path == app && remains != Remains::RestartTakes)) done.push_back(path);
  }
  if (!removePendingDeletes(done, &error, restartList))
    logWinError(L"Couldn't take the finished deletes off the restart list", error);
}

void Removal::deleteInFolder(const std::wstring& base, const std::wstring& path) {
  if (!mayTouchPath(base, path)) {
    logf(L"A link is in the path, skipped: %ls", path.c_str());
    restart_ = true;
    lasting_ = true;
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

bool Removal::goesAtRestart(const std::wstring& path) {
  if (deleteAtRestart(path)) {
    logf(L"It goes at the next restart: %ls", path.c_str());
    restart_ = true;
    atRestart_.push_back(path);
    return true;
  }
  logWinError(L"Couldn't schedule at the next restart " + path, GetLastError());
  logf(L"It stays: %ls", path.c_str());
  stays_ = true;
  stayed_.push_back(path);
  return false;
}

// The entry or the record cannot be trusted: nothing the record would name is touched.
UninstallEnd nothingRemoved(const std::wstring& reason, uninstall::Ui* ui, LauncherLink& launcher,
                            const SwitchSet& s) {
  logf(L"Nothing was removed: %ls.", reason.c_str());
  const UninstallEnd result{UninstallExit::Incomplete};
  // Before the message, which waits for a person.
  launcher.tell(exitNumber(result, s));
  if (ui != nullptr) ui->onRecordMissing();
  return result;
}

// After the start's recovery: what the entry and the record say is installed goes.
UninstallEnd removeWhatIsInstalled(const SwitchSet& s, const std::wstring& exePath, const KnownFolders& folders,
                                   uninstall::Ui* ui, LauncherLink& launcher);

}  // namespace

int32_t exitNumber(const UninstallEnd& end, const SwitchSet& s) {
  return exitNumber(end.exit, end.restartPending, s.restartExitCode);
}

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

bool noLinkFromDriveRoot(const std::wstring& path) {
  // A drive root is the volume itself; a path that is not on a drive cannot be walked from one.
  if (!isDrivePath(path)) return false;
  return noLinkBelow(path.substr(0, 3), path);
}

bool mayTouchPath(const std::wstring& base, const std::wstring& path) {
  std::wstring folder = parentPath(path);
  if (folder.empty() || base.empty()) return false;
  // A folder above the base swapped for a link since the install would carry every removal along.
  if (!noLinkFromDriveRoot(base)) return false;
  // A folder outside the base is never walked: it passes only while it is the base or not there.
  if (!isInside(folder, base) && !equalsNoCase(folder, base) && pathExists(folder)) return false;
  // The base itself is judged again too: it may have become a link since the record was read.
  return findLink(base, path) == LinkPlace::None;
}

std::wstring cutShortInstallFolder(const SwitchSet& s, const std::wstring& exePath, const KnownFolders& folders) {
  const bool isCopy = s.runParentId != 0 && isTemporaryCopyPath(exePath, setupDataPath());
  std::wstring folder = normalizePath(isCopy ? trimWhite(s.appHint) : parentPath(exePath));
  if (folder.empty() || !isPlausibleInstallFolder(folder, folders)) return {};
  const std::wstring recordPath = folder + L"\\" + std::wstring(kUninstallRecordName);
  std::string bytes;
  UninstallRecord record;
  std::wstring reason;
  if (!mayTouchPath(folder, recordPath) || !readWholeFile(recordPath, kUninstallRecordMaxBytes, bytes) ||
      !parseUninstallRecord(bytes, folder, folders, record, reason) || !equalsNoCase(record.app, folder))
    return {};
  return folder;
}

UninstallEnd finishCutShortUninstall(const SwitchSet& s, const std::wstring& exePath, const std::wstring& folder,
                                     uninstall::Ui* ui, LauncherLink* launcher) {
  Removal removal(s, ui, knownFolders(), exePath, launcher);
  return removal.finishCutShort(folder);
}

std::optional<int32_t> runFromTemporaryCopy(const SwitchSet& s, const std::wstring& exePath) {
  // A copy never starts another.
  if (s.runParentId != 0) return std::nullopt;
  AppsEntry entry = findOwnAppsEntry();
  std::wstring copyFor;
  if (entry.found && !entry.location.empty() && sameFolder(parentPath(exePath), entry.location))
    copyFor = normalizePath(entry.location);
  else if (!entry.found)
    copyFor = cutShortInstallFolder(s, exePath, knownFolders());
  // An install cut short before it wrote its entry (or all of it) and its record: its rollback
  // deletes this very file.
  if (copyFor.empty() && rollbackWillDelete(knownFolders(), normalizePath(exePath)))
    copyFor = normalizePath(parentPath(exePath));
  if (copyFor.empty()) return std::nullopt;
  if (std::optional<int32_t> copys = runTemporaryCopy(s, exePath, copyFor)) return copys;
  logLine(L"Could not start from a temp copy, so running in place.");
  return std::nullopt;
}

UninstallEnd runUninstall(const SwitchSet& s, const std::wstring& exePath, uninstall::Ui* ui,
                          LauncherLink& launcher) {
  // A launcher that waits for this copy's result is waited for only before its file goes.
  if (s.runParentId != 0 && !launcher.waits()) waitForParent(s.runParentId);

  InstanceLock lock = acquireInstanceMutex(L"Global\\ZelvanSetup-" + std::wstring(kStubAppId));
  if (lock.otherRunning) {
    logLine(L"Another setup is running.");
    if (!s.silent) bringWindowForward(kSetupWindowClass);
    return {UninstallExit::OtherSetup};
  }
  if (!lock.held()) {
    logWinError(L"Could not take the lock that keeps a second setup from running", lock.error);
    return {UninstallExit::OtherSetup};
  }
  // The handle stays open until the process ends.

  std::wstring setupData;
  if (!prepareSetupData(setupData)) logLine(L"{setupdata} could not be prepared.");

  const KnownFolders& folders = knownFolders();
  // An install cut short may have put the launcher's own file there, which cannot go while the
  // launcher waits for this copy: it goes with a second rollback once the launcher has ended.
  RollbackOptions options;
  if (launcher.waits()) options.heldFile = normalizePath(trimWhite(s.appHint)) + L"\\ZelvanUninstall.exe";
  const Recovery recovered = recoverAtStartup(folders, kStubAppId, ui != nullptr ? ui->engineSink() : nullptr, options);
  if (recovered == Recovery::Incomplete) return {UninstallExit::RecoveryIncomplete};

  removeStaleTemporaryCopies(setupData);
  const UninstallEnd end = removeWhatIsInstalled(s, exePath, folders, ui, launcher);
  if (recovered == Recovery::AllButHeldFile) {
    launcher.tell(exitNumber(end, s));
    waitForParent(s.runParentId);
    recoverAtStartup(folders, kStubAppId, nullptr);  // what it leaves, it logs, and the next start finishes
  }
  return end;
}

namespace {

UninstallEnd removeWhatIsInstalled(const SwitchSet& s, const std::wstring& exePath, const KnownFolders& folders,
                                   uninstall::Ui* ui, LauncherLink& launcher) {
  AppsEntry entry = findOwnAppsEntry();
  if (!entry.found) {
    std::wstring cutShort = cutShortInstallFolder(s, exePath, folders);
    if (cutShort.empty()) return nothingRemoved(L"no Apps & Features entry", ui, launcher, s);
    return finishCutShortUninstall(s, exePath, cutShort, ui, &launcher);
  }

  std::wstring folder = normalizePath(trimWhite(entry.location));
  if (!s.appHint.empty() && !sameFolder(s.appHint, folder))
    logLine(L"The /app= hint differs from the entry. The entry wins.");
  UninstallRecord record;
  std::wstring reason;
  if (folder.empty() || !isPlausibleInstallFolder(folder, folders)) {
    return nothingRemoved(L"the folder in the entry can't be used", ui, launcher, s);
  }
  if (!readUninstallRecord(ownEntryName(), entry.view, folder, folders, record, reason)) {
    return nothingRemoved(reason.empty() ? L"the folder in the entry can't be used" : reason, ui, launcher, s);
  }

  Removal removal(s, ui, folders, exePath, &launcher);
  return removal.run(entry, record);
}

}  // namespace

}  // namespace zs
