// The uninstaller runs from a temporary copy: a running program cannot delete its own file, so the
// installed ZelvanUninstall.exe copies itself into a fresh folder under {setupdata}, starts the
// copy and ends; the copy waits for it and removes everything, the installed uninstaller included.
// The copy and its folder are scheduled for deletion at the next restart as soon as the copy is
// written; the next uninstaller or setup removes those whose program no longer runs.
#pragma once

#include <cstdint>
#include <string>

namespace zs {

struct SwitchSet;

// The copy's arguments after its quoted path: " /run=<pid> \"/app=<folder>\"", the launching run's
// own switch text, so the copy runs as silent as its launcher, and then the launcher's log path in
// its absolute form, so the copy writes the log its launcher was told to.
std::wstring temporaryCopyArguments(uint32_t parentId, const std::wstring& installFolder, const SwitchSet& switches);

// Writes the copy into {setupdata}\un-<32 hex digits> and starts it detached; false when any of
// that fails (the caller then runs in place).
bool startTemporaryCopy(const SwitchSet& switches, const std::wstring& exePath, const std::wstring& installFolder);

// The copy's file and folder go at the next restart: scheduled by the launcher as soon as the copy
// is written, and again by the copy once its run is over.
void scheduleTemporaryCopyRemoval(const std::wstring& exePath);

// Deletes the un-... folders under {setupdata} (and the copy inside) whose program no process runs:
// what copies that were cut short left behind. A folder holding anything else stays.
void removeStaleTemporaryCopies(const std::wstring& setupData);

}  // namespace zs
