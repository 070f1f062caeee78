// The install steps after placing, each called at its place in the transaction through one
// function. Those not built yet write one log line saying so and change nothing.
#pragma once

#include <string>
#include <vector>

#include "install/install_run.h"

namespace zs {

// [Dirs] folders and first-run files in the signed-in user's folders; releases the block.
void makeFoldersAndFirstRunFiles(InstallRun& run);
void writeRegistryLines(InstallRun& run);
void makeShortcuts(InstallRun& run);
// ZelvanUninstall.exe comes with the program files; this writes the uninstall record.
void writeUninstallerAndRecord(InstallRun& run);
void writeAppsAndFeaturesEntry(InstallRun& run);
void installNativeImages(InstallRun& run);
void checkNativeImages(InstallRun& run);
void warmUp(InstallRun& run);

// The old install's uninstall record: false with the reason when it cannot be used.
bool readOldUninstallRecord(InstallRun& run, std::wstring& reason);
std::vector<std::wstring> oldRecordNativeImages(const InstallRun& run);
std::vector<std::wstring> oldRecordFiles(const InstallRun& run);
// Removes the native images of the given assemblies (old version's, before its files go).
void removeNativeImages(InstallRun& run, const std::vector<std::wstring>& assemblies);

}  // namespace zs
