// The process exit codes of both roles. Administrators' scripts read them, so a number, once given,
// never changes meaning.
#pragma once

#include <cstdint>
#include <optional>

namespace zs {

// The setup's.
enum class ExitCode : int32_t {
  Installed = 0,           // installed, repaired or upgraded
  Failed = 1,              // failed and everything was put back; also: a system library is missing
  Cancelled = 2,           // everything was put back
  NoDotNet = 3,
  WindowsTooOld = 4,
  NewerInstalled = 5,
  BadSwitch = 6,           // or an unknown task
  AppRunning = 7,          // Zelvan is running and was not closed (silent)
  FolderRefused = 8,       // silent
  Damaged = 9,             // no payload, or a damaged one
  RollbackIncomplete = 10, // run the setup again to finish putting things back
  MsiCopy = 11,            // an older Windows Installer copy is present
  OtherSetup = 12,         // another setup or uninstaller is running
};

// The uninstaller's.
enum class UninstallExit : int32_t {
  Removed = 0,             // or, from the install folder: the temporary copy took over
  Incomplete = 1,          // nothing removed, or something waits for the next restart
  Declined = 2,            // the user said no
  BadSwitch = 6,
  AppRunning = 7,
  RecoveryIncomplete = 10, // an interrupted install could not be put back; nothing was removed
  OtherSetup = 12,
  CopyGaveNoResult = 13,   // from the install folder: the temporary copy ended without telling its result
};

constexpr int32_t exitNumber(ExitCode code) { return static_cast<int32_t>(code); }
constexpr int32_t exitNumber(UninstallExit code) { return static_cast<int32_t>(code); }

// The number a run ends with. One that did its work but left some of it to the next restart (a file
// in use, deleted or replaced then) ends with the number /restartexitcode= gave, when it gave one:
// for the setup that is an install that would end with 0; for the uninstaller a removal that is
// complete but for what the restart removes, which would end with 0 or 1 (the caller passes
// restartPending only then).
constexpr int32_t exitNumber(ExitCode code, bool restartPending, std::optional<int32_t> restartExitCode) {
  return code == ExitCode::Installed && restartPending && restartExitCode ? *restartExitCode : exitNumber(code);
}
constexpr int32_t exitNumber(UninstallExit code, bool restartPending, std::optional<int32_t> restartExitCode) {
  const bool removed = code == UninstallExit::Removed || code == UninstallExit::Incomplete;
  return removed && restartPending && restartExitCode ? *restartExitCode : exitNumber(code);
}

}  // namespace zs
