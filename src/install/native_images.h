// The install's native-image steps: the old version's images go before its files are replaced,
// the new ones are made after the files are placed and then checked. ngen does the work
// (ngen/ngen.h); here each step gets this run's journal, cancel flag and progress bar.
#pragma once

#include <string>
#include <vector>

#include "install/install_state.h"

namespace zs {

// Removes the native images of the old version's assemblies (full paths), while the files are copied.
void removeNativeImages(InstallRun& run, const std::vector<std::wstring>& assemblies);
// Installs the [NativeImages] lines; fills run.nativeImages. Its progress is the native-image step's.
void installNativeImages(InstallRun& run);
// Checks the installed images against the assemblies, retrying each mismatch once; completes
// run.nativeImages. Its progress is the checking step's.
void checkNativeImages(InstallRun& run);

}  // namespace zs
