// The one check an install folder must pass before it is used, whether it came from the
// script's default, an earlier install, "/dir=" or the user: acceptance, or a refusal with a
// sentence for the user. A lighter form tells whether a folder read back from a record is
// plausible as an install folder. Nothing here creates or changes anything.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/known_folders.h"

namespace zs {

// Why a folder is refused. The numbers are the codes that logs show ("Folder refused, F5: ...").
enum class FolderRefusal : int32_t {
  None = 0,              // accepted
  Empty = 1,
  NotFullPath = 2,
  BadCharacters = 3,
  TooLong = 4,
  ForbiddenPlace = 5,    // a system or shared folder, a link, or one others may write to
  DriveUnavailable = 6,  // no such drive, a network, optical or read-only one
  ProjectsFolder = 7,    // where Zelvan keeps the user's projects, or the setup's own data
  NotEnoughSpace = 8,
  NotAFolder = 9,        // the path, or a folder on the way to it, is a file
};

struct FolderVerdict {
  FolderRefusal code = FolderRefusal::None;
  std::wstring message;  // empty when accepted

  bool accepted() const { return code == FolderRefusal::None; }
  int32_t number() const { return static_cast<int32_t>(code); }
};

inline constexpr size_t kMaxInstallFolderChars = 180;
inline constexpr uint64_t kFreeSpaceReserve = 5u * 1024u * 1024u;

// What the check asks of the volume that holds the folder (root such as "C:\"). Each query that
// fails answers so that its test passes; tests supply their own.
struct VolumeQueries {
  std::function<unsigned(const std::wstring& root)> driveType;  // GetDriveTypeW
  std::function<bool(const std::wstring& root, bool& readOnly)> readOnly;
  std::function<bool(const std::wstring& root, uint64_t& freeBytes)> freeBytes;
};
VolumeQueries systemVolumeQueries();

// neededBytes 0 skips the free-space test.
FolderVerdict checkInstallFolder(std::wstring_view folder, const KnownFolders& folders,
                                 uint64_t neededBytes);
FolderVerdict checkInstallFolderWith(std::wstring_view folder, const KnownFolders& folders,
                                     uint64_t neededBytes, const VolumeQueries& volume);

bool isForbiddenFolder(std::wstring_view folder, const KnownFolders& folders);
bool isProjectsFolder(std::wstring_view folder, const KnownFolders& folders);
bool isPlausibleInstallFolder(std::wstring_view folder, const KnownFolders& folders);

}  // namespace zs
