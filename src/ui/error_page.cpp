#include "ui/error_page.h"

#include <windows.h>

#include <string>

namespace zs {

int32_t pageResultCode(int32_t page) {
  switch (page) {
    case 5: return 2;
    case 6:
    case 17:
    case 18: return 1;
    case 7: return 10;
    case 8: return 4;
    case 9: return 3;
    case 10: return 9;
    case 11: return 5;
    case 12: return 11;
    case 13: return 6;
    default: return 0;
  }
}

PlainErrorText plainErrorText(int32_t page, std::wstring_view detail) {
  switch (page) {
    case 7:
      return {L"Setup couldn't finish",
              L"Some changes are still in place. Run this setup again to finish putting things back.", false};
    case 8: return {L"Can't install yet", L"Zelvan needs Windows 8.1 or later. Nothing has been changed.", false};
    case 9:
      return {L"Can't install yet",
              L"Zelvan needs .NET Framework 4.8, and this PC doesn't have it yet. Nothing has been changed.\r\n\r\n"
              L"Install .NET Framework 4.8 from Microsoft, then run this setup again.\r\n\r\n"
              L"Open Microsoft's download page?",
              true};
    case 10:
      return {L"Can't install", L"This setup file is damaged. Please download it again. Nothing has been changed.",
              false};
    case 11:
      return {L"Can't install", L"A newer version of Zelvan is already installed. Nothing has been changed.", false};
    case 12:
      return {L"Can't install yet",
              L"An older Windows Installer copy of Zelvan is on this PC. Remove it in Apps & Features, then run this "
              L"setup again.",
              false};
    case 13: return {L"Can't start", L"Setup doesn't recognise this switch: " + std::wstring(detail), false};
    default: return {L"Can't install", L"", false};
  }
}

int32_t showErrorPage(int32_t page, std::wstring_view detail) {
  PlainErrorText t = plainErrorText(page, detail);
  MessageBoxW(nullptr, t.text.c_str(), t.caption, MB_ICONINFORMATION | (t.yesNo ? MB_YESNO : MB_OK));
  // The result is the page's whatever the answer; opening the download page on Yes comes with the
  // signed-in user's token, so that the browser does not run elevated.
  return pageResultCode(page);
}

}  // namespace zs
