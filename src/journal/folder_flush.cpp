#include "journal/folder_flush.h"

#include "base/paths.h"
#include "base/text.h"
#include "journal/record_kinds.h"
#include "platform/files.h"

namespace zs {

void FolderFlushes::add(const std::wstring& folder) {
  std::wstring path = normalizePath(folder);
  if (path.empty()) return;
  for (const std::wstring& known : folders_) {
    if (equalsNoCase(known, path)) return;
  }
  folders_.push_back(std::move(path));
}

void FolderFlushes::addParentOf(const std::wstring& path) { add(parentPath(normalizePath(path))); }

FlushFailure FolderFlushes::flush() const {
  FlushFailure first;
  for (std::wstring folder : folders_) {
    while (!folder.empty() && !isDirectory(folder)) {
      std::wstring up = parentPath(folder);
      folder = up.size() < folder.size() ? up : std::wstring();
    }
    DWORD error = 0;
    if (folder.empty() || isLink(folder) || flushFolderToDisk(folder, &error)) continue;
    if (!first.failed()) first = FlushFailure{folder, error};
  }
  return first;
}

FolderFlushes foldersNamedBy(const JournalImage& image) {
  using namespace journal_kind;
  FolderFlushes folders;
  for (const JournalRecord& r : image.records) {
    if ((r.kind == kPut || r.kind == kDirNew || r.kind == kSeedNew || r.kind == kStage) && !r.fields.empty())
      folders.addParentOf(r.fields[0]);
  }
  return folders;
}

}  // namespace zs
