// Making a journal's registry changes durable before the journal says they are done.
//
// Windows writes registry changes to disk some seconds after they are made, unless the hive is
// flushed; file changes made through the journal are flushed at once. Without a flush, a power cut
// just after COMMIT (or after a rolled-back journal is deleted) could keep every file change and
// lose their registry half: a half-installed PC with no journal left to put it right.
#pragma once

#include "journal/journal_format.h"

namespace zs {

// Flushes the hive of every key the journal's records name (each in its own view), the restart
// list's key when a record took a delete off it, and the Apps & Features entries its cleanup
// removes. Each key is flushed once. A flush that fails is logged with the Windows error; the
// caller goes on, as the change itself was made.
void flushJournalRegistry(const JournalImage& image);

// The same for the one key a record changes; false when the record names none.
bool flushRecordKey(const JournalRecord& record);

}  // namespace zs
