// The install steps after placing, each called at its place in the transaction through one
// function. Those not built yet write one log line saying so and change nothing; the built ones
// live in their own files, included here.
#pragma once

#include <string>
#include <vector>

#include "install/apps_entry.h"
#include "install/install_run.h"
#include "install/native_images.h"
#include "install/registry_lines.h"
#include "install/shortcuts.h"
#include "install/user_folders_step.h"
#include "install/warm_up.h"
#include "uninstall/uninstall_record.h"

namespace zs {

}  // namespace zs
