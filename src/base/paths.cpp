#include "base/paths.h"

#include "base/braces.h"
#include "base/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zs {

void VariableTable::set(std::wstring_view name, std::wstring_view folder) {
  for (auto& entry : entries_) {
    if (equalsNoCase(entry.first, name)) {
      entry.second.assign(folder);
      return;
    }
  }
  entries_.emplace_back(std::wstring(name), std::wstring(folder));
}

const std::wstring* VariableTable::find(std::wstring_view name) const {
  for (const auto& entry : entries_) {
    if (equalsNoCase(entry.first, name)) return &entry.second;
  }
  return nullptr;
}

std::wstring expandPaths(std::wstring_view value, const VariableTable& table) {
  std::wstring out;
  out.reserve(value.size());
  size_t i = 0;
  while (i < value.size()) {
    const BracePiece piece = scanBraces(value, i);
    if (piece.token == BraceToken::DoubledOpen || piece.token == BraceToken::DoubledClose) {
      out.push_back(value[i]);
    } else if (piece.token == BraceToken::Reference && table.find(piece.name) != nullptr) {
      out.append(*table.find(piece.name));
    } else {
      // Any other brace stays as written, and an unknown name is read on as plain text.
      out.push_back(value[i]);
      ++i;
      continue;
    }
    i += piece.length;
  }
  return out;
}

bool isUnderVariable(std::wstring_view value, std::wstring_view name, std::wstring* rest) {
  const size_t len = name.size() + 2;
  if (value.size() < len || value[0] != L'{' || value[len - 1] != L'}' ||
      !equalsNoCase(value.substr(1, name.size()), name)) {
    return false;
  }
  if (value.size() == len) {
    if (rest != nullptr) rest->clear();
    return true;
  }
  if (value[len] != L'\\') return false;
  if (rest != nullptr) rest->assign(value.substr(len + 1));
  return true;
}

