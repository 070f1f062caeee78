// The signed-in user's folders. They must be asked with that user's token, never with the
// setup's own elevated one; until the token is available they stay unknown, and every step that
// needs them checks userFoldersKnown.
#include "script/known_folders.h"

namespace zs {

void resolveUserFolders(KnownFolders& folders) {
  folders.docs.clear();
  folders.appdata.clear();
  folders.profile.clear();
  folders.userFoldersKnown = !folders.docs.empty() && !folders.appdata.empty();
}

}  // namespace zs
