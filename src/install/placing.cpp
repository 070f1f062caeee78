#include "install/placing.h"

#include <windows.h>

#include "base/log.h"
#include "install/checked_folders.h"
#include "install/placing_mover.h"
#include "install/staging.h"
#include "journal/record_kinds.h"
#include "payload/payload_format.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "base/text.h"
#include "base/paths.h"
#include "platform/known_folders.h"
#include "journal/engine_sink.h"

namespace zs {

namespace {

std::wstring lastComponent(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

[[noreturn]] void refuseLink(const wchar_t* line, const std::wstring& path) {
  logf(line, path.c_str());
  throw Stop::failed(StopCategory::WriteFailed, path);
}

// The root and every folder down to the path's parent; the path itself is the caller's to judge.
void refuseLinkOnTheWay(const std::wstring& root, const std::wstring& path) {
  if (findLink(root, path) == LinkPlace::InPath) refuseLink(L"A link is in the path, refused: %ls", path);
}

// The same for a path inside the install folder, with the folders this step has judged already.
WayDown refuseLinkOnTheWay(CheckedFolders& checked, const std::wstring& path) {
  const WayDown way = checked.judge(path);
  if (way == WayDown::Link) refuseLink(L"A link is in the path, refused: %ls", path);
  return way;
}

// The expanded path of every [Shortcuts] entry whose tasks are chosen.
std::vector<std::wstring> chosenShortcutPaths(const InstallRun& run) {
  std::vector<std::wstring> paths;
  for (const ShortcutEntry& s : run.script.shortcuts)
    if (entryApplies(s.tasks, s.enabled, run.request.tasks)) paths.push_back(expandPaths(s.path, run.variables));
  return paths;
}

const FileEntry* entryNamed(const InstallRun& run, const std::wstring& name) {
  for (const FileEntry* f : run.programFiles)
    if (equalsNoCase(relativeToApp(f->dest), name)) return f;
  return nullptr;
}

void keep(InstallRun& run, const std::wstring& name) {
  run.kept.insert(name);
  deleteFile(run.stagingFolder + L"\\" + name);
}

}  // namespace

bool fileMatches(const std::wstring& path, const FileEntry& entry) {
  std::array<uint8_t, 32> digest;
  return hashFile(path, digest) && digestEqualsHex(digest.data(), entry.sha);
}

void cancelPendingDeletes(InstallRun& run) {
  NoCaseSet targets;
  for (const FileEntry* f : run.programFiles) targets.insert(run.folder + L"\\" + relativeToApp(f->dest));
  targets.insert(run.folder + L"\\ZelvanUninstall.zsu");
  // An uninstall cut short, or one that ran in place, leaves its uninstaller on the restart list.
  targets.insert(run.folder + L"\\ZelvanUninstall.exe");
  for (const std::wstring& link : chosenShortcutPaths(run)) targets.insert(link);

  std::vector<std::wstring> cancelled;
  for (const std::wstring& path : pendingDeletes()) {
    if (targets.count(path) == 0) continue;
    journalPendGone(run.journal, path);
    logf(L"Its delete at the next restart is cancelled, since a new file goes there: %ls", path.c_str());
    cancelled.push_back(path);
  }
  if (cancelled.empty()) return;
  DWORD error = 0;
  if (!removePendingDeletes(cancelled, &error)) raiseRegistryFailure(L"PendingFileRenameOperations", error);
}

void moveAside(InstallRun& run, const std::wstring& path) {
  const std::wstring* roots[] = {&run.folder, &run.oldFolder, &run.folders.programs, &run.folders.desktop,
                                 &run.folders.setupdata};
  for (const std::wstring* root : roots) {
    if (!root->empty() && isInside(path, *root)) {
      refuseLinkOnTheWay(*root, path);
      break;
    }
  }
  if (isLink(path)) refuseLink(L"A link is at the target, refused: %ls", path);

  std::wstring backup = parentPath(path) + L"\\.zsold" + run.runSuffix;
  if (run.backupFolders.count(backup) == 0) {
    journalDirNew(run.journal, backup);
    DWORD error = 0;
    if (!createHiddenFolder(backup, &error)) raiseWriteFailure(backup, error);
    run.backupFolders.insert(backup);
  }
  std::wstring to = backup + L"\\" + lastComponent(path);
  journalMove(run.journal, path, to);

  for (;;) {
    DWORD error = 0;
    for (int attempt = 1; attempt <= kMoveTries; ++attempt) {
      if (moveFile(path, to, false, &error)) return;
      if (!isInUseError(error)) raiseWriteFailure(path, error);
      logf(L"In use, try %d of 10: %ls", attempt, path.c_str());
      if (attempt < kMoveTries) Sleep(kMoveTryPauseMs);
      run.cancelPoint();
    }
    logWinError(L"Still in use: " + path, error);
    if (run.request.sink == nullptr || !run.request.sink->askRetryInUse(lastComponent(path))) {
      // A no given while the user stopped the install is that stop, not a failure.
      run.cancelPoint();
      throw Stop::failed(StopCategory::FileInUse, lastComponent(path));
    }
  }
}

void clearTargets(InstallRun& run) {
  cancelPendingDeletes(run);
  if (run.hasOldFolder()) {
    bool sameFolder = equalsNoCase(run.oldFolder, run.folder);
    for (const std::wstring& name : oldProgramFiles(run)) {
      if (!isRelativePathOk(name, false)) continue;
      std::wstring path = run.oldFolder + L"\\" + name;
      refuseLinkOnTheWay(run.oldFolder, path);
      if (!pathExists(path) || isDirectory(path)) continue;
      run.cancelPoint();
      if (sameFolder) {
        const FileEntry* entry = entryNamed(run, name);
        if (entry != nullptr && fileMatches(path, *entry)) {
          logf(L"Unchanged, left in place: %ls", name.c_str());
          keep(run, name);
          continue;
        }
      }
      moveAside(run, path);
    }
  }
  CheckedFolders checked(run.folder);
  for (const FileEntry* f : run.programFiles) {
    std::wstring name = relativeToApp(f->dest);
    if (run.kept.count(name) != 0) continue;
    std::wstring target = run.folder + L"\\" + name;
    if (refuseLinkOnTheWay(checked, target) == WayDown::MissingLevel || !pathExists(target)) continue;
    if (isDirectory(target)) {
      logf(L"A folder stands where a file goes: %ls", target.c_str());
      throw Stop::failed(StopCategory::WriteFailed, target);
    }
    run.cancelPoint();
    if (fileMatches(target, *f)) {
      logf(L"Already here and identical, left in place: %ls", name.c_str());
      keep(run, name);
    } else {
      moveAside(run, target);
    }
  }
  run.report(InstallStep::CopyingFiles, StepStatus::Running, 94);
}

namespace {

// The failure path of a move: nothing was placed for it, nor for any file handed over after it, so
// rollback must not delete whatever stands at their targets.
[[noreturn]] void raisePlacingFailure(InstallRun& run, const MoverOutcome& outcome) {
  run.journal.appendOrFail(journal_kind::kUndone, {std::to_wstring(outcome.failedAt.put)});
  for (const Placement& p : outcome.unmoved) run.journal.appendOrFail(journal_kind::kUndone, {std::to_wstring(p.put)});
  run.cancelPoint();
  logWinError(L"Couldn't place " + outcome.failedAt.target, outcome.error);
  throw Stop::failed(StopCategory::WriteFailed, outcome.failedAt.target);
}

// Judges each target, makes its folders and writes its PUT record; the mover moves it after.
void handOverAll(InstallRun& run, PlacingMover& mover) {
  CheckedFolders checked(run.folder);
  for (const FileEntry* f : run.programFiles) {
    std::wstring name = relativeToApp(f->dest);
    if (run.kept.count(name) != 0) continue;
    run.cancelPoint();
    std::wstring target = run.folder + L"\\" + name;
    // Judged before the parent folders are made, so that none is made through a link, and again
    // before the move: the folders just made are judged then.
    refuseLinkOnTheWay(checked, target);
    const std::wstring parent = parentPath(target);
    if (name.find(L'\\') != std::wstring::npos && !checked.knownReal(parent)) {
      createFoldersWithJournal(run, parent, false);
      refuseLinkOnTheWay(checked, target);
    }
    // Flushed before it is handed over: no move happens ahead of its record.
    int32_t put = run.journal.appendOrFail(journal_kind::kPut, {target});
    if (!mover.give(Placement{run.stagingFolder + L"\\" + name, std::move(target), put})) return;
  }
}

}  // namespace

void placeFiles(InstallRun& run) {
  PlacingMover mover(run.cancel);
  try {
    handOverAll(run, mover);
  } catch (...) {
    // The files handed over are moved first, as they would have been had each record and its move
    // taken turns; a move that failed among them came first in script order and is what is reported.
    MoverOutcome outcome = mover.finish();
    if (outcome.failed) raisePlacingFailure(run, outcome);
    throw;
  }
  MoverOutcome outcome = mover.finish();
  if (outcome.failed) raisePlacingFailure(run, outcome);
  run.report(InstallStep::CopyingFiles, StepStatus::Running, 98);
}

}  // namespace zs
