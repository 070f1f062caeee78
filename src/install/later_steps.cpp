#include "install/later_steps.h"

#include "app/log.h"

namespace zs {

void installNativeImages(InstallRun&) { logLine(L"Native images are not built yet."); }

void checkNativeImages(InstallRun& run) {
  logLine(L"The native image check is not built yet.");
  run.nativeImages = NativeImageResult{false, L"Native images are not made by this build."};
}

void removeNativeImages(InstallRun&, const std::vector<std::wstring>& assemblies) {
  if (!assemblies.empty()) logLine(L"Removing old native images is not built yet.");
}

}  // namespace zs
