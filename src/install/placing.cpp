#include "install/placing.h"

#include <windows.h>

#include <map>

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
// A folder on the way that cannot be read is refused too (it might be a link), with its own cause.
WayDown refuseLinkOnTheWay(CheckedFolders& checked, const std::wstring& path, std::wstring* missing = nullptr) {
  CheckedFolders::Unreadable unreadable;
  const WayDown way = checked.judge(path, missing, &unreadable);
  if (way == WayDown::Link) refuseLink(L"A link is in the path, refused: %ls", path);
  if (way == WayDown::Unreadable) {
    logWinError(L"A folder in the path of " + path + L" cannot be read, refused: " + unreadable.folder,
                unreadable.error);
    throw Stop::failed(StopCategory::WriteFailed, path);
  }
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
    makeFolderDurable(backup);
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

// An UNDONE for each PUT record whose file was not placed, so that rollback does not delete
// whatever stands at its target.
void writeUndone(InstallRun& run, const std::vector<int32_t>& puts) {
  for (int32_t put : puts) run.journal.appendOrFail(journal_kind::kUndone, {std::to_wstring(put)});
}

// The failure path of a move: nothing was placed for it, nor for any file handed over after it.
[[noreturn]] void raisePlacingFailure(InstallRun& run, const MoverOutcome& outcome) {
  writeUndone(run, outcome.failedAt.puts);
  for (const Placement& p : outcome.unmoved) writeUndone(run, p.puts);
  run.cancelPoint();
  logWinError(L"Couldn't place " + outcome.failedAt.target, outcome.error);
  throw Stop::failed(StopCategory::WriteFailed, outcome.failedAt.target);
}

// What placing moves, in script order: a file into a folder that exists, or a folder of the install
// folder that does not exist yet with every file going below it.
//
// Why whole folders: the staging folder holds each file at the path it will have, so where a folder
// is new, its staged copy already is what it must become. One move of it takes the place of making
// each folder below it, moving each file and removing the emptied staging folders, which under Wine
// are each a round trip to its server. The records stay those of the files moved one by one: a
// DIRNEW for the folder and every folder inside it and a PUT for every file, each flushed, all
// before the move.
struct PlacingUnit {
  std::wstring name;                // below the install folder: the file's, or the new folder's
  std::vector<std::wstring> files;  // a new folder's files, by their names below the install folder

  bool newFolder() const { return !files.empty(); }
};

// Judges every target's way down and sorts the files into units. Nothing is changed yet.
std::vector<PlacingUnit> planUnits(InstallRun& run, CheckedFolders& checked) {
  std::vector<PlacingUnit> units;
  std::map<std::wstring, size_t, NoCaseLess> newFolders;  // by name, the unit that moves it
  for (const FileEntry* f : run.programFiles) {
    std::wstring name = relativeToApp(f->dest);
    if (run.kept.count(name) != 0) continue;
    std::wstring missing;
    if (refuseLinkOnTheWay(checked, run.folder + L"\\" + name, &missing) == WayDown::MissingLevel &&
        !missing.empty()) {
      std::wstring folder = missing.substr(run.folder.size() + 1);
      auto [at, added] = newFolders.emplace(folder, units.size());
      if (added) units.push_back(PlacingUnit{std::move(folder), {}});
      units[at->second].files.push_back(std::move(name));
      continue;
    }
    // A file that stands where a folder of the path goes is found when the folder is made.
    units.push_back(PlacingUnit{std::move(name), {}});
  }
  return units;
}

// A file into a folder that exists, or that cannot be made: its parent made if it is missing, its
// PUT record, then the move. Its way down was judged when the units were planned.
bool handOverFile(InstallRun& run, PlacingMover& mover, CheckedFolders& checked, std::wstring name) {
  std::wstring target = run.folder + L"\\" + name;
  const std::wstring parent = parentPath(target);
  if (name.find(L'\\') != std::wstring::npos && !checked.knownReal(parent)) {
    createFoldersWithJournal(run, parent, false);
    // The folders just made are judged too.
    refuseLinkOnTheWay(checked, target);
  }
  // Flushed before it is handed over: no move happens ahead of its record.
  int32_t put = run.journal.appendOrFail(journal_kind::kPut, {target});
  return mover.give(Placement{run.stagingFolder + L"\\" + name, std::move(target), {put}});
}

// A new folder: a DIRNEW for it and for each folder below it as a file first needs it, a PUT for
// each file, then the one move. The folders were judged when the units were planned, and what comes
// to stand below the new folder is the staging folder's, which this run made.
bool handOverNewFolder(InstallRun& run, PlacingMover& mover, const PlacingUnit& unit) {
  const std::wstring target = run.folder + L"\\" + unit.name;
  std::vector<int32_t> puts;
  try {
    journalDirNew(run.journal, target);
    NoCaseSet recorded{unit.name};
    for (const std::wstring& file : unit.files) {
      run.cancelPoint();
      for (size_t slash = file.find(L'\\', unit.name.size() + 1); slash != std::wstring::npos;
           slash = file.find(L'\\', slash + 1)) {
        std::wstring folder = file.substr(0, slash);
        if (recorded.insert(folder).second) journalDirNew(run.journal, run.folder + L"\\" + folder);
      }
      puts.push_back(run.journal.appendOrFail(journal_kind::kPut, {run.folder + L"\\" + file}));
    }
  } catch (const Stop& stop) {
    // Stopped before the move: the files recorded so far were not placed. After a cancel the
    // journal is sound, and failing to write to it is the run's failure; after a failed write it is
    // not, that failure is said already, and the rest is tried quietly.
    if (stop.kind == StopKind::Cancelled) {
      writeUndone(run, puts);
    } else {
      for (int32_t put : puts)
        if (run.journal.append(journal_kind::kUndone, {std::to_wstring(put)}) == 0) break;
    }
    throw;
  }
  return mover.give(Placement{run.stagingFolder + L"\\" + unit.name, target, std::move(puts)});
}

void handOverAll(InstallRun& run, PlacingMover& mover) {
  CheckedFolders checked(run.folder);
  const std::vector<PlacingUnit> units = planUnits(run, checked);
  for (const PlacingUnit& unit : units) {
    run.cancelPoint();
    const bool taken = unit.newFolder() ? handOverNewFolder(run, mover, unit) : handOverFile(run, mover, checked, unit.name);
    if (!taken) return;
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
