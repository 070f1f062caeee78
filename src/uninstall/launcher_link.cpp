#include "uninstall/launcher_link.h"

#include "base/log.h"
#include "base/switches.h"
#include "platform/child_result.h"

namespace zs {

LauncherLink::LauncherLink(const SwitchSet& s) {
  if (s.resultHandle == 0 || s.runParentId == 0) return;
  waits_ = true;
  DWORD error = 0;
  pipe_ = takeResultPipe(s.resultHandle, &error);
  if (!pipe_) logWinError(L"The pipe to the uninstaller that started this copy can't be used", error);
}

void LauncherLink::tell(int32_t exitNumber) {
  if (!waits_ || told_) return;
  told_ = true;
  if (!pipe_) return;
  DWORD error = 0;
  if (sendResult(pipe_.get(), exitNumber, &error)) {
    logf(L"Told the uninstaller that started this copy: exit code %d.", exitNumber);
  } else {
    logWinError(L"Couldn't tell the uninstaller that started this copy its result", error);
  }
  // Closed at once: the launcher reads one result and nothing after it.
  pipe_.reset();
}

}  // namespace zs
