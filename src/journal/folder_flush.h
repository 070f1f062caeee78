// Making the names a run made, moved or deleted durable (journal.h, durability rules 4 to 8): a
// file's flush keeps its bytes, and only its folder's flush keeps its name in that folder.
//
// Nothing here logs; the first flush that fails comes back, and the caller decides and logs it.
#pragma once

#include <string>
#include <vector>

#include "journal/journal_format.h"
#include "journal/registry_flush.h"

namespace zs {

// A set of folders to flush, each once (compared without regard to case).
class FolderFlushes {
 public:
  void add(const std::wstring& folder);
  // The folder that holds the path's name.
  void addParentOf(const std::wstring& path);
  // Flushes each folder; one that has gone is flushed through its nearest existing parent, which
  // holds the name of what went. Goes on after a failure and returns the first.
  FlushFailure flush() const;
  bool empty() const { return folders_.empty(); }

 private:
  std::vector<std::wstring> folders_;
};

// The folders that hold the names an install's records made: each placed file's, each new
// folder's, each first-run file's, and the staging folder's (whose removal must be durable too).
FolderFlushes foldersNamedBy(const JournalImage& image);

}  // namespace zs
