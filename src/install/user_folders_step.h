// The signed-in user's own folders: the [Dirs] folders and the first-run files (seed entries of
// [Files]). The setup may run under another account than the user who is signed in, so all of
// this is done while acting as that user, never overwrites what the user already has, and only
// logs what goes wrong: a missing folder or default file must not cost the user the install.
#pragma once

#include <functional>

#include "install/install_state.h"

namespace zs {

// Who the user-folder work runs as. `act` runs the work on this thread as that user and returns
// false (work not run) when it could not take on the user's identity.
struct UserActor {
  bool known = false;  // the user's token and both user folders are known
  std::function<bool(const std::function<void()>&)> act;
};

// The signed-in user of this process (signed_in_user.h).
UserActor signedInUserActor(const InstallRun& run);

void makeUserFolders(InstallRun& run, const UserActor& user);
// Releases the decompressed block when done, whatever happened.
void writeFirstRunFiles(InstallRun& run, const UserActor& user);

// Both passes as the signed-in user, [Dirs] first; the transaction's step.
void makeFoldersAndFirstRunFiles(InstallRun& run);

}  // namespace zs
