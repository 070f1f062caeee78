// The install's side of the uninstall record: the step that writes this install's record beside
// the uninstaller, and what the install reads from the old install's record. The record's format
// and its reading belong to the uninstaller (uninstall/uninstall_record.h).
#pragma once

#include <string>
#include <vector>

#include "install/install_state.h"
#include "uninstall/uninstall_record.h"

namespace zs {

// The install step after the shortcuts: builds this install's record, writes it beside the
// uninstaller through a temporary file (any file already at either place is moved aside first, so
// rollback restores it), and leaves its SHA-256 in the run for the Apps & Features entry.
void writeUninstallerAndRecord(InstallRun& run);

// The old install's record from the old folder, kept in the run: false with the reason when it
// cannot be used.
bool readOldUninstallRecord(InstallRun& run, std::wstring& reason);
std::vector<std::wstring> oldRecordNativeImages(const InstallRun& run);
std::vector<std::wstring> oldRecordFiles(const InstallRun& run);

// The folders of the install folder this install keeps (relative): its files' folders and its
// [Dirs] folders there. An upgrade in place removes the old install's other folders once emptied.
std::vector<std::wstring> keptProgramDirs(const InstallRun& run);

// The record of an install, as the step writes it (without touching the machine, except that the
// old record's keys are kept only while they still exist).
UninstallRecord buildUninstallRecord(const InstallRun& run);

}  // namespace zs
