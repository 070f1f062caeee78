// Placing: the install folder comes to hold exactly the new version's files while every old file
// stays recoverable until the commit. Pending deletes of the targets are cancelled (PENDGONE), old
// and replaced files are moved aside into hidden backup folders beside them (MOVE), and each staged
// file is moved to its place (PUT). Nothing is deleted here: cleanup after the commit removes the
// backup folders, or rollback moves their files back.
#pragma once

#include <string>

#include "install/install_state.h"

namespace zs {

// Takes the run's new targets off the list of deletes Windows carries out at the next restart.
void cancelPendingDeletes(InstallRun& run);

// Cancels pending deletes, then leaves files that are already right in place and moves every
// other old or existing file at a target aside. The copying step shows 94 percent.
void clearTargets(InstallRun& run);

// Moves each staged file to its place, the moves on a thread of their own behind the records
// (install/placing_mover.h). The copying step shows 98 percent.
void placeFiles(InstallRun& run);

// Moves one existing file into the backup folder beside it, with ten tries while it is in use and
// the front end's question after them. Also used by later steps for files they replace.
void moveAside(InstallRun& run, const std::wstring& path);

// Whether the file's content has the entry's SHA-256; an unreadable file does not match.
bool fileMatches(const std::wstring& path, const FileEntry& entry);

}  // namespace zs
