// The uninstaller runs from a temporary copy: a running program cannot delete its own file, so the
// installed ZelvanUninstall.exe copies itself into a fresh folder under {setupdata}, starts the
// copy and waits for it; the copy removes everything, the installed uninstaller included, once its
// launcher has ended. The launcher ends with the copy's result, which the copy hands back as soon
// as it is known (launcher_link.h): whoever started the uninstaller and waits for it learns how the
// removal went, not merely that a copy was started.
// The copy and its folder are scheduled for deletion at the next restart as soon as the copy is
// written; the next uninstaller or setup removes those whose program no longer runs. A lock file
// beside the folder, held by the launcher from before the folder exists, keeps a copy that is about
// to start from looking like one of those.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zs {

struct SwitchSet;

// The copy's arguments after its quoted path: " /run=<pid> \"/app=<folder>\" /result=<handle>", the
// launching run's own switch text, so the copy runs as silent as its launcher, and then the
// launcher's log path in its absolute form, so the copy writes the log its launcher was told to.
std::wstring temporaryCopyArguments(uint32_t parentId, const std::wstring& installFolder, const SwitchSet& switches,
                                    uint32_t resultHandle);

// Writes the copy into {setupdata}\un-<32 hex digits>, starts it and waits for its result: the
// number this process then ends with (the copy's exit code, or CopyGaveNoResult when the copy ended
// without one). Nothing when the copy could not be written or started; the caller then runs in place.
std::optional<int32_t> runTemporaryCopy(const SwitchSet& switches, const std::wstring& exePath,
                                        const std::wstring& installFolder);

// The lock file that marks the copy folder as in use while its launcher runs.
std::wstring temporaryCopyLockPath(const std::wstring& copyFolder);

// The copy's file, its folder and the launcher's lock go at the next restart: scheduled by the
// launcher as soon as the copy is written, and again by the copy once its run is over.
void scheduleTemporaryCopyRemoval(const std::wstring& exePath);

// Deletes the un-... folders under {setupdata} (and the copy inside) whose program no process runs
// and whose launcher no longer holds their lock: what copies that were cut short left behind. A
// folder holding anything else stays. Locks that nobody holds any more go too.
void removeStaleTemporaryCopies(const std::wstring& setupData);

}  // namespace zs
