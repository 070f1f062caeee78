// The signed-in user's folders. They are asked with that user's token, never with the setup's own
// elevated one; without the token they stay unknown, and every step that needs them checks
// userFoldersKnown.
#include <windows.h>
#include <shlobj.h>

#include "platform/signed_in_user.h"
#include "platform/known_folders.h"

namespace zs {

void resolveUserFolders(KnownFolders& folders) {
  HANDLE token = signedInUserTokens().impersonation;
  folders.docs = token != nullptr ? knownFolderPath(FOLDERID_Documents, token) : std::wstring();
  folders.appdata = token != nullptr ? knownFolderPath(FOLDERID_RoamingAppData, token) : std::wstring();
  folders.profile = token != nullptr ? knownFolderPath(FOLDERID_Profile, token) : std::wstring();
  folders.userFoldersKnown = !folders.docs.empty() && !folders.appdata.empty();
}

}  // namespace zs
