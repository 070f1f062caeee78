// The install journal: the write-ahead record of every change an install run makes.
//
// Contract:
// - Before a step changes the machine it appends one record saying what it is about to do and
//   what undoing it needs. append() writes the whole line in one write and flushes it; only then
//   does the record count as written. A step that cannot append its record does not make the
//   change (appendOrFail raises the write failure first).
// - A failed append cuts the file back to where it was, so a later record never lands glued to a
//   torn one. If even that fails the writer refuses every further append.
// - The writer never lets a journal grow past the reader's 64 MiB limit. Records that describe a
//   change keep room for the one UNDONE each may later get and for END, so a journal that was
//   written can always be read back, rolled back and finished.
// - The file is shared for reading only while a run holds it: no second writer gets in.
// - The writer writes nothing its own reader would refuse: each record is read back from the
//   line about to be written and must come back as given and pass recordPassesCheck against the
//   writer's scope (journal_check.h), else the append fails and nothing reaches the file. The
//   scope is the run's folders and AppId, given to create, completed by the BEGIN record's
//   folders; a reopened journal brings the scope it was checked with.
// - Reading back never fails on content: a torn last line is left out (and cut away when the file
//   is reopened for appending); what a record means is judged later by the path check
//   (journal_check.h) and nothing in a journal is acted on before it passes.
//
// Durability rules. What a flush makes durable is only what Windows documents for it: a file's
// flush (FlushFileBuffers) its own bytes and size, not its name; a folder's flush (a folder handle
// opened with backup semantics) the names in that folder (files and folders made, moved in or
// out, deleted); a move with MOVEFILE_WRITE_THROUGH that move. No flush orders another file's,
// another folder's, the registry's or another volume's changes (tools/crash/MODEL.md says what a
// power cut may do; the explorer's harsh model holds the product to these rules). The code names
// the rule it keeps as "durability rule N".
//  1. A record is on disk before its change is made: append writes the line and flushes the
//     journal; a record that is not flushed is not written, and its change is not made. A folder
//     an existing file is moved into (a backup folder) has its name flushed in its parent before
//     the move: a move that outlived its folder's creation would lose the old file.
//  2. The journal's name is on disk before its first record counts: create flushes the journal's
//     folder and that folder's parent (a first install has just made {setupdata}).
//  3. A staged file's bytes are flushed before its PUT is written; placing moves it write-through,
//     so the file at its target is whole whenever its record is.
//  4. Before COMMIT: the hive of every key the records name is flushed, and the staging folder's
//     removal is flushed in the install folder. A flush that fails, or a journal that cannot be
//     read back to find those keys, fails the run: it rolls back. COMMIT is what lets cleanup
//     delete the backups, so nothing it relies on may still be in the air.
//  5. Before END: cleanup's deletes are flushed in the folders that held them (backups, {setupdata}
//     \bak, a leftover staging folder, the old folders), the registry it changed (old entries,
//     the restart list with the deletes it scheduled) is flushed. A flush that fails keeps the
//     journal without END, so that the next start finishes the cleanup again.
//  6. Rollback: an undo is on disk before its UNDONE (a registry undo with its hive, a delete or a
//     folder's removal with the folder it was in); an undo whose flush fails gets no UNDONE, so
//     the rollback is incomplete and the next start undoes it again. Undoing is idempotent.
//  7. A rolled-back journal goes only once the registry put back is flushed; when that flush
//     fails the journal stays (all of it UNDONE), and the next start flushes and deletes it.
//  8. The uninstaller flushes every folder it deleted from before it removes the Apps & Features
//     entry, and flushes the entry's removal and the restart list before it deletes the record:
//     a power cut never keeps an entry without its record, nor the files without their entry.
//     A flush that fails stops it before the entry goes, and running it again finishes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "journal/journal_check.h"
#include "journal/journal_format.h"

namespace zs {

struct KnownFolders;

class JournalWriter {
 public:
  JournalWriter() = default;
  ~JournalWriter() { close(); }
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // A new file (an existing one makes it fail) with the header, flushed, for a run under these
  // folders and AppId. 0 or the Windows error.
  DWORD create(const std::wstring& path, const KnownFolders& folders, std::wstring_view appId);
  // The existing file (made again if it has gone), cut at validLength, numbering going on after
  // recordCount, its records checked against the scope it was read back with. 0 or the Windows
  // error.
  DWORD reopen(const std::wstring& path, uint64_t validLength, int32_t recordCount, const JournalScope& scope);

  // The new record's number, or 0 with the Windows error in *error: ERROR_INVALID_DATA (after the
  // log line "Journal line %d (%s) not written: it would fail the path check") for a record the
  // reader would refuse.
  int32_t append(std::wstring_view kind, const std::vector<std::wstring>& fields,
                 DWORD* error = nullptr);
  // Whether append would take the record as the next one (nothing written, nothing logged).
  bool accepts(std::wstring_view kind, const std::vector<std::wstring>& fields) const;
  // The form the install steps use: raises the write failure for the journal's path on failure,
  // so the change the record describes is never made.
  int32_t appendOrFail(std::wstring_view kind, const std::vector<std::wstring>& fields);

  // Writes the journal to disk once more, with nothing appended: the drive's own log goes with it,
  // so every change made before (deletes included) is durable before the next record can be.
  // 0 or the Windows error.
  DWORD flush();

  void close();
  bool isOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  const std::wstring& path() const { return path_; }
  int32_t recordCount() const { return count_; }

 private:
  // The record the line reads back as, when that is the record given and it passes the check.
  bool readsBackAsGiven(const std::string& line, std::wstring_view kind, const std::vector<std::wstring>& fields,
                        JournalRecord& record) const;

  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::wstring path_;
  JournalScope scope_;
  int32_t count_ = 0;
  uint64_t size_ = 0;    // bytes known to be on disk and whole
  bool broken_ = false;  // a failed append could not be cut back
};

// Absent when no file is at the path; Invalid when it cannot be read (over 64 MiB included) or
// does not parse; Valid otherwise. *error gets the Windows error of a failed read.
JournalState readJournal(const std::wstring& path, JournalImage& image, DWORD* error = nullptr);

// The bytes an append may still use: change records leave this much per record for UNDONE and END.
inline constexpr uint64_t kJournalReservePerRecord = 32;

}  // namespace zs
