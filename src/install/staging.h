// Staging: before any existing file of the application is touched, every new program file is
// decompressed, checked against its own SHA-256 and written out in full to a hidden staging folder
// inside the install folder. Placing then only moves finished, verified files into place.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "install/install_state.h"

namespace zs {

// Refuses a link at the install folder, creates what is missing of it (protected outside Program
// Files), refuses a custom folder that other accounts can change, and makes the staging folder.
void prepareInstallFolder(InstallRun& run);

// Decompresses the block once into memory and writes every program file into the staging folder.
void stageProgramFiles(InstallRun& run);

// The copying step's percent while staging: decoding the block and writing the files count alike,
// byte for byte, so that the bar moves while a large chunk is decoded; 90 once every program file
// is written (and when there is nothing to do).
int32_t stagingPercent(uint64_t decoded, uint64_t blockSize, uint64_t staged, uint64_t filesSize);

// A range of the block: [first, second).
using BlockRange = std::pair<uint64_t, uint64_t>;

// The runs of whole pages in [from, end) that hold no byte of a seed file: what staging gives back
// once every program file below `end` is staged. `from` is a multiple of `page`; `seeds` are the
// seed files' ranges in block order.
std::vector<BlockRange> pagesWithoutSeeds(const std::vector<BlockRange>& seeds, uint64_t from, uint64_t end,
                                          uint64_t page);

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

// Makes what an existing file is about to be moved into durable first: the folder's name in its
// parent (journal.h, durability rule 1). A move aside that outlived its folder's creation would
// lose the old file with the folder. Raises the write failure when the flush fails.
void makeFolderDurable(const std::wstring& folder);

}  // namespace zs