bool isReservedDeviceName(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  // Windows ignores blanks before the extension when it looks for a device ("nul .txt").
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  if (equalsNoCase(base, L"con") || equalsNoCase(base, L"prn") || equalsNoCase(base, L"aux") ||
      equalsNoCase(base, L"nul")) {
    return true;
  }
  if (base.size() != 4) return false;
  if (!startsWithNoCase(base, L"com") && !startsWithNoCase(base, L"lpt")) return false;
  wchar_t d = base[3];
  // Windows also treats the superscript digits one to three as port numbers.
  return (d >= L'1' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
}

bool hasControlChar(std::wstring_view text) {
  for (wchar_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool isWithinPathLimits(std::wstring_view path) {
  if (path.size() > kMaxPathChars) return false;
  size_t run = 0;
  for (wchar_t c : path) {
    run = (c == L'\\' || c == L'/') ? 0 : run + 1;
    if (run > kMaxPathComponentChars) return false;
  }
  return true;
}

bool hasWildcard(std::wstring_view text) { return text.find_first_of(L"*?") != std::wstring_view::npos; }

bool isRelativePathOk(std::wstring_view path, bool wildcardLastComponent) {
  if (path.empty() || path.front() == L'\\') return false;
  if (path.find_first_of(L"/:") != std::wstring_view::npos || hasControlChar(path)) return false;
  if (!isWithinPathLimits(path)) return false;
  size_t start = 0;
  while (true) {
    size_t cut = path.find(L'\\', start);
    bool last = cut == std::wstring_view::npos;
    std::wstring_view comp = path.substr(start, last ? std::wstring_view::npos : cut - start);
    if (comp.empty() || comp.back() == L'.' || comp.back() == L' ') return false;  // also "." and ".."
    if (isReservedDeviceName(comp)) return false;
    for (wchar_t c : comp) {
      if (c == L'"' || c == L'<' || c == L'>' || c == L'|') return false;
      if ((c == L'*' || c == L'?') && !(last && wildcardLastComponent)) return false;
    }
    if (last) return true;
    start = cut + 1;
  }
}

bool matchWildcard(std::wstring_view pattern, std::wstring_view name) {
  // Greedy matching that falls back to the last "*" seen: when a later part fails, the last star
  // takes one more character. Earlier stars never need to change, because the last star can
  // absorb anything they would have. At most pattern length times name length steps.
  auto same = [](wchar_t a, wchar_t b) {
    return a == b || equalsNoCase(std::wstring_view(&a, 1), std::wstring_view(&b, 1));
  };
  size_t p = 0, n = 0;
  size_t starP = std::wstring_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      while (p < pattern.size() && pattern[p] == L'*') ++p;
      if (p == pattern.size()) return true;
      starP = p;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == L'?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::wstring_view::npos) {
      p = starP;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

std::wstring parentPath(std::wstring_view path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, slash));
}

std::wstring trimTrailingSlashes(std::wstring_view path) {
  while (path.size() > 3 && path.back() == L'\\') path.remove_suffix(1);
  return std::wstring(path);
}

std::wstring normalizePathWith(std::wstring_view path, const PathQueries& queries) {
  if (path.empty() || hasControlChar(path) || !isWithinPathLimits(path)) return {};
  std::wstring full;
  if (!queries.fullPath || !queries.fullPath(std::wstring(path), full) || full.empty()) return {};
  // A relative path joined to the current folder may have grown past the limits.
  if (!isWithinPathLimits(full)) return {};
  full = trimTrailingSlashes(full);

  std::wstring current = full;
  std::wstring tail;
  while (true) {
    std::wstring longForm;
    if (queries.longPath && queries.longPath(current, longForm) && !longForm.empty()) {
      longForm = trimTrailingSlashes(longForm);
      if (tail.empty()) return longForm;
      if (longForm.back() != L'\\') longForm.push_back(L'\\');
      return longForm + tail;
    }
    // Go up one folder; the "\" must stand at the third character or later (after "C:").
    size_t cut = current.rfind(L'\\');
    if (cut == std::wstring::npos || cut < 2 || current.size() <= 3) return full;
    std::wstring part = current.substr(cut + 1);
    tail = tail.empty() ? part : part + L"\\" + tail;
    current.resize(cut == 2 ? 3 : cut);
  }
}

namespace {

#ifdef _WIN32
bool windowsFullPath(const std::wstring& path, std::wstring& full) {
  DWORD size = MAX_PATH;
  for (int attempt = 0; attempt < 4; ++attempt) {
    full.assign(size, L'\0');
    DWORD n = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (n == 0) return false;
    if (n < size) {
      full.resize(n);
      return true;
    }
    size = n;
  }
  return false;
}

// GetLongPathNameW expands short names but keeps the case of names that are already long, so
// each component of a drive path takes the spelling its folder listing gives.
void takeSpellingOnDisk(std::wstring& path) {
  if (!isDrivePath(path) || path.find_first_of(L"*?") != std::wstring::npos) return;
  if (path[0] >= L'a' && path[0] <= L'z') path[0] = static_cast<wchar_t>(path[0] - (L'a' - L'A'));
  size_t start = 3;
  while (start < path.size()) {
    size_t cut = path.find(L'\\', start);
    size_t end = cut == std::wstring::npos ? path.size() : cut;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(path.substr(0, end).c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;
    FindClose(find);
    std::wstring_view onDisk = data.cFileName;
    if (onDisk.size() == end - start && equalsNoCase(onDisk, std::wstring_view(path).substr(start, end - start))) {
      path.replace(start, end - start, onDisk);
    }
    start = end + 1;
  }
}

bool windowsLongPath(const std::wstring& path, std::wstring& longForm) {
  DWORD size = MAX_PATH;
  for (int attempt = 0; attempt < 4; ++attempt) {
    longForm.assign(size, L'\0');
    DWORD n = GetLongPathNameW(path.c_str(), longForm.data(), size);
    if (n == 0) return false;
    if (n < size) {
      longForm.resize(n);
      takeSpellingOnDisk(longForm);
      return true;
    }
    size = n;
  }
  return false;
}
#else
// Without a Windows file system: "." and ".." are resolved as text below the root, and the
// spelling stays as given.
bool textualFullPath(const std::wstring& path, std::wstring& full) {
  size_t rootLen = 0;
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    rootLen = 3;
  } else if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    rootLen = 2;
  } else {
    return false;
  }
  std::vector<std::wstring_view> parts;
  std::wstring_view rest = std::wstring_view(path).substr(rootLen);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t cut = rest.find(L'\\', start);
    std::wstring_view comp = rest.substr(start, cut == std::wstring_view::npos ? std::wstring_view::npos : cut - start);
    if (comp == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!comp.empty() && comp != L".") {
      parts.push_back(comp);
    }
    if (cut == std::wstring_view::npos) break;
    start = cut + 1;
  }
  full.assign(path.substr(0, rootLen));
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full.push_back(L'\\');
    full.append(parts[i]);
  }
  return true;
}
#endif

}  // namespace

std::wstring normalizePath(std::wstring_view path) {
  PathQueries queries;
#ifdef _WIN32
  queries.fullPath = windowsFullPath;
  queries.longPath = windowsLongPath;
#else
  queries.fullPath = textualFullPath;
  queries.longPath = [](const std::wstring& p, std::wstring& out) {
    out = p;
    return true;
  };
#endif
  return normalizePathWith(path, queries);
}

bool isInside(std::wstring_view path, std::wstring_view folder) {
  if (folder.empty()) return false;
  std::wstring prefix(folder);
  if (prefix.back() != L'\\') prefix.push_back(L'\\');
  return path.size() > prefix.size() && startsWithNoCase(path, prefix);
}

bool isSameOrInside(std::wstring_view path, std::wstring_view folder) {
  // An unknown (empty) folder contains nothing, not even an empty path.
  if (folder.empty()) return false;
  return equalsNoCase(path, folder) || isInside(path, folder);
}

bool isDrivePath(std::wstring_view path) {
  if (path.size() <= 2) return false;
  wchar_t d = path[0];
  bool letter = (d >= L'a' && d <= L'z') || (d >= L'A' && d <= L'Z');
  return letter && path[1] == L':' && path[2] == L'\\';
}

bool hasBadPathChars(std::wstring_view path) {
  if (hasControlChar(path) || !isWithinPathLimits(path)) return true;
  for (size_t i = 0; i < path.size(); ++i) {
    wchar_t c = path[i];
    if (c == L'"' || c == L'*' || c == L'<' || c == L'>' || c == L'?' || c == L'|') return true;
    if (c == L':' && i >= 2) return true;
  }
  return path.size() > 3 && !isRelativePathOk(path.substr(3), false);
}

}  // namespace zs
