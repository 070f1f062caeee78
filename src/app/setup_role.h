// The setup role, from the accepted command line to the exit code: every check that can refuse
// the install before anything on the machine changes, then the install itself.
#pragma once

namespace zs {

struct WindowsVersion {
  unsigned long major = 0;
  unsigned long minor = 0;
};

// The running Windows' version as RtlGetVersion tells it; 0.0 when it cannot be read.
WindowsVersion windowsVersion();

// Returns the exit code, already passed through finishing the log.
int runInstallRole();

}  // namespace zs
