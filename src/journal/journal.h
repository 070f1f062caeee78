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
