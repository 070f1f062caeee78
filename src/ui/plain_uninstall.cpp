#include "ui/plain_uninstall.h"

#include <windows.h>

namespace zs {

constinit PlainUninstall thePlainUninstall;

PlainUninstallBox plainUninstallBox(PlainUninstallAsk ask) {
  switch (ask) {
    case PlainUninstallAsk::Confirm:
      return {L"Uninstall Zelvan",
              L"Zelvan will be removed from this PC.\r\n\r\nYour projects and settings stay as they are.",
              MB_ICONQUESTION | MB_OKCANCEL};
    case PlainUninstallAsk::CloseApp:
      return {L"Zelvan is open",
              L"Setup needs to close Zelvan to continue. Save your work first.\r\n\r\nClose Zelvan now?",
              MB_ICONWARNING | MB_OKCANCEL};
    case PlainUninstallAsk::RetryClose:
      return {L"Zelvan didn't close", L"Save your work and close Zelvan yourself, then try again.",
              MB_ICONWARNING | MB_RETRYCANCEL};
    case PlainUninstallAsk::RecordMissing:
      return {L"Can't uninstall",
              L"Setup's record of this install is missing, so nothing was removed. Run the Zelvan setup again to "
              L"repair it.",
              MB_ICONERROR | MB_OK};
    case PlainUninstallAsk::FinishedRestart:
      return {L"Almost done", L"Some files were in use. They'll go the next time you restart.",
              MB_ICONINFORMATION | MB_OK};
    case PlainUninstallAsk::Finished:
    default:
      return {L"Zelvan is removed", L"Your projects and settings are still in your Documents folder.",
              MB_ICONINFORMATION | MB_OK};
  }
}

namespace {

int show(PlainUninstallAsk ask) {
  PlainUninstallBox box = plainUninstallBox(ask);
  // No owner window: the uninstaller has none, and the box must come to the front on its own.
  return MessageBoxW(nullptr, box.text, box.caption, box.flags | MB_SETFOREGROUND);
}

}  // namespace

bool PlainUninstall::confirmUninstall() { return show(PlainUninstallAsk::Confirm) == IDOK; }
bool PlainUninstall::askCloseApp() { return show(PlainUninstallAsk::CloseApp) == IDOK; }
bool PlainUninstall::askRetryClose() { return show(PlainUninstallAsk::RetryClose) == IDRETRY; }
void PlainUninstall::onRecordMissing() { show(PlainUninstallAsk::RecordMissing); }
void PlainUninstall::onFinished(bool restartNeeded) {
  show(restartNeeded ? PlainUninstallAsk::FinishedRestart : PlainUninstallAsk::Finished);
}

}  // namespace zs
