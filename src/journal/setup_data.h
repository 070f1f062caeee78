// The setup's own data folder, {setupdata}: "ZelvanSetup" under ProgramData. It holds the log files,
// the journal and the uninstaller's temporary copies.
#pragma once

#include <string>

namespace zs {

// The folder's path (not checked, not created); empty if ProgramData cannot be found.
std::wstring setupDataPath();

// Makes sure the folder exists and may be used; returns its path. False: nothing may be put there.
bool prepareSetupData(std::wstring& folder);

}  // namespace zs
