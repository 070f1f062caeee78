// The uninstaller runs from a temporary copy: a running program cannot delete its own file, so the
// installed ZelvanUninstall.exe copies itself into a fresh folder under {setupdata}, starts the
// copy and ends; the copy waits for it and removes everything, the installed uninstaller included.
// After its run the copy schedules itself and its folder for deletion at the next restart.
#pragma once

#include <cstdint>
#include <string>

namespace zs {

struct SwitchSet;

// The copy's arguments after its quoted path: " /run=<pid> \"/app=<folder>\"" and the launching
// run's own switch text, so the copy runs as silent (and with the same log) as its launcher.
std::wstring temporaryCopyArguments(uint32_t parentId, const std::wstring& installFolder,
                                    const std::wstring& switchText);

// Writes the copy into {setupdata}\un-<32 hex digits> and starts it detached; false when any of
// that fails (the caller then runs in place).
bool startTemporaryCopy(const SwitchSet& switches, const std::wstring& exePath, const std::wstring& installFolder);

// A temporary copy removes its own file and folder at the next restart, once its run is over.
void scheduleTemporaryCopyRemoval(const std::wstring& exePath);

}  // namespace zs
