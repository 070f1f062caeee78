// Plain mode's install window: one window of standard controls for the licence, the folder, the
// tasks and the progress, ending in a message box. It keeps the wizard's UiState (the state
// machine decides; this window only feeds it input and shows it) and drives the install through
// a WorkerLink, so that it can also take over an install that is already running.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/preflight.h"
#include "platform/app_processes.h"
#include "ui/ui_state.h"
#include "ui/worker_link.h"
#include "uninstall/existing_install.h"

namespace zs {
struct KnownFolders;
struct Payload;
}  // namespace zs

namespace zs::ui {

// Runs the window to its end on this thread; returns the run's result code (2 when closed before
// the install starts, 1 when the window cannot be created).
int32_t runPlainWindow(const InstallSources& run, const UiState& state, WorkerLink& link);

// The licence text: decoded from UTF-8, without a byte-order mark.
std::wstring licenseText(const uint8_t* utf8, size_t length);

// Starts the script's first [Run] entry for "finish" as the signed-in user, in the install folder;
// true when it started or there is none.
bool openFinishEntry(const SetupScript& script, const KnownFolders& folders, const std::wstring& folder);

// The licence text as the licence box shows it: decoded from UTF-8, without a byte-order mark,
// with every lone line feed made CR LF.
std::wstring licenseBoxText(const uint8_t* utf8, size_t length);

// Logical units to device pixels.
int scaledUnits(int units, double scale);

// The progress bar's position for a running step: each of the five steps fills a fifth.
int progressPosition(int32_t step, int32_t percent);

// The y of each task check box (logical units), 0 for a task that gets none.
std::vector<int> taskBoxTops(const std::vector<TaskChoice>& tasks);

}  // namespace zs::ui
