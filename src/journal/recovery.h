// Start-up recovery: every run of the setup and of the uninstaller settles a journal an earlier
// run left before it does anything else. An open journal is rolled back, a committed one is
// cleaned up, an empty or ended one is deleted, and one that cannot be trusted (unreadable, not
// what this program writes, or naming anything outside its scope) is set aside as
// "install.zsj.bad" with nothing in it acted on. When something that cannot be removed is at that
// name, the next free of "install.zsj.bad1" to "install.zsj.bad9" is used; when none can be used
// the journal stays, unread, and the log names what is in the way (the run then fails when it
// cannot make its own journal there).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "journal/rollback.h"

namespace zs {

class EngineSink;
struct KnownFolders;

enum class Recovery {
  GoOn,        // nothing was left, or what was left is settled
  Incomplete,  // an earlier run's rollback or cleanup could not be finished (or made durable), or
               // its journal could not be reopened; the journal stays for the next start, and
               // this run stops
  AllButHeldFile,  // rolled back but for RollbackOptions::heldFile, which waits; the run goes on,
                   // and calls this again once the program holding the file has ended
};

// Whether {setupdata} holds a journal not yet committed that put `file` there new, so that the
// start's rollback will delete it. An uninstaller that is that file runs its rollback from a copy.
bool rollbackWillDelete(const KnownFolders& folders, const std::wstring& file);

Recovery recoverAtStartup(const KnownFolders& folders, std::wstring_view appId, EngineSink* sink,
                         const RollbackOptions& options = {});

}  // namespace zs
