// Making a journal's registry changes durable before the journal says they are done.
//
// Windows writes registry changes to disk some seconds after they are made, unless the hive is
// flushed; file changes made through the journal are flushed at once. Without a flush, a power cut
// just after COMMIT (or after a rolled-back journal is deleted) could keep every file change and
// lose their registry half: a half-installed PC with no journal left to put it right.
//
// Nothing here logs: a flush that fails comes back with its key and Windows error, and the caller,
// which knows whether the run may go on (journal.h, durability rules 4 to 8), logs it once.
#pragma once

#include <windows.h>

#include <string>

#include "journal/journal_format.h"

namespace zs {

// The first key (or folder, folder_flush.h) whose flush failed; empty when every flush succeeded.
struct FlushFailure {
  std::wstring key;
  DWORD error = 0;
  bool failed() const { return !key.empty(); }
};

// Flushes the hive of every key the journal's records name (each in its own view), the restart
// list's key (records take deletes off it, and cleanup puts deletes on it), and the Apps &
// Features entries its cleanup removes. Each key is flushed once; the flushes go on after a
// failure, and the first failure is returned.
FlushFailure flushJournalRegistry(const JournalImage& image);

enum class KeyFlush { NoKey, Flushed, Failed };
// The same for the one key a record changes.
KeyFlush flushRecordKey(const JournalRecord& record, FlushFailure& failure);

}  // namespace zs
