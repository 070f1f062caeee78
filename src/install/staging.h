// Staging: before any existing file of the application is touched, every new program file is
// decompressed, checked against its own SHA-256 and written out in full to a hidden staging folder
// inside the install folder. Placing then only moves finished, verified files into place.
#pragma once

#include <string>
#include <vector>

#include "install/install_run.h"

namespace zs {

// Refuses a link at the install folder, creates what is missing of it (protected outside Program
// Files), refuses a custom folder that other accounts can change, and makes the staging folder.
void prepareInstallFolder(InstallRun& run);

// Decompresses the block once into memory and writes every program file into the staging folder.
void stageProgramFiles(InstallRun& run);

// The old version's native images go before its files are replaced (reads the old uninstall record
// first, which also decides where the old file list comes from).
void removeOldNativeImages(InstallRun& run);

// The old version's program files, relative to the old install folder.
std::vector<std::wstring> oldProgramFiles(const InstallRun& run);

// The [Legacy] File list with its wildcard entries expanded against the old install folder.
std::vector<std::wstring> expandLegacyFiles(const std::vector<std::wstring>& entries, const std::wstring& oldFolder);

// Creates a folder and every missing parent, each after its DIRNEW record, with the protected
// descriptor when asked. A drive root is never created.
void createFoldersWithJournal(InstallRun& run, const std::wstring& folder, bool protect);

}  // namespace zs
