// The commit of an install run and the cleanup after it.
//
// Contract:
// - commitRun writes what the cleanup will remove (CLEANENTRY, CLEANDIR, CLEANEMPTY) and then
//   COMMIT. COMMIT is written under the cancel lock: a cancel asked before it wins (the run stops
//   as cancelled and rolls back); once it is written the run is committed and a cancel is refused.
// - Nothing is deleted before COMMIT. The cleanup acts only on what the journal says, never on the
//   run's memory, so the next start can finish it the same way if the process dies in between.
// - Cleanup never raises and never stops at the first problem: every item is tried, failures are
//   logged and left for the next run or the next restart. The install has succeeded either way.
// - Staging and backup folders of earlier runs found directly in the install folder by their name
//   (".zsnew" or ".zsold" and a run suffix) go too: their journals are gone, and nothing else would
//   ever remove them.
// - COMMIT is written only once the run's registry keys and new names are on disk, and END only
//   once the cleanup's are (journal.h, durability rules 4 and 5).
#pragma once

#include <string>
#include <vector>

#include "journal/journal.h"
#include "journal/journal_check.h"

namespace zs {

class CancelState;
class EngineSink;
struct KnownFolders;
struct LegacyInfo;

struct CommitInputs {
  JournalWriter* journal = nullptr;
  std::wstring installFolder;
  std::wstring oldInstallFolder;  // may be empty
  std::wstring appId;
  const LegacyInfo* legacy = nullptr;  // may be null
  const KnownFolders* folders = nullptr;
  CancelState* cancel = nullptr;
  EngineSink* sink = nullptr;  // may be null
  // The views searched for old entries: "64" always, "32" too on 64-bit Windows.
  bool windows64 = false;
  // Folders below the old install folder that held its program files (relative, deepest first),
  // from its uninstall record. When the install moves to another folder they are removed once
  // emptied, so that the old folder itself can go.
  std::vector<std::wstring> oldProgramDirs;
  // The folders of the install folder the new install keeps (relative). An upgrade in place
  // removes the old program folders not among them once emptied: a version that no longer has a
  // folder's files would otherwise leave that folder empty, and the uninstaller (whose record
  // names only the new folders) would leave it and the install folder for good.
  std::vector<std::wstring> keptProgramDirs;
};

// Raises the write failure when a record cannot be written, and the cancel stop when a cancel was
// asked before COMMIT.
void commitRun(const CommitInputs& in);

// Right after the run's own commit: reads the journal back and finishes it. Never raises.
void cleanUpAfterCommit(JournalWriter& journal, const KnownFolders& folders, std::wstring_view appId);

// The cleanup proper: old entries, backup folders, a staging folder left behind, {setupdata}\bak,
// emptied old folders, the shell told; once all of it is on disk, END appended and the journal
// deleted. False when it could not be made durable: the journal is closed and stays without END,
// for the next start to finish (journal.h, durability rule 5).
bool finishCommittedJournal(const JournalImage& image, JournalWriter& journal, const JournalScope& scope);

// The backup folders a committed journal leaves, each once, in ordinal case-insensitive order.
std::vector<std::wstring> backupFolders(const JournalImage& image, const JournalScope& scope);

// Deletes the folder and everything in it. What cannot be deleted is logged ("Delete " + path)
// and scheduled for deletion at the next restart when no other account can change the folder or
// a parent of it, or left with "Left in place, other accounts can write here: %s".
void deleteTreeWithFallback(const std::wstring& folder);

// Whether a folder's name is that of a run's staging or backup folder.
bool isRunFolderName(std::wstring_view name);
// The folders directly in `folder` with such a name, links left out; sorted.
std::vector<std::wstring> runFoldersIn(const std::wstring& folder);

// Whether a cleanup in this process scheduled a delete for the next restart (a file in use): the run
// did its work, and the restart finishes it.
bool cleanupLeftDeletesForRestart();

}  // namespace zs
