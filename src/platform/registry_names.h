// The registry roots and views as the script, the journal and the uninstall record write them. Pure
// text, so the readers of those files stay portable.
#pragma once

#include <cstdint>
#include <string_view>

namespace zs {

// HKCR is always the machine's classes in the 64-bit view, never the merged per-user view.
enum class RegRoot : int32_t { Hkcr = 0, Hklm = 1, Hkcu = 2 };
enum class RegView : int32_t { View64 = 0, View32 = 1 };

// "HKCR", "HKLM", "HKCU" case-insensitively; "64" and "32" exactly.
bool parseRegRoot(std::wstring_view text, RegRoot& root);
bool parseRegView(std::wstring_view text, RegView& view);
const wchar_t* regRootName(RegRoot root);
const wchar_t* regViewName(RegView view);

}  // namespace zs
