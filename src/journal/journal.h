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
// - Reading back never fails on content: a torn last line is left out (and cut away when the file
//   is reopened for appending); what a record means is judged later by the path check
//   (journal_check.h) and nothing in a journal is acted on before it passes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "journal/journal_format.h"

namespace zs {

class JournalWriter {
 public:
  JournalWriter() = default;
  ~JournalWriter() { close(); }
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // A new file (an existing one makes it fail) with the header, flushed. 0 or the Windows error.
  DWORD create(const std::wstring& path);
  // The existing file (made again if it has gone), cut at validLength, numbering going on after
  // recordCount. 0 or the Windows error.
  DWORD reopen(const std::wstring& path, uint64_t validLength, int32_t recordCount);

  // The new record's number, or 0 with the Windows error in *error.
  int32_t append(std::wstring_view kind, const std::vector<std::wstring>& fields,
                 DWORD* error = nullptr);
  // The form the install steps use: raises the write failure for the journal's path on failure,
  // so the change the record describes is never made.
  int32_t appendOrFail(std::wstring_view kind, const std::vector<std::wstring>& fields);

  void close();
  bool isOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  const std::wstring& path() const { return path_; }
  int32_t recordCount() const { return count_; }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::wstring path_;
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
