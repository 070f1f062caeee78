// The process entry: hardens library loading, records the start-up folder, reads the switches,
// checks the system libraries, refuses bad switches and hands over to the setup or uninstaller role.
#pragma once

namespace zs {

struct SwitchSet;

// The switch an uninstaller refuses, in the order of precedence it is named in: "/dir=", "/tasks=",
// "/norun"; null when it takes them all.
const wchar_t* refusedUninstallerSwitch(const SwitchSet& s);

// Shows the bad-switch page (unless silent) and finishes the log with the bad-switch exit code.
int refuseBadSwitch(const wchar_t* shown);

// Returns the process exit code, already passed through finishing the log (except the one stop
// that happens before the log exists: Windows too old for safe library loading).
int runProcess();

}  // namespace zs
