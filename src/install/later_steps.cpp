#include "install/later_steps.h"

#include "app/log.h"

namespace zs {

void makeFoldersAndFirstRunFiles(InstallRun& run) {
  logLine(L"[Dirs] folders and first-run files are not built yet.");
  // The block is no longer needed once first-run files would have been written from it.
  run.releaseBuffer();
}

void makeShortcuts(InstallRun&) { logLine(L"Shortcuts are not built yet."); }

void installNativeImages(InstallRun&) { logLine(L"Native images are not built yet."); }

void checkNativeImages(InstallRun& run) {
  logLine(L"The native image check is not built yet.");
  run.nativeImages = NativeImageResult{false, L"Native images are not made by this build."};
}

void warmUp(InstallRun& run) {
  if (run.request.noRun) {
    logLine(L"Warm-up skipped: /norun.");
    return;
  }
  logLine(L"The warm-up run is not built yet.");
}

void removeNativeImages(InstallRun&, const std::vector<std::wstring>& assemblies) {
  if (!assemblies.empty()) logLine(L"Removing old native images is not built yet.");
}

}  // namespace zs
