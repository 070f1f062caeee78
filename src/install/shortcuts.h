// Start menu and desktop shortcuts. They live outside the install folder, so one that is in the way
// or no longer wanted is never deleted here: it is moved into a numbered folder under
// {setupdata}\bak, from where rollback puts it back and cleanup after the commit deletes it.
#pragma once

#include <cstdint>
#include <string>

#include "install/install_state.h"

namespace zs {

// Creates every chosen shortcut (recorded in run.shortcutsCreated), then, when there is an old
// install, moves aside the shortcuts that are no longer wanted.
void makeShortcuts(InstallRun& run);

// Moves one shortcut into the next free {setupdata}\bak\<n> folder; `counter` is the run's count of
// shortcuts moved aside so far.
void moveShortcutAside(InstallRun& run, const std::wstring& path, uint32_t& counter);

}  // namespace zs
