// The folders of the install folder that one step of the run has already judged to be real
// folders and not links, so that the step asks Windows about each folder once rather than once for
// every file below it.
//
// Why a judgement may be kept for the rest of the step: the install folder is either under Program
// Files or a folder this run protected and found that no other account can change (its parents
// included). So while the step runs, only an administrator or this run can put a link where a
// folder stood, and this run only ever makes real folders. A judgement is never carried from one
// step to the next, and nothing outside the install folder is remembered: those paths are judged
// afresh each time, as the plain link test does.
//
// The answer is the plain test's (findLink's InPath) for any path below the root: a link at the
// root or at a folder between it and the path's parent. A level that cannot be read is refused as
// a link would be, but answered as what it is, so that the log can say so with the Windows error;
// a missing level ends the walk, since nothing below it can be a link yet.
#pragma once

#include <string>

#include "install/install_state.h"

namespace zs {

enum class WayDown {
  Clear,         // every folder on the way exists and none is a link
  MissingLevel,  // none is a link, and a folder on the way (so the path as well) does not exist
  Link,          // a link stands on the way
  Unreadable,    // a folder on the way cannot be read (so it cannot be told from a link)
};

class CheckedFolders {
 public:
  explicit CheckedFolders(std::wstring root) : root_(std::move(root)) {}

  // The way from the root down to the parent of `path`, which lies inside the root. With
  // MissingLevel, `missing` (when given) is the top-most folder on the way that does not exist, or
  // empty when what stops the way is a file. With Unreadable, `unreadable` (when given) receives
  // the folder and the Windows error of the attempt to read it.
  struct Unreadable {
    std::wstring folder;
    unsigned long error = 0;
  };
  WayDown judge(const std::wstring& path, std::wstring* missing = nullptr, Unreadable* unreadable = nullptr);

  // Whether the folder was judged real in this step (so it exists and needs no creating).
  bool knownReal(const std::wstring& folder) const { return real_.count(folder) != 0; }

 private:
  std::wstring root_;
  NoCaseSet real_;
};

}  // namespace zs
