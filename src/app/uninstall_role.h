// The uninstaller role, from the accepted command line to the exit code: the hand-over to the
// temporary copy (whose result the launcher ends with), the uninstall run with its front end (the
// drawn window, message boxes, or none when silent), and the temporary copy's own removal at the
// next restart.
#pragma once

namespace zs {

// Returns the exit code, already passed through finishing the log.
int runUninstallRole();

}  // namespace zs
