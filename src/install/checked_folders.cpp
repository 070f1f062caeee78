#include "install/checked_folders.h"

#include <windows.h>

#include "base/paths.h"
#include "base/text.h"
#include "platform/files.h"

namespace zs {

WayDown CheckedFolders::judge(const std::wstring& path, std::wstring* missing, Unreadable* unreadable) {
  if (missing != nullptr) missing->clear();
  if (equalsNoCase(path, root_)) return WayDown::Clear;
  const std::wstring parent = parentPath(path);
  // Each level from the root itself down to the parent, the root first: a folder is judged before
  // anything below it is looked at.
  size_t end = root_.size();
  for (;;) {
    const std::wstring level = parent.substr(0, end);
    if (real_.count(level) == 0) {
      const DWORD a = GetFileAttributesW(level.c_str());
      if (a == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (!isMissingError(error)) {
          if (unreadable != nullptr) *unreadable = {level, error};
          return WayDown::Unreadable;
        }
        if (missing != nullptr) *missing = level;
        return WayDown::MissingLevel;
      }
      if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && isLink(level)) return WayDown::Link;
      // A file on the way is no link; the path below it cannot exist.
      if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) return WayDown::MissingLevel;
      real_.insert(level);
    }
    if (end >= parent.size()) return WayDown::Clear;
    const size_t slash = parent.find(L'\\', end + 1);
    end = slash == std::wstring::npos ? parent.size() : slash;
  }
}

}  // namespace zs
