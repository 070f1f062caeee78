// The install steps after placing, each called at its place in the transaction through one
// function. Those not built yet write one log line saying so and change nothing; the built ones
// live in their own files, included here.
#pragma once

#include <string>
#include <vector>

#include "install/apps_entry.h"
#include "install/install_run.h"
#include "install/registry_lines.h"
#include "uninstall/uninstall_record.h"

namespace zs {

// [Dirs] folders and first-run files in the signed-in user's folders; releases the block.
void makeFoldersAndFirstRunFiles(InstallRun& run);
void makeShortcuts(InstallRun& run);
void installNativeImages(InstallRun& run);
void checkNativeImages(InstallRun& run);
void warmUp(InstallRun& run);

// Removes the native images of the given assemblies (old version's, before its files go).
void removeNativeImages(InstallRun& run, const std::vector<std::wstring>& assemblies);

}  // namespace zs
