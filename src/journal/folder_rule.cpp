// TO BE REPLACED by the install folder rules' own plausibility test (isPlausibleInstallFolder)
// once they are in the tree; until then this is the same lighter rule, written out here.
#include "journal/folder_rule.h"

#include "platform/files.h"
#include "platform/text.h"
#include "script/known_folders.h"
#include "script/paths.h"

namespace zs {

namespace {

std::wstring parentOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool sameAsKnown(const std::wstring& path, const std::wstring& known) {
  return !known.empty() && equalsNoCase(path, known);
}

}  // namespace

bool journalFolderPlausible(const std::wstring& folder, const KnownFolders& f) {
  std::wstring text = trimTrailingSlashes(trimWhite(folder));
  if (text.empty() || !isDrivePath(text) || hasBadPathChars(text) || text.size() <= 3) return false;
  std::wstring path = normalizePath(text);
  if (!f.win.empty() && isSameOrInside(path, f.win)) return false;
  if (sameAsKnown(path, f.pf) || sameAsKnown(path, f.pf32) || sameAsKnown(path, parentOf(f.setupdata)) ||
      sameAsKnown(path, f.userProfiles) || sameAsKnown(path, f.profile) || sameAsKnown(path, f.programs) ||
      sameAsKnown(path, f.desktop)) {
    return false;
  }
  if (f.userFoldersKnown && (sameAsKnown(path, f.docs) || sameAsKnown(path, f.appdata))) return false;
  if (!f.setupdata.empty() && isSameOrInside(path, f.setupdata)) return false;
  if (f.userFoldersKnown && ((!f.docs.empty() && isSameOrInside(path, f.docs + L"\\Zelvan")) ||
                             (!f.appdata.empty() && isSameOrInside(path, f.appdata + L"\\Zelvan")))) {
    return false;
  }
  return !isLink(path);
}

}  // namespace zs
