#include "journal/rollback.h"
#include "journal/folder_flush.h"
#include "journal/registry_flush.h"

#include <set>

#include "base/log.h"
#include "base/paths.h"
#include "platform/files.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "journal/engine_sink.h"

namespace zs {

namespace {

std::set<int32_t> undoneSet(const JournalImage& image) {
  std::set<int32_t> undone;
  for (const JournalRecord& r : image.records) {
    uint64_t n = 0;
    if (r.kind == journal_kind::kUndone && r.fields.size() == 1 && parseJournalNumber(r.fields[0], n) &&
        n <= static_cast<uint64_t>(INT32_MAX)) {
      undone.insert(static_cast<int32_t>(n));
    }
  }
  return undone;
}

// Durability rule 6: an undo must be on disk before its UNDONE is, or a power cut could keep the
// UNDONE and lose the undo, and the next start would pass over a change that came back. A registry
// undo goes to disk with its hive; a file undo that deletes goes with the folder it deleted from (a
// MOVE back is written through by itself). False, after the log line, when the flush failed.
bool makeUndoDurable(const JournalRecord& record) {
  using namespace journal_kind;
  FlushFailure failure;
  KeyFlush key = flushRecordKey(record, failure);
  if (key == KeyFlush::NoKey &&
      (record.kind == kPut || record.kind == kDirNew || record.kind == kStage || record.kind == kSeedNew)) {
    FolderFlushes folder;
    folder.addParentOf(record.fields[0]);
    failure = folder.flush();
  }
  if (!failure.failed()) return true;
  logWinError(L"Couldn't write the undo to disk: " + failure.key, failure.error);
  return false;
}

// Whether the rollback leaves this record for the held file's own rollback: the held file's PUT,
// and the new folders it keeps from being removed.
bool waitsForHeldFile(const JournalRecord& record, const std::wstring& held) {
  using namespace journal_kind;
  if (record.kind == kPut) return equalsNoCase(record.fields[0], held);
  return record.kind == kDirNew && isInside(held, record.fields[0]);
}

// The held file waits only when the journal put it there new and did not also move an old one
// aside from there.
std::wstring heldFileThatWaits(const JournalImage& image, const std::wstring& held) {
  if (held.empty()) return {};
  bool put = false;
  for (const JournalRecord& r : image.records) {
    if (r.fields.empty() || !equalsNoCase(r.fields[0], held)) continue;
    if (r.kind == journal_kind::kMove) return {};
    put = put || r.kind == journal_kind::kPut;
  }
  return put ? held : std::wstring();
}

}  // namespace

RolledBack rollBack(const JournalImage& image, JournalWriter& writer, const JournalScope& scope,
              const RollbackOptions& options) {
  std::set<int32_t> undone = undoneSet(image);
  UndoContext context{scope, options.asUser, options.retryPauseMs};
  const std::wstring held = heldFileThatWaits(image, options.heldFile);
  bool ok = true;
  bool waited = false;
  for (auto it = image.records.rbegin(); it != image.records.rend(); ++it) {
    const JournalRecord& record = *it;
    const RecordKind* kind = findRecordKind(record.kind);
    if (kind == nullptr || kind->undo == nullptr || undone.count(record.number) != 0) continue;
    if (record.fields.size() != kind->fieldCount) {
      // The path check refuses such a journal; a caller that skipped it gets nothing done.
      logf(L"Undo failed for record %d (%ls)", record.number, record.kind.c_str());
      ok = false;
      continue;
    }
    std::wstring detail = kind->detailField < record.fields.size() ? record.fields[kind->detailField] : std::wstring();
    if (!held.empty() && waitsForHeldFile(record, held)) {
      logf(L"Undo record %d waits until the program that holds %ls has ended: %ls %ls", record.number, held.c_str(),
           record.kind.c_str(), detail.c_str());
      waited = true;
      continue;
    }
    logf(L"Undo record %d: %ls %ls", record.number, record.kind.c_str(), detail.c_str());
    if (!kind->undo(record, context)) {
      logf(L"Undo failed for record %d (%ls)", record.number, record.kind.c_str());
      ok = false;
      continue;
    }
    if ((!ok || waited) && kind->stillThere != nullptr && kind->stillThere(record, scope)) continue;
    if (!makeUndoDurable(record)) {
      // Undone, but not on disk: it gets no UNDONE, so the next start undoes it again; and, as
      // when UNDONE cannot be written (below), nothing earlier may be undone before it is.
      logLine(L"Rollback stops here: what is undone can't be written to disk.");
      return RolledBack::NotAll;
    }
    DWORD error = 0;
    if (writer.append(journal_kind::kUndone, {format(16, L"%d", record.number)}, &error) == 0) {
      logWinError(L"Writing UNDONE", error);
      // A record undone without its UNDONE is undone again next time. After an earlier record is
      // undone too, that can destroy what the earlier undo put back (a PUT undone a second time
      // deletes the old file its MOVE brought back), so nothing more is undone now.
      logLine(L"Rollback stops here: the journal can't record what is undone.");
      return RolledBack::NotAll;
    }
    if (options.afterUndone) {
      options.afterUndone(record.number);
    }
  }
  if (!ok) return RolledBack::NotAll;
  return waited ? RolledBack::AllButHeld : RolledBack::All;
}

bool finishCompleteRollback(const JournalImage& image, const std::wstring& journalPath,
                            const std::wstring& setupdata) {
  // Durability rule 7: the registry put back must be on disk before the journal that could put it
  // back again goes.
  FlushFailure failure = flushJournalRegistry(image);
  if (failure.failed()) {
    logWinError(L"Couldn't write the registry key to disk: " + failure.key, failure.error);
    logLine(L"Rolled back, but not yet on disk. The journal stays, and the next run finishes it.");
    return false;
  }
  deleteFile(journalPath);
  if (setupdata.empty()) return true;
  std::wstring bak = setupdata + L"\\bak";
  if (isDirectory(bak) && !isLink(bak)) deleteTree(bak);
  if (isDirectory(setupdata) && !isLink(setupdata) && isFolderEmpty(setupdata)) removeFolder(setupdata);
  return true;
}

bool rollBackOwnJournal(JournalWriter& writer, const KnownFolders& folders, std::wstring_view appId, EngineSink* sink,
                        const RollbackOptions& options) {
  if (sink != nullptr) sink->onRollingBack();
  if (!writer.isOpen()) return true;
  std::wstring path = writer.path();
  writer.close();
  JournalImage image;
  JournalScope scope;
  bool usable = readJournal(path, image) == JournalState::Valid;
  if (usable) {
    scope = makeJournalScope(image, folders, appId);
    usable = checkJournalPaths(image, scope, folders);
  }
  if (!usable) {
    logLine(L"The journal could not be read back, so it stays for the next run.");
    return false;
  }
  DWORD error = writer.reopen(path, image.validLength, static_cast<int32_t>(image.records.size()), scope);
  if (error != 0) {
    logWinError(L"Open the journal for rollback", error);
    return false;
  }
  logLine(L"Rolling back.");
  bool ok = rollBack(image, writer, scope, options) == RolledBack::All;
  writer.close();
  if (ok) {
    ok = finishCompleteRollback(image, path, scope.setupdata);
    if (ok) logLine(L"Rolled back. Everything is as it was.");
  } else {
    logLine(L"Rollback is not complete. The journal stays, and the next run tries again.");
  }
  return ok;
}

}  // namespace zs
