#include "app/uninstall_role.h"

#include <memory>
#include <optional>

#include "app/startup.h"
#include "base/log.h"
#include "base/switches.h"
#include "journal/setup_data.h"
#include "platform/shell.h"
#include "ui/gui_adapters.h"
#include "ui/setup_window.h"
#include "ui/theme_choice.h"
#include "ui/ui_state.h"
#include "uninstall/launcher_link.h"
#include "uninstall/temp_copy.h"
#include "uninstall/uninstall_run.h"
#include "uninstall/uninstaller_role.h"

namespace zs {

int runUninstallRole() {
  theLog().setUninstallRole(true);
  if (const wchar_t* refused = refusedUninstallerSwitch(switches())) {
    logLine(L"The uninstaller takes /silent, /log= and /closeapps.");
    return refuseBadSwitch(refused);
  }
  const SwitchSet& s = switches();
  const std::wstring exePath = ownExecutablePath();
  // Started from the install folder: the copy does the work, and this process ends with its result.
  if (std::optional<int32_t> copys = runFromTemporaryCopy(s, exePath)) return theLog().finish(*copys);

  LauncherLink launcher(s);
  // The drawn window opens on its own thread with the first thing to show; it falls back to message
  // boxes by itself.
  std::unique_ptr<ui::GuiUninstall> gui;
  if (!s.silent) gui = std::make_unique<ui::GuiUninstall>(systemTheme());
  const UninstallEnd end = runUninstall(s, exePath, gui.get(), launcher);
  const int32_t number = exitNumber(end, s);
  // Told already when the run got that far; else now, before a page that waits for a person.
  launcher.tell(number);
  if (gui != nullptr) {
    gui->close();
    gui.reset();
    if (end.exit == UninstallExit::RecoveryIncomplete)
      ui::runErrorPage(ui::Page::Incomplete, {}, systemTheme(), theLog().openPath());
  }
  // A temporary copy cannot delete its own file: it goes, with its folder, at the next restart.
  if (isTemporaryCopyPath(exePath, setupDataPath())) scheduleTemporaryCopyRemoval(exePath);
  return theLog().finish(number);
}

}  // namespace zs
