// The setup's own data folder, {setupdata}: "ZelvanSetup" under ProgramData. It holds the log files,
// the journal, {setupdata}\bak for old shortcuts and the uninstaller's temporary copies.
//
// Rollback and cleanup act with administrator rights on whatever the journal there names, so the
// folder must be one no other account could have prepared or changed. A folder at its place that
// is not ours (a link, a file, or a folder whose owner or access list lets another account change
// it) is never read from, written to or deleted: it is renamed aside (".bad-" and a number) and a
// fresh, protected folder is made when one is needed.
#pragma once

#include <string>

namespace zs {

// The folder's path (not checked, not created); empty if ProgramData cannot be found.
std::wstring setupDataPath();

// True when the folder is absent or ours, or was not ours and has been renamed away; false when
// it is not ours and stays.
bool checkSetupData(const std::wstring& folder);

// Makes sure the folder exists, is ours and carries the protecting descriptor.
bool prepareSetupDataAt(const std::wstring& folder);

// The same for the process's {setupdata}; returns its path. False: nothing may be put there.
bool prepareSetupData(std::wstring& folder);

}  // namespace zs
