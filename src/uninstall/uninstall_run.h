// The uninstaller's run: finds the install through its Apps & Features entry, trusts the uninstall
// record only when it matches the entry, makes sure Zelvan is not running, and then removes what
// the record names in three reported steps (native images; shortcuts and registry lines; files,
// folders and the entry).
//
// Unlike the install this is not a transaction. Every removal is idempotent, so a run that is cut
// short anywhere is finished by running the uninstaller again: a removal that already happened
// counts as done. What cannot go now (a file in use) is scheduled for the next restart; nothing a
// single removal meets stops the run. The front end (uninstall::Ui, null when silent) is the only
// thing the run talks to; it never touches a window itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/exit_code.h"
#include "platform/registry.h"

namespace zs {

struct KnownFolders;
struct SwitchSet;
class LauncherLink;

namespace uninstall {
class Ui;
}

// How an uninstall run ended.
struct UninstallEnd {
  UninstallExit exit = UninstallExit::Removed;
  // Everything went but what the next restart removes (a file in use, the running uninstaller):
  // such a run ends with /restartexitcode='s number when one was given.
  bool restartPending = false;
};

// The number the process ends with.
int32_t exitNumber(const UninstallEnd& end, const SwitchSet& switches);

// The setup's own Apps & Features entry, "{AppId}" under HKLM's Uninstall key.
struct AppsEntry {
  bool found = false;
  RegView view = RegView::View64;
  std::wstring location;  // InstallLocation as stored; empty when missing
};

// The view the install writes its entry in first, then (64-bit Windows) the other one; the first
// view that has the key wins.
AppsEntry findOwnAppsEntry();

// Whether a removal may touch `path`: no link in any folder from `base` down to the path, nor at
// the path itself. A path whose folder lies outside `base` passes only when that folder is `base`
// or does not exist.
// The drive root of `base` is where the walk starts: no folder above `base` may be a link either.
bool mayTouchPath(const std::wstring& base, const std::wstring& path);

// True when no folder from the drive's root down to `path`, nor `path` itself, is a link; false for
// a path that does not start with a drive.
bool noLinkFromDriveRoot(const std::wstring& path);

// An uninstall cut short after its entry went leaves the record, the uninstaller and the folder. With
// no entry in either view, the folder an uninstaller may still finish: the copy's /app= hint (it only
// names where to look) or the running uninstaller's own folder, when that folder holds a record that
// reads well and whose app line is that very folder. Empty when there is none.
std::wstring cutShortInstallFolder(const SwitchSet& switches, const std::wstring& exePath,
                                   const KnownFolders& folders);

// Removes what such an uninstall left: the record, the uninstaller (scheduled for the next restart
// when it is the running one) and the folder once empty; nothing else the record names. A launcher
// that waits is told the result before its file is deleted.
UninstallEnd finishCutShortUninstall(const SwitchSet& switches, const std::wstring& exePath,
                                     const std::wstring& folder, uninstall::Ui* ui, LauncherLink* launcher = nullptr);

// Started from the install folder (or from the folder of an uninstall cut short after its entry
// went), the uninstaller hands the run to a temporary copy and waits for it: the number returned is
// the one this process ends with. Nothing when this process runs the uninstall itself: it is a copy,
// it lies elsewhere, or the copy could not be started.
std::optional<int32_t> runFromTemporaryCopy(const SwitchSet& switches, const std::wstring& exePath);

// Runs the whole uninstall; `exePath` is the running executable's full path. The launcher, when one
// waits for this copy, is told the result as soon as it is known.
UninstallEnd runUninstall(const SwitchSet& switches, const std::wstring& exePath, uninstall::Ui* ui,
                          LauncherLink& launcher);

}  // namespace zs
