#include "journal/cleanup.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "base/failure.h"
#include "base/log.h"
#include "journal/record_kinds.h"
#include "journal/folder_flush.h"
#include "journal/registry_flush.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/shell.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "script/script.h"
#include "journal/engine_sink.h"

namespace zs {

namespace {

// Set once a cleanup of this process leaves a delete to the next restart; never cleared.
std::atomic<bool> g_leftDeletesForRestart{false};

std::wstring_view lastComponent(std::wstring_view path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

// The writer refuses a cleanup record the path check would refuse, which would fail the run at its
// commit; such a record is left out instead (and what it names stays).
void appendCleanRecord(JournalWriter& journal, std::wstring_view kind, std::vector<std::wstring> fields) {
  if (!journal.accepts(kind, fields)) {
    logf(L"Cleanup leaves %ls alone: it is outside what the cleanup may touch.", fields.back().c_str());
    return;
  }
  journal.appendOrFail(kind, fields);
}

// Durability rule 4: COMMIT lets the cleanup delete the backups, so the run's registry half and
// the names it made must be on disk first. The records say which keys and folders those are.
void makeRunDurable(const JournalWriter& journal) {
  JournalImage written;
  DWORD error = 0;
  if (readJournal(journal.path(), written, &error) != JournalState::Valid) {
    logLine(L"The journal could not be read back before COMMIT, so what it names could not be written to disk.");
    raiseWriteFailure(journal.path(), error != 0 ? error : ERROR_INVALID_DATA);
  }
  FlushFailure registry = flushJournalRegistry(written);
  if (registry.failed()) {
    logWinError(L"Couldn't write the registry key to disk: " + registry.key, registry.error);
    throw Stop::failed(StopCategory::RegistryFailed, registry.key);
  }
  FlushFailure folder = foldersNamedBy(written).flush();
  if (folder.failed()) raiseWriteFailure(folder.key, folder.error);
}

// A tree the cleanup could not delete whole: it and every folder left in it, each of which holds
// the names of what was deleted in it.
void addRemainingFolders(const std::wstring& folder, FolderFlushes& flushes) {
  if (!isDirectory(folder) || isLink(folder)) return;
  flushes.add(folder);
  std::vector<FolderEntry> entries;
  if (!listFolder(folder, entries)) return;
  for (const FolderEntry& e : entries) {
    if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      addRemainingFolders(folder + L"\\" + e.name, flushes);
  }
}

// Durability rule 5: what the cleanup deleted and scheduled must be on disk before END. False
// (after the one log line) when it is not: the journal then stays without END.
bool cleanupIsDurable(const JournalImage& image, const FolderFlushes& emptied) {
  FlushFailure failure = flushJournalRegistry(image);
  const wchar_t* what = L"Couldn't write the registry key to disk: ";
  if (!failure.failed()) {
    failure = emptied.flush();
    what = L"Couldn't write the folder to disk: ";
  }
  if (!failure.failed()) return true;
  logWinError(what + failure.key, failure.error);
  logLine(L"The cleanup is not on disk yet. The journal stays, and the next start finishes it.");
  return false;
}

}  // namespace

void commitRun(const CommitInputs& in) {
  JournalWriter& journal = *in.journal;

  std::vector<RegView> views = {RegView::View64};
  if (in.windows64) views.push_back(RegView::View32);
  std::vector<std::pair<RegView, std::wstring>> candidates;
  if (in.legacy != nullptr) {
    for (const std::wstring& key : in.legacy->uninstallKeys) {
      std::wstring name = expandPaths(key, VariableTable{});
      for (RegView view : views) candidates.emplace_back(view, name);
    }
  }
  if (in.windows64) candidates.emplace_back(RegView::View32, L"{" + in.appId + L"}");
  for (const auto& [view, name] : candidates) {
    if (keyExists(RegRoot::Hklm, view, uninstallEntryKey(name))) {
      appendCleanRecord(journal, journal_kind::kCleanEntry, {regViewName(view), name});
    }
  }

  if (!in.oldInstallFolder.empty()) {
    if (in.legacy != nullptr) {
      for (const std::wstring& dir : in.legacy->dirs) {
        appendCleanRecord(journal, journal_kind::kCleanDir, {in.oldInstallFolder + L"\\" + dir});
      }
    }
    const bool inPlace = equalsNoCase(in.oldInstallFolder, in.installFolder);
    for (const std::wstring& dir : in.oldProgramDirs) {
      const bool kept = std::any_of(in.keptProgramDirs.begin(), in.keptProgramDirs.end(),
                                    [&](const std::wstring& k) { return equalsNoCase(k, dir); });
      if (!inPlace || !kept) appendCleanRecord(journal, journal_kind::kCleanDir, {in.oldInstallFolder + L"\\" + dir});
    }
    if (!inPlace) appendCleanRecord(journal, journal_kind::kCleanEmpty, {in.oldInstallFolder});
  }
  if (in.legacy != nullptr) {
    VariableTable table = makeVariableTable(*in.folders, in.installFolder);
    for (const std::wstring& value : in.legacy->removeIfEmpty) {
      appendCleanRecord(journal, journal_kind::kCleanEmpty, {expandPaths(value, table)});
    }
  }

  makeRunDurable(journal);

  {
    std::unique_lock<std::mutex> guard(in.cancel->lock());
    if (in.cancel->cancelRequested()) {
      guard.unlock();
      throw Stop::cancelled();
    }
    DWORD error = 0;
    if (journal.append(journal_kind::kCommit, {}, &error) == 0) {
      guard.unlock();
      raiseWriteFailure(journal.path(), error);
    }
    in.cancel->markCommittedLocked();
  }
  if (in.sink != nullptr) in.sink->onCommitted();
  logLine(L"COMMIT.");
}

void cleanUpAfterCommit(JournalWriter& journal, const KnownFolders& folders, std::wstring_view appId) {
  try {
    JournalImage image;
    JournalScope scope;
    bool usable = readJournal(journal.path(), image) == JournalState::Valid;
    if (usable) {
      scope = makeJournalScope(image, folders, appId);
      usable = checkJournalPaths(image, scope, folders);
    }
    if (!usable) {
      logLine(L"The journal could not be read back for cleanup. The next run tidies.");
      journal.close();
      return;
    }
    if (!finishCommittedJournal(image, journal, scope)) return;
    std::wstring bak = scope.setupdata.empty() ? std::wstring() : scope.setupdata + L"\\bak";
    if (!bak.empty() && isDirectory(bak) && !isLink(bak) && isFolderEmpty(bak)) removeFolder(bak);
  } catch (const std::exception& e) {
    logf(L"Cleanup: %ls", utf8ToWide(e.what()).c_str());
  } catch (...) {
    logLine(L"Cleanup stopped on an error. The next run tidies.");
  }
}

std::vector<std::wstring> backupFolders(const JournalImage& image, const JournalScope& scope) {
  std::wstring backupName = L".zsold" + scope.runSuffix;
  std::vector<std::wstring> folders;
  auto add = [&](std::wstring folder) {
    for (const std::wstring& known : folders) {
      if (equalsNoCase(known, folder)) return;
    }
    folders.push_back(std::move(folder));
  };
  for (const JournalRecord& r : image.records) {
    if (r.kind == journal_kind::kMove && r.fields.size() == 2) {
      std::wstring parent = parentPath(r.fields[1]);
      if (lastComponent(parent) == backupName) add(normalizePath(parent));
    } else if (r.kind == journal_kind::kDirNew && r.fields.size() == 1) {
      const std::wstring& path = r.fields[0];
      if (lastComponent(path) == backupName &&
          (isInside(path, scope.installFolder) || isInside(path, scope.oldInstallFolder))) {
        add(normalizePath(path));
      }
    }
  }
  std::sort(folders.begin(), folders.end(), NoCaseLess{});
  return folders;
}

void deleteTreeWithFallback(const std::wstring& folder) {
  // Scheduling a delete at restart is only safe where nobody else can put something in its place.
  bool safe = !isPathTamperable(folder);
  deleteTree(folder, [&](const std::wstring& path, DWORD error) {
    logWinError(L"Delete " + path, error);
    if (safe) {
      if (deleteAtRestart(path)) {
        g_leftDeletesForRestart = true;
      } else {
        logWinError(L"Couldn't schedule at the next restart " + path, GetLastError());
      }
    } else {
      logf(L"Left in place, other accounts can write here: %ls", path.c_str());
    }
  });
}

bool isRunFolderName(std::wstring_view name) {
  for (std::wstring_view stem : {std::wstring_view(L".zsnew"), std::wstring_view(L".zsold")}) {
    if (name.size() > stem.size() && name.substr(0, stem.size()) == stem && isRunSuffix(name.substr(stem.size())))
      return true;
  }
  return false;
}

std::vector<std::wstring> runFoldersIn(const std::wstring& folder) {
  std::vector<FolderEntry> entries;
  std::vector<std::wstring> found;
  if (!listFolder(folder, entries)) return found;
  for (const FolderEntry& e : entries) {
    if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        isRunFolderName(e.name))
      found.push_back(folder + L"\\" + e.name);
  }
  std::sort(found.begin(), found.end(), NoCaseLess{});
  return found;
}

bool cleanupLeftDeletesForRestart() { return g_leftDeletesForRestart; }

bool finishCommittedJournal(const JournalImage& image, JournalWriter& journal, const JournalScope& scope) {
  for (const JournalRecord& r : image.records) {
    RegView view;
    if (r.kind != journal_kind::kCleanEntry || r.fields.size() != 2 || !parseRegView(r.fields[0], view)) continue;
    std::wstring key = uninstallEntryKey(r.fields[1]);
    if (!keyExists(RegRoot::Hklm, view, key)) continue;
    if (deleteKeyTree(RegRoot::Hklm, view, key)) {
      logf(L"Removed the old entry %ls (%ls-bit view)", r.fields[1].c_str(), regViewName(view));
    } else {
      logf(L"Could not remove the old entry %ls", r.fields[1].c_str());
    }
  }

  // The folders whose names the deletes below change: flushed before END.
  FolderFlushes emptied;
  auto removeTree = [&](const std::wstring& folder) {
    if (isLink(folder) || !passesNoLinkTest(folder, scope)) {
      logf(L"Left a link in place: %ls", folder.c_str());
      return;
    }
    if (!pathExists(folder)) return;
    deleteTreeWithFallback(folder);
    emptied.addParentOf(folder);
    // What stays of it (a file in use waits for the restart) holds the deletes made inside it.
    addRemainingFolders(folder, emptied);
  };
  for (const std::wstring& folder : backupFolders(image, scope)) removeTree(folder);
  // A staging folder is removed before COMMIT; one still there (a file in it was held, or its
  // removal was lost with the power) would otherwise stay hidden in the install folder for good.
  for (const JournalRecord& r : image.records) {
    if (r.kind == journal_kind::kStage && r.fields.size() == 1) removeTree(normalizePath(r.fields[0]));
  }
  // Those of earlier runs whose cleanup could not remove them (a file in them was held) and whose
  // journals are gone.
  if (!scope.installFolder.empty()) {
    for (const std::wstring& folder : runFoldersIn(scope.installFolder)) {
      if (lastComponent(folder).ends_with(scope.runSuffix)) continue;  // this run's, handled above
      logf(L"Removing a staging or backup folder an earlier run left: %ls", folder.c_str());
      removeTree(folder);
    }
  }

  if (!scope.setupdata.empty()) {
    std::wstring bak = scope.setupdata + L"\\bak";
    if (isDirectory(bak) && !isLink(bak)) {
      deleteTreeWithFallback(bak);
      emptied.add(scope.setupdata);
      addRemainingFolders(bak, emptied);
    }
  }

  for (const JournalRecord& r : image.records) {
    if ((r.kind != journal_kind::kCleanDir && r.kind != journal_kind::kCleanEmpty) || r.fields.size() != 1) continue;
    std::wstring path = normalizePath(r.fields[0]);
    if (isDirectory(path) && !isLink(path) && passesNoLinkTest(path, scope) && isFolderEmpty(path) &&
        removeFolder(path)) {
      logf(L"Removed the empty folder %ls", path.c_str());
      emptied.addParentOf(path);
    }
  }

  notifyAssociationsChanged();
  // END with the backups (or an old entry, or a scheduled delete) come back would tell the next
  // start that nothing is left to clean.
  if (!cleanupIsDurable(image, emptied)) {
    journal.close();
    return false;
  }

  DWORD error = 0;
  if (journal.append(journal_kind::kEnd, {}, &error) == 0) logWinError(L"Writing END", error);
  std::wstring path = journal.path();
  journal.close();
  deleteFile(path);
  return true;
}

}  // namespace zs
