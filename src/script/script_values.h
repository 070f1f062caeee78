// The shared value parsers of the script readers. Internal to the script folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zs::script {

// 1 to 20 decimal digits, no sign, blank or prefix.
bool parseUnsigned64(std::wstring_view s, uint64_t& value);
bool parseUnsigned32(std::wstring_view s, uint32_t& value);
// A 32-bit decimal not above one day (timeouts).
bool parseSeconds(std::wstring_view s, uint32_t& value);
bool parseYesNo(std::wstring_view s, bool& value);
bool parseOnOff(std::wstring_view s, bool& value);

// The items between runs of tab, space and ","; empty items are dropped.
std::vector<std::wstring> splitWords(std::wstring_view s);

// Exactly 64 hexadecimal digits, either case.
bool isSha256Hex(std::wstring_view s);
// 36 characters: hexadecimal digits with "-" at 1-based positions 9, 14, 19 and 24; no braces.
bool isGuidText(std::wstring_view s);
// 1 to 128 characters, each an ASCII letter, digit, "_", "." or "-".
bool isAppUserModelId(std::wstring_view s);
// Major.minor, each a decimal not above 99.
bool parseWindowsVersion(std::wstring_view s, uint32_t& major, uint32_t& minor);

bool isAsciiWordChar(wchar_t c);  // ASCII letter, digit or "_"
std::wstring asciiLower(std::wstring_view s);

}  // namespace zs::script
