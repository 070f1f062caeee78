#include "journal/recovery.h"

#include <algorithm>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "journal/cleanup.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "journal/engine_sink.h"

namespace zs {

namespace {

// Spare names tried after install.zsj.bad, so that a folder or a file held open there does not
// keep a bad journal in the way of every later run.
constexpr int kSpareBadNames = 9;

Recovery setAsideAs(const std::wstring& badPath) {
  size_t slash = badPath.rfind(L'\\');
  logf(L"The journal was not valid. Renamed to %ls and nothing in it was acted on.",
       badPath.c_str() + (slash == std::wstring::npos ? 0 : slash + 1));
  return Recovery::GoOn;
}

// The journal stays where it is: the run goes on, and fails when it cannot make its own journal
// at that place; this line says what stands in the way.
Recovery leftInPlace(const std::wstring& journalPath, const std::wstring& inTheWay) {
  if (inTheWay.empty()) {
    logf(L"The journal was not valid and stays unread at %ls: it could not be moved.", journalPath.c_str());
  } else {
    logf(L"The journal was not valid and stays unread at %ls: it could not be set aside, %ls is in the way.",
         journalPath.c_str(), inTheWay.c_str());
  }
  return Recovery::GoOn;
}

Recovery setAside(const std::wstring& journalPath) {
  theLog().open();
  std::wstring badPath = journalPath + L".bad";
  deleteFile(badPath);  // an older bad journal gives way; a folder or a held file stays
  DWORD error = 0;
  if (moveFile(journalPath, badPath, false, &error)) return setAsideAs(badPath);
  logWinError(L"Rename of a bad journal", error);
  for (int n = 1; n <= kSpareBadNames; ++n) {
    std::wstring spare = badPath + std::to_wstring(n);
    if (pathExists(spare)) continue;
    if (moveFile(journalPath, spare, false, &error)) return setAsideAs(spare);
    logWinError(L"Rename of a bad journal to " + spare, error);
    // Not even a free name takes it: what holds it back is the journal itself (the error says why).
    return leftInPlace(journalPath, L"");
  }
  return leftInPlace(journalPath, badPath);
}

}  // namespace

bool rollbackWillDelete(const KnownFolders& folders, const std::wstring& file) {
  JournalImage image;
  if (readJournal(folders.setupdata + L"\\install.zsj", image) != JournalState::Valid) return false;
  if (image.committed || image.ended) return false;
  return std::any_of(image.records.begin(), image.records.end(), [&](const JournalRecord& r) {
    return r.kind == journal_kind::kPut && !r.fields.empty() && equalsNoCase(r.fields[0], file);
  });
}

Recovery recoverAtStartup(const KnownFolders& folders, std::wstring_view appId, EngineSink* sink,
                         const RollbackOptions& options) {
  if (!checkSetupData(folders.setupdata)) {
    logLine(L"Nothing in {setupdata} is read while it is wrongly owned.");
    return Recovery::GoOn;
  }
  std::wstring journalPath = folders.setupdata + L"\\install.zsj";
  if (!pathExists(journalPath)) return Recovery::GoOn;

  JournalImage image;
  JournalState state = readJournal(journalPath, image);
  if (state == JournalState::Absent) return Recovery::GoOn;
  if (state == JournalState::Invalid) {
    // A power cut while the journal was being made leaves its header torn: that is no journal to
    // keep for inspection, since nothing was done under it.
    std::string bytes;
    if (readWholeFile(journalPath, kJournalHeader.size(), bytes) && isTornJournalHeader(bytes)) {
      logLine(L"The journal holds no more than a torn header, so nothing was done under it. Deleted.");
      deleteFile(journalPath);
      return Recovery::GoOn;
    }
    return setAside(journalPath);
  }
  JournalScope scope = makeJournalScope(image, folders, appId);
  if (!checkJournalPaths(image, scope, folders)) return setAside(journalPath);

  if (image.records.empty() || image.ended) {
    if (image.ended) logLine(L"An earlier run finished its cleanup but not the journal's delete. Deleted it.");
    deleteFile(journalPath);
    return Recovery::GoOn;
  }

  theLog().open();
  JournalWriter writer;
  DWORD error = writer.reopen(journalPath, image.validLength, static_cast<int32_t>(image.records.size()), scope);
  if (error != 0) {
    logWinError(L"Open the journal", error);
    return Recovery::Incomplete;
  }

  if (image.committed) {
    logLine(L"An earlier run committed but did not finish its cleanup. Finishing it.");
    const bool finished = finishCommittedJournal(image, writer, scope);
    writer.close();
    return finished ? Recovery::GoOn : Recovery::Incomplete;
  }

  logLine(L"An earlier run did not finish. Rolling back first.");
  if (sink != nullptr) sink->onRollingBack();
  const RolledBack undone = rollBack(image, writer, scope, options);
  writer.close();
  if (undone == RolledBack::AllButHeld) {
    // Each undo is on disk with its UNDONE; the registry's last flush and the journal's delete come
    // with the second rollback.
    logLine(L"Rolled back but for the file held open. The journal stays until its program has ended.");
    return Recovery::AllButHeldFile;
  }
  const bool ok = undone == RolledBack::All;
  if (ok && finishCompleteRollback(image, journalPath, scope.setupdata)) {
    logLine(L"Rollback of the earlier run finished.");
    return Recovery::GoOn;
  }
  if (ok) return Recovery::Incomplete;
  logLine(L"Rollback is not complete. The journal stays, and the next run tries again.");
  return Recovery::Incomplete;
}

}  // namespace zs
