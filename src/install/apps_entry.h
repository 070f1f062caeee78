// The Apps & Features entry: registers the install with Windows' list of programs, so that the
// user can remove Zelvan from there, and keeps what the next setup and the uninstaller need: the
// install folder, the chosen tasks, the file version and the SHA-256 that binds the uninstall
// record to this entry. Every value goes through the journalled registry writer, so rollback
// restores the previous entry (or removes the new one) value by value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/install_state.h"

namespace zs {

// "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{AppId}" below HKLM.
std::wstring appsEntryKey(const SetupScript& script);

// The program files' sizes added up, in KiB rounded down (low 32 bits).
uint32_t estimatedSizeKiB(const std::vector<const FileEntry*>& files);

// The step: writes every value of the entry in its fixed order (HKLM, native view).
void writeAppsAndFeaturesEntry(InstallRun& run);

}  // namespace zs
