#include "script/install_folder.h"

#include <windows.h>

#include "platform/files.h"
#include "platform/security.h"
#include "base/text.h"
#include "base/paths.h"

namespace zs {
namespace {

constexpr const wchar_t* kMessages[] = {
    L"",
    L"Choose a folder to install to.",
    L"Enter a full folder path, such as C:\\Program Files\\Zelvan.",
    L"A folder name can't contain * ? \" < > |",
    L"That folder path is too long. Choose a shorter one.",
    L"Zelvan can't be installed there. Choose another folder.",
    L"That drive isn't available. Choose another folder.",
    L"That's where Zelvan keeps your projects. Choose another folder.",
    L"",  // the free-space sentence names the drive and the size
    L"That's a file, not a folder. Choose a folder.",
};

FolderVerdict refuse(FolderRefusal code) { return FolderVerdict{code, kMessages[static_cast<int32_t>(code)]}; }

// Why the text after the drive root cannot name a folder, in the sentence that says so; empty when
// it can. Asked only after the length rule, so no component is over the Windows limit here.
const wchar_t* nameFault(std::wstring_view path) {
  const wchar_t* badCharacters = kMessages[static_cast<int32_t>(FolderRefusal::BadCharacters)];
  if (hasControlChar(path)) return L"A folder name can't contain control characters such as tabs or line breaks.";
  if (path.find_first_of(L"\"*<>?|") != std::wstring_view::npos) return badCharacters;
  if (path.find_first_of(L":/", 2) != std::wstring_view::npos) return L"A folder name can't contain : or /";
  size_t start = 3;
  while (start < path.size()) {
    size_t cut = path.find(L'\\', start);
    std::wstring_view comp = path.substr(start, cut == std::wstring_view::npos ? std::wstring_view::npos : cut - start);
    if (comp.empty()) return L"A folder path can't have two \\ in a row.";
    if (comp == L"." || comp == L"..") return L"Enter the folder's path without . or .. in it.";
    if (comp.back() == L'.' || comp.back() == L' ') return L"A folder name can't end in a dot or a space.";
    if (isReservedDeviceName(comp)) return L"A folder name can't be a device name such as CON, NUL, COM1 or LPT1.";
    if (cut == std::wstring_view::npos) break;
    start = cut + 1;
  }
  // Whatever else the shared path rule refuses.
  return hasBadPathChars(path) ? badCharacters : nullptr;
}

// What every rule looks at: outer white space gone, then trailing "\" while longer than a drive root.
std::wstring cleaned(std::wstring_view folder) { return trimTrailingSlashes(trimWhite(folder)); }

bool sameFolder(const std::wstring& a, const std::wstring& b) {
  return !b.empty() && equalsNoCase(a, b);
}

// The folder that holds {setupdata}: the ProgramData folder.
std::wstring parentOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos || slash < 3) return {};
  return path.substr(0, slash);
}

}  // namespace

VolumeQueries systemVolumeQueries() {
  VolumeQueries q;
  q.driveType = [](const std::wstring& root) { return GetDriveTypeW(root.c_str()); };
  q.readOnly = [](const std::wstring& root, bool& readOnly) {
    DWORD flags = 0;
    if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
      return false;
    }
    readOnly = (flags & FILE_READ_ONLY_VOLUME) != 0;
    return true;
  };
  q.freeBytes = [](const std::wstring& root, uint64_t& freeBytes) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) return false;
    freeBytes = available.QuadPart;
    return true;
  };
  return q;
}

namespace {

// The path as Windows resolves it: the final path of its nearest existing part, then the rest as
// written. The text itself when nothing of it can be opened (no such drive).
std::wstring resolvedForm(const std::wstring& path) {
  std::wstring current = path;
  std::wstring rest;
  while (current.size() >= 3) {
    FinalPath found;
    if (finalPathOf(current, found)) {
      std::wstring resolved = trimTrailingSlashes(found.path);
      if (rest.empty()) return resolved;
      if (resolved.back() != L'\\') resolved.push_back(L'\\');
      return resolved + rest;
    }
    size_t cut = current.rfind(L'\\');
    if (cut == std::wstring::npos || cut < 2 || current.size() <= 3) break;
    rest = rest.empty() ? current.substr(cut + 1) : current.substr(cut + 1) + L"\\" + rest;
    current.resize(cut == 2 ? 3 : cut);
  }
  return path;
}

// The nearest existing part of the path is a file: nothing can be created below it.
bool endsInFile(const std::wstring& path) {
  for (std::wstring current = path; current.size() > 3; current = parentPath(current)) {
    FinalPath found;
    if (finalPathOf(current, found)) return !found.isDirectory;
  }
  return false;
}

bool isOneOfTheForbidden(const std::wstring& path, const KnownFolders& folders) {
  if (path.size() <= 3) return true;  // a drive root
  if (!folders.win.empty() && isSameOrInside(path, folders.win)) return true;
  if (sameFolder(path, folders.pf) || sameFolder(path, folders.pf32)) return true;
  if (sameFolder(path, parentOf(folders.setupdata))) return true;
  if (sameFolder(path, folders.userProfiles) || sameFolder(path, folders.profile)) return true;
  if (folders.userFoldersKnown && (sameFolder(path, folders.docs) || sameFolder(path, folders.appdata))) {
    return true;
  }
  if (sameFolder(path, folders.programs) || sameFolder(path, folders.desktop)) return true;
  for (const std::wstring& shared : folders.publicFolders) {
    if (sameFolder(path, shared)) return true;
  }
  return false;
}

// The same folders as Windows resolves them: a known folder may itself be reached through a link.
KnownFolders resolvedFolders(const KnownFolders& folders) {
  KnownFolders r = folders;
  for (std::wstring* p : {&r.pf, &r.pf32, &r.programs, &r.desktop, &r.docs, &r.appdata, &r.win, &r.setupdata,
                          &r.userProfiles, &r.profile}) {
    if (!p->empty()) *p = resolvedForm(*p);
  }
  for (std::wstring& p : r.publicFolders) p = resolvedForm(p);
  return r;
}

}  // namespace

