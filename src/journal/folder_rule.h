// Whether a folder read back from a journal is plausible as an install folder.
#pragma once

#include <string>

namespace zs {

struct KnownFolders;

bool journalFolderPlausible(const std::wstring& folder, const KnownFolders& folders);

}  // namespace zs
