#include "ui/plain_messages.h"

#include <windows.h>

#include <string>

#include "base/failure.h"

namespace zs {

using ui::Page;

int32_t pageResultCode(Page page) {
  switch (page) {
    case Page::Stopped: return 2;
    case Page::Failed:
    case Page::AlmostDone:
    case Page::CantUninstall: return 1;
    case Page::Incomplete: return 10;
    case Page::OldWindows: return 4;
    case Page::NoDotNet: return 3;
    case Page::Damaged: return 9;
    case Page::NewerInstalled: return 5;
    case Page::MsiCopy: return 11;
    case Page::BadSwitch: return 6;
    default: return 0;
  }
}

PlainErrorText plainErrorText(Page page, std::wstring_view detail) {
  switch (page) {
    case Page::Incomplete:
      return {L"Setup couldn't finish",
              L"Some changes are still in place. Run this setup again to finish putting things back.", false};
    case Page::OldWindows:
      return {L"Can't install yet", L"Zelvan needs Windows 8.1 or later. Nothing has been changed.", false};
    case Page::NoDotNet:
      return {L"Can't install yet",
              L"Zelvan needs .NET Framework 4.8, and this PC doesn't have it yet. Nothing has been changed.\r\n\r\n"
              L"Install .NET Framework 4.8 from Microsoft, then run this setup again.\r\n\r\n"
              L"Open Microsoft's download page?",
              true, kDotNetDownloadPage};
    case Page::Damaged:
      return {L"Can't install", L"This setup file is damaged. Please download it again. Nothing has been changed.",
              false};
    case Page::NewerInstalled:
      return {L"Can't install", L"A newer version of Zelvan is already installed. Nothing has been changed.", false};
    case Page::MsiCopy:
      return {L"Can't install yet",
              L"An older Windows Installer copy of Zelvan is on this PC. Remove it in Apps & Features, then run this "
              L"setup again.",
              false};
    case Page::BadSwitch:
      return {L"Can't start", L"Setup doesn't recognise this switch: " + std::wstring(detail), false};
    default: return {L"Can't install", L"", false};
  }
}

int32_t showErrorPage(Page page, std::wstring_view detail, std::wstring* open) {
  PlainErrorText t = plainErrorText(page, detail);
  int answer = MessageBoxW(nullptr, t.text.c_str(), t.caption, MB_ICONINFORMATION | (t.yesNo ? MB_YESNO : MB_OK));
  if (answer == IDYES && t.link != nullptr && open != nullptr) *open = t.link;
  return pageResultCode(page);
}

void showFolderRefusal(const std::wstring& message, void* owner) {
  MessageBoxW(static_cast<HWND>(owner), message.c_str(), L"Install Zelvan", MB_ICONWARNING | MB_OK);
}

PlainBox plainInstallBox(PlainInstallAsk ask, const std::wstring& detail) {
  switch (ask) {
    case PlainInstallAsk::AcceptLicense:
      return {L"Install Zelvan", L"Please accept the license agreement to continue.", MB_ICONINFORMATION | MB_OK};
    case PlainInstallAsk::StopInstalling:
      return {L"Stop installing?", L"Zelvan will be put back the way it was.", MB_ICONQUESTION | MB_OKCANCEL};
    case PlainInstallAsk::FileInUse:
      return {L"A file is in use", detail + L" is in use. Close whatever is using it, then try again.",
              MB_ICONWARNING | MB_RETRYCANCEL};
    case PlainInstallAsk::CouldNotOpen:
    default:
      return {L"Couldn't open that",
              L"Setup couldn't start it for you. Zelvan is in the Start menu; the log is at " + detail + L".",
              MB_ICONWARNING | MB_OK};
  }
}

ClosingMessage closingMessage(int32_t result, int32_t category, const std::wstring& detail, bool optimized,
                              const std::wstring& folder, const std::wstring& logPath, bool askOpen) {
  switch (result) {
    case exitNumber(ExitCode::Installed):
      return {Page::Ready, L"Zelvan is ready",
              std::wstring(optimized ? L"Prepared for this PC, so it opens quickly from the first launch."
                                     : L"Installed and ready. It couldn't be prepared ahead of time, so the first "
                                       L"start will be slower.") +
                  L"\r\n\r\nInstalled to: " + folder + (askOpen ? L"\r\n\r\nOpen Zelvan now?" : L""),
              MB_ICONINFORMATION, askOpen};
    case exitNumber(ExitCode::Cancelled):
      return {Page::Stopped, L"Installation stopped", L"Everything is back the way it was.", MB_ICONINFORMATION};
    case exitNumber(ExitCode::RollbackIncomplete):
      return {Page::Incomplete, L"Setup couldn't finish",
              L"Some changes are still in place. Run this setup again to finish putting things back.\r\n\r\n"
              L"The log is at " +
                  logPath,
              MB_ICONERROR};
    default:
      return {Page::Failed, L"Zelvan wasn't installed",
              L"Setup ran into a problem and put everything back the way it was.\r\n\r\n" + userText(static_cast<StopCategory>(category), detail) +
                  L"\r\n\r\nThe log is at " + logPath,
              MB_ICONERROR};
  }
}

int showClosingMessage(const ClosingMessage& message, void* owner) {
  return MessageBoxW(static_cast<HWND>(owner), message.text.c_str(), message.caption,
                     message.icon | (message.yesNo ? MB_YESNO : MB_OK));
}

}  // namespace zs
