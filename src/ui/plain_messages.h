// What the user is told in message boxes: the error pages when the run ends before or instead of
// an install, a refused install folder, and the closing message of a run. Until the drawn window
// exists, these are all an interactive run shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/ui_state.h"

namespace zs {

// The run's result code that belongs to a page when the window closes on it.
int32_t pageResultCode(ui::Page page);

// Microsoft's download page of .NET Framework 4.8, which the page about a missing .NET Framework
// offers to open.
inline constexpr wchar_t kDotNetDownloadPage[] = L"https://dotnet.microsoft.com/download/dotnet-framework/net48";

// Caption and text of the plain error display for a page (detail is the switch the page about an
// unknown switch names).
struct PlainErrorText {
  const wchar_t* caption;
  std::wstring text;
  bool yesNo;
  const wchar_t* link = nullptr;  // what Yes asks to open
};
PlainErrorText plainErrorText(ui::Page page, std::wstring_view detail);

// Shows an error page (plain message box, no owner) and returns the page's result code, whatever
// the answer. When the user answers Yes to a page's link, *open gets it: the caller opens it as
// the signed-in user, since a browser must not run elevated like this setup.
int32_t showErrorPage(ui::Page page, std::wstring_view detail, std::wstring* open = nullptr);

// The refusal text of the install folder check (caption "Install Zelvan", warning icon), over
// the owner window when there is one.
void showFolderRefusal(const std::wstring& message, void* owner = nullptr);

// The plain install window's own message boxes; detail is the file name for FileInUse and the
// log's path for CouldNotOpen.
enum class PlainInstallAsk { AcceptLicense, StopInstalling, FileInUse, CouldNotOpen };
struct PlainBox {
  const wchar_t* caption;
  std::wstring text;
  unsigned flags;  // MB_ICON... | buttons
};
PlainBox plainInstallBox(PlainInstallAsk ask, const std::wstring& detail = {});

// The closing message of an install run, by the page the run ends on: ready (installed), stopped
// (cancelled), failed (with the category's text) or incomplete (the rollback could not finish).
// askOpen adds the question whether to open Zelvan to the installed message, which then has Yes
// and No.
struct ClosingMessage {
  ui::Page page;
  const wchar_t* caption;
  std::wstring text;
  unsigned icon;  // MB_ICON...
  bool yesNo = false;
};
ClosingMessage closingMessage(int32_t result, int32_t category, const std::wstring& detail, bool optimized,
                              const std::wstring& folder, const std::wstring& logPath, bool askOpen = false);
// Returns the button pressed (IDOK, IDYES or IDNO).
int showClosingMessage(const ClosingMessage& message, void* owner = nullptr);

}  // namespace zs