bool isForbiddenFolder(std::wstring_view folder, const KnownFolders& folders) {
  std::wstring text = cleaned(folder);  // "C:\\" is a drive root too
  if (text.size() <= 3) return true;
  std::wstring path = normalizePath(text);
  if (path.empty()) return true;  // no full path: nothing below could be judged
  if (isOneOfTheForbidden(path, folders)) return true;
  // Text comparisons miss another spelling of the same folder (another drive mapped onto it, a
  // link above it): compare what Windows resolves both sides to as well.
  if (isOneOfTheForbidden(resolvedForm(path), resolvedFolders(folders))) return true;
  return isLink(path);
}

bool isProjectsFolder(std::wstring_view folder, const KnownFolders& folders) {
  std::wstring path = normalizePath(trimWhite(folder));
  if (!folders.setupdata.empty() && isSameOrInside(path, folders.setupdata)) return true;
  if (!folders.userFoldersKnown) return false;
  return (!folders.docs.empty() && isSameOrInside(path, folders.docs + L"\\Zelvan")) ||
         (!folders.appdata.empty() && isSameOrInside(path, folders.appdata + L"\\Zelvan"));
}

bool isPlausibleInstallFolder(std::wstring_view folder, const KnownFolders& folders) {
  std::wstring text = cleaned(folder);
  return !text.empty() && isDrivePath(text) && !hasBadPathChars(text) &&
         !isForbiddenFolder(text, folders) && !isProjectsFolder(text, folders) &&
         !isLink(normalizePath(text));
}

FolderVerdict checkInstallFolder(std::wstring_view folder, const KnownFolders& folders,
                                 uint64_t neededBytes) {
  return checkInstallFolderWith(folder, folders, neededBytes, systemVolumeQueries());
}

FolderVerdict checkInstallFolderWith(std::wstring_view folder, const KnownFolders& folders,
                                     uint64_t neededBytes, const VolumeQueries& volume) {
  std::wstring text = cleaned(folder);
  if (text.empty()) return refuse(FolderRefusal::Empty);
  if (!isDrivePath(text)) return refuse(FolderRefusal::NotFullPath);
  // Length first: an overlong component is a length problem, and nothing else may see it.
  if (text.size() > kMaxInstallFolderChars) return refuse(FolderRefusal::TooLong);
  if (const wchar_t* why = nameFault(text)) return FolderVerdict{FolderRefusal::BadCharacters, why};
  if (isForbiddenFolder(text, folders)) return refuse(FolderRefusal::ForbiddenPlace);
  if (endsInFile(normalizePath(text))) return refuse(FolderRefusal::NotAFolder);

  std::wstring root = text.substr(0, 3);
  unsigned type = volume.driveType ? volume.driveType(root) : DRIVE_FIXED;
  if (type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR || type == DRIVE_REMOTE ||
      type == DRIVE_CDROM) {
    return refuse(FolderRefusal::DriveUnavailable);
  }
  bool readOnly = false;
  if (volume.readOnly && volume.readOnly(root, readOnly) && readOnly) return refuse(FolderRefusal::DriveUnavailable);

  if (isProjectsFolder(text, folders)) return refuse(FolderRefusal::ProjectsFolder);

  std::wstring path = normalizePath(text);
  if (!isUnderProgramFiles(path, folders) && isPathTamperable(path)) return refuse(FolderRefusal::ForbiddenPlace);

  uint64_t freeBytes = 0;
  if (neededBytes != 0 && volume.freeBytes && volume.freeBytes(root, freeBytes)) {
    uint64_t wanted = neededBytes + kFreeSpaceReserve;
    if (wanted < neededBytes) wanted = UINT64_MAX;  // no wrap-around on absurd requests
    if (freeBytes < wanted) {
      FolderVerdict v;
      v.code = FolderRefusal::NotEnoughSpace;
      v.message = format(kMessageCapacity, L"There isn't enough free space on %ls. Zelvan needs %llu MB.",
                         text.substr(0, 2).c_str(),
                         static_cast<unsigned long long>(wanted / 1048576 + 1));
      return v;
    }
  }
  return FolderVerdict{};
}

}  // namespace zs
