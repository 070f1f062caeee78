// Path variables and the text rules on paths shared by the script readers, the folder check, the
// journal and the uninstall record. Every comparison is the Windows ordinal ignore-case one.
//
// Portable: everything here but the file-system part of normalizePath works on text only and is
// built natively too (the payload builder checks script paths with the same rules).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zs {

// The nine path variables, lower case, in their canonical order.
inline constexpr std::wstring_view kPathVariables[] = {
    L"app", L"pf", L"pf32", L"programs", L"desktop", L"docs", L"appdata", L"win", L"setupdata"};

// The folders behind the variables for one use: app is this run's install folder, the others
// come from KnownFolders (script/known_folders.h). Names are looked up without regard to case.
class VariableTable {
 public:
  void set(std::wstring_view name, std::wstring_view folder);  // adds or replaces
  const std::wstring* find(std::wstring_view name) const;      // null when not in the table
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::pair<std::wstring, std::wstring>> entries_;
};

// The use-time pass: "{{" -> "{", "}}" -> "}", {name} -> its folder (without a trailing "\").
// An unknown reference, or a "{" without a later "}", stays as written.
std::wstring expandPaths(std::wstring_view value, const VariableTable& table);

// True when value is "{name}" or begins with "{name}\"; rest (if given) receives what follows
// the "\" (empty for the bare variable).
bool isUnderVariable(std::wstring_view value, std::wstring_view name, std::wstring* rest = nullptr);

// Windows limits: a component (the text between two "\") is at most 255 characters, a whole path
// at most 32,767. Longer text is refused before any system call sees it: some file-system calls
// copy a component into a fixed buffer and do not survive a longer one.
inline constexpr size_t kMaxPathComponentChars = 255;
inline constexpr size_t kMaxPathChars = 32767;
// True when path is within both limits ("\" and "/" both separate components).
bool isWithinPathLimits(std::wstring_view path);

// U+0000 to U+001F and U+007F. No path read from stored text may hold one: Windows cuts a path at
// a NUL, so the text that was checked would not be the path that is used.
bool hasControlChar(std::wstring_view text);

// The relative path rule: non-empty components separated by single "\", none "." or "..", none
// ending in "." or a space, none a reserved device name, none over the Windows limits, no "/", ":", control characters, '"',
// "<", ">" or "|"; "*" and "?" only in the last component and only when wildcards are allowed.
bool isRelativePathOk(std::wstring_view path, bool wildcardLastComponent);

// con, prn, aux, nul, com1-com9, lpt1-lpt9, with or without an extension.
bool isReservedDeviceName(std::wstring_view component);

bool hasWildcard(std::wstring_view text);

// "*" matches any run (also empty), "?" one character, others one character without regard to
// case. Runs in time proportional to pattern length times name length at worst.
bool matchWildcard(std::wstring_view pattern, std::wstring_view name);

// The text before the last "\"; empty when there is none.
std::wstring parentPath(std::wstring_view path);

// Removes trailing "\" while the text is longer than 3 characters (C:\ keeps its "\").
std::wstring trimTrailingSlashes(std::wstring_view path);

// The file-system questions normalizePath asks; each returns false when it has no answer.
struct PathQueries {
  std::function<bool(const std::wstring& path, std::wstring& full)> fullPath;
  std::function<bool(const std::wstring& path, std::wstring& longForm)> longPath;
};

// The full path in long-name form without a trailing "\": the part that exists gets the spelling
// on disk, the part that does not stays as given. On Windows it asks the file system; the host
// build resolves "." and ".." as text and keeps the spelling as given.
// Empty for a path that cannot be made full, one beyond the Windows limits (asked of nothing) and
// one holding a control character: never the
// raw text, whose "." and ".." would still be there for a text-only test to be fooled by.
std::wstring normalizePath(std::wstring_view path);
// The same with the file-system questions supplied by the caller (tests, other platforms).
std::wstring normalizePathWith(std::wstring_view path, const PathQueries& queries);

// Whole-component containment on text; callers normalise both sides first.
bool isInside(std::wstring_view path, std::wstring_view folder);
bool isSameOrInside(std::wstring_view path, std::wstring_view folder);

// A drive letter, ":" and "\" at the start ("C:\" alone qualifies).
bool isDrivePath(std::wstring_view path);

// For absolute paths typed by a user or read from a record: true when the path holds a character
// or component that no folder may have, or is beyond the Windows limits.
bool hasBadPathChars(std::wstring_view path);

}  // namespace zs
