// Error pages 7 to 13: what the user is told when the run ends before or instead of an install.
// Until the drawn window exists, every error page is shown the plain way: one message box.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zs {

// The run's result code that belongs to a page when the window closes on it.
int32_t pageResultCode(int32_t page);

// Caption and text of the plain error display for a page (detail is used by page 13).
struct PlainErrorText {
  const wchar_t* caption;
  std::wstring text;
  bool yesNo;
};
PlainErrorText plainErrorText(int32_t page, std::wstring_view detail);

// Shows an error page (plain message box, no owner) and returns the page's result code.
int32_t showErrorPage(int32_t page, std::wstring_view detail);

}  // namespace zs
