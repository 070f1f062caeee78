// The folders behind the path variables, found once per process (Windows only).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/paths.h"

struct _GUID;

namespace zs {

// Every path is normalised (normalizePath); a folder the shell could not give stays empty.
struct KnownFolders {
  std::wstring pf;            // {pf}: the native Program Files folder
  std::wstring pf32;          // {pf32}: the 32-bit Program Files folder
  std::wstring programs;      // {programs}: all users' Start menu programs
  std::wstring desktop;       // {desktop}: all users' desktop
  std::wstring docs;          // {docs}: the signed-in user's Documents
  std::wstring appdata;       // {appdata}: the signed-in user's roaming AppData
  std::wstring win;           // {win}: the Windows folder
  std::wstring setupdata;     // {setupdata}: ProgramData\ZelvanSetup
  std::wstring userProfiles;  // the folder that holds all profiles
  std::wstring profile;       // the signed-in user's profile
  // The public profile and the folders in it (documents, desktop, downloads, music, pictures,
  // videos): shared by every account, so never an install folder. Those the shell could not give
  // are left out.
  std::vector<std::wstring> publicFolders;
  bool userFoldersKnown = false;  // docs and appdata both found with the user's token
};

// The process-wide record, computed by the first call and read-only afterwards. The first call
// must come from the main thread before any other thread exists; it is not locked.
const KnownFolders& knownFolders();

// Computes a fresh record without touching the process-wide one.
KnownFolders resolveKnownFolders();

// Fills docs, appdata and profile with the signed-in user's token and sets userFoldersKnown.
// Until the signed-in user's token is available this leaves the three folders empty and
// userFoldersKnown false; it is the one place that changes when the token code arrives.
void resolveUserFolders(KnownFolders& folders);

// A known folder asked of the shell with KF_FLAG_DONT_VERIFY, as the given user (token, or null
// for the setup's own), normalised; empty when the shell cannot give it.
std::wstring knownFolderPath(const _GUID& id, void* token);

// 64-bit Windows (x64 or Arm64), also when this 32-bit process runs under WoW64.
bool isWindows64();

// The variable table of one use: app is the install folder chosen for this run (may be empty).
VariableTable makeVariableTable(const KnownFolders& folders, std::wstring_view app);

// Which Program Files value a 64-bit system's registry gives: only a REG_SZ value counts (type 1);
// the data is the raw value (bytes / 2 units, possibly with a terminating zero). Empty means
// "use the ProgramW6432 environment variable instead".
std::wstring programFilesFromRegistryValue(unsigned long type, const wchar_t* data, unsigned long bytes);

}  // namespace zs
