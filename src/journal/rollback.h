// Rollback: putting the machine back as it was before an install run, from the run's journal
// alone.
//
// Contract:
// - Runs on a journal that was read back and passed the path check, with a writer reopened on the
//   same file. Records are undone from the last to the first; BEGIN, UNDONE, COMMIT, END and the
//   CLEAN* records are passed over.
// - After each record is undone an UNDONE record naming it is appended, so a rollback that is cut
//   short (killed, power lost) resumes where it stopped: a record named by an UNDONE is never
//   undone again. A rollback only ever appends; it never removes records.
// - Best effort: no failure to undo a record stops the rollback. Each record is tried, each failure
//   is logged, and the result is false when any record could not be undone.
// - An UNDONE that cannot be written does stop it: the record would be undone again by the next
//   rollback, and undoing anything older first could make that second undo destroy what the older
//   one put back.
//   After an earlier failure a DIRNEW or KEYNEW whose folder or key is still there gets no UNDONE,
//   because the earlier failure may be what keeps it non-empty; the next rollback tries it again.
// - Undo never follows a link inside the folders it works in, never overwrites a file that has
//   come back, works in the user's folders only while impersonating that user, and deletes a
//   first-run file only while its content is what the run wrote.
#pragma once

#include <functional>
#include <string>

#include "journal/journal.h"
#include "journal/journal_check.h"
#include "journal/record_kinds.h"

namespace zs {

class EngineSink;
struct KnownFolders;

// Impersonates the signed-in user for the work when that user's token is known.
UserRunner signedInUserRunner();

struct RollbackOptions {
  UserRunner asUser = signedInUserRunner();
  DWORD retryPauseMs = 500;
  // Called after each UNDONE record is durable, with the number of the record it names.
  std::function<void(int32_t record)> afterUndone;
  // A file that the process waiting for this one holds open (the uninstaller that started its
  // temporary copy runs from it). When the journal put it there new, its PUT and the DIRNEW of every
  // folder that holds it are left for a second rollback once that process has ended; a file the
  // journal also moved aside is not, since its old file could not come back while this one stays.
  std::wstring heldFile;
};

enum class RolledBack {
  All,
  AllButHeld,  // everything but the held file's PUT and its folders' DIRNEWs, which wait
  NotAll,      // a record could not be undone (logged); the next start tries again
};

// Undoes what the journal holds. The journal file stays.
RolledBack rollBack(const JournalImage& image, JournalWriter& writer, const JournalScope& scope,
                    const RollbackOptions& options = {});

// After a complete rollback: the registry the records name is flushed to disk, the journal file
// goes, then {setupdata}\bak with everything in it, then {setupdata} itself when it is empty. False
// (logged) when the flush failed: the journal then stays for the next start.
bool finishCompleteRollback(const JournalImage& image, const std::wstring& journalPath,
                            const std::wstring& setupdata);

// A failed or cancelled run rolls back its own journal. The writer is closed on return. True when
// the rollback finished (or there was nothing to roll back); false means result 10 for the run.
bool rollBackOwnJournal(JournalWriter& writer, const KnownFolders& folders, std::wstring_view appId,
                        EngineSink* sink, const RollbackOptions& options = {});

}  // namespace zs
