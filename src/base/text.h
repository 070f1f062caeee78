// Text helpers shared by every part of the setup and by the host-side tools.
// Portable: the Windows build compares through CompareStringOrdinal, the host build through an
// equivalent simple upper-case mapping, so that nothing depends on the user's locale.
// Never throws (beyond allocation failure) and never logs.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

// The five characters that count as white space wherever text is trimmed.
bool isWhite(wchar_t c);
std::wstring_view trimWhite(std::wstring_view s);

// The pieces of a separated list, each trimmed of white space; empty pieces are dropped.
std::vector<std::wstring> splitTrimmed(std::wstring_view list, wchar_t separator);

// Ordinal comparison without regard to case (Windows' ordinal ignore-case rule).
bool equalsNoCase(std::wstring_view a, std::wstring_view b);
int compareNoCase(std::wstring_view a, std::wstring_view b);  // <0, 0, >0
// That order as a comparator, for sorted containers and algorithms of names and paths.
struct NoCaseLess {
  bool operator()(std::wstring_view a, std::wstring_view b) const { return compareNoCase(a, b) < 0; }
};
bool startsWithNoCase(std::wstring_view s, std::wstring_view prefix);
bool endsWithNoCase(std::wstring_view s, std::wstring_view suffix);

// UTF-8 <-> UTF-16. The lenient forms replace what cannot be converted with U+FFFD; the strict
// decoder refuses invalid UTF-8 (overlong forms, surrogates, truncated sequences) and says so.
std::string wideToUtf8(std::wstring_view s);
std::wstring utf8ToWide(std::string_view s);
bool utf8ToWideStrict(std::string_view s, std::wstring& out);

// printf-style formatting with the wide conversions. Use %ls for wide strings: it means the same
// to every C runtime. The result is cut at capacity - 1 characters.
std::wstring formatV(size_t capacity, const wchar_t* fmt, va_list args);
std::wstring format(size_t capacity, const wchar_t* fmt, ...);

// Capacity of a formatted text meant for the user (log lines have their own, larger one).
inline constexpr size_t kMessageCapacity = 2048;

// Bytes as lower-case hexadecimal, two digits a byte, and back (either case; an odd length or a
// non-hex digit fails). The journal keeps registry values so, and digests are compared so.
std::wstring toHex(std::string_view bytes);
bool fromHex(std::wstring_view hex, std::string& bytes);

}  // namespace zs
