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
};

FolderVerdict refuse(FolderRefusal code) { return FolderVerdict{code, kMessages[static_cast<int32_t>(code)]}; }

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

bool isForbiddenFolder(std::wstring_view folder, const KnownFolders& folders) {
  std::wstring text = cleaned(folder);  // "C:\\" is a drive root too
  if (text.size() <= 3) return true;
  std::wstring path = normalizePath(text);
  if (path.empty()) return true;  // no full path: nothing below could be judged
  if (!folders.win.empty() && isSameOrInside(path, folders.win)) return true;
  if (sameFolder(path, folders.pf) || sameFolder(path, folders.pf32)) return true;
  if (sameFolder(path, parentOf(folders.setupdata))) return true;
  if (sameFolder(path, folders.userProfiles) || sameFolder(path, folders.profile)) return true;
  if (folders.userFoldersKnown && (sameFolder(path, folders.docs) || sameFolder(path, folders.appdata))) {
    return true;
  }
  if (sameFolder(path, folders.programs) || sameFolder(path, folders.desktop)) return true;
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
  if (hasBadPathChars(text)) return refuse(FolderRefusal::BadCharacters);
  if (text.size() > kMaxInstallFolderChars) return refuse(FolderRefusal::TooLong);
  if (isForbiddenFolder(text, folders)) return refuse(FolderRefusal::ForbiddenPlace);

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
