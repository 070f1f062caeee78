// The setup role, from the accepted command line to the exit code: every check that can refuse
// the install before anything on the machine changes, then the install itself.
#pragma once

namespace zs {

// Returns the exit code, already passed through finishing the log.
int runInstallRole();

}  // namespace zs
