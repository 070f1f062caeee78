// Undo in the signed-in user's folders runs as that user.
#include "journal/rollback.h"
#include "platform/signed_in_user.h"

namespace zs {

UserRunner signedInUserRunner() { return runAsUser; }

}  // namespace zs
