// The shapes of a script line: "Key: value; Key: value" (every list section) and "Name = value"
// ([Setup], and the builder's [Define]). The setup's parser reads the embedded script with them
// and the builder reads its source script with them, so both read one grammar: the same quoting,
// the same white space (tab, line feed, carriage return, space and U+FEFF) and the same faults.
// Each comes in a UTF-16 form and a UTF-8 form (the builder works on the source's bytes).
// Portable; never throws (beyond allocation failure) and never logs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "script/script.h"

namespace zs::script {

template <typename Char>
struct BasicPair {
  std::basic_string<Char> key;
  std::basic_string<Char> value;  // unquoted ("" stands for one quote) or trimmed
};
using Pair = BasicPair<wchar_t>;
using Utf8Pair = BasicPair<char>;

// What is wrong with a line's shape; the numbers are the script's error codes.
enum class LineFault : int32_t {
  None = 0,
  UnbalancedQuote = kScriptUnbalancedQuote,
  ExpectedKeyValue = kScriptExpectedKeyValue,
  ExpectedNameValue = kScriptExpectedNameValue,
};

// The fault's text, as the parser reports it ("unbalanced quote", ...); ASCII.
const char* lineFaultText(LineFault fault);

// A Key: value line (already trimmed) as its list of pairs, in order; keys may repeat.
LineFault splitKeyValues(std::wstring_view line, std::vector<Pair>& pairs);
LineFault splitKeyValues(std::string_view line, std::vector<Utf8Pair>& pairs);

// A Name = value line: the name (ASCII letters, digits and "_") before the first "=", and the
// value after it, trimmed and rid of one outer pair of double quotes. Views into `line`.
LineFault splitNameValue(std::wstring_view line, std::wstring_view& name, std::wstring_view& value);
LineFault splitNameValue(std::string_view line, std::string_view& name, std::string_view& value);

// The line's white space trimmed from both ends; in UTF-8, U+FEFF is the three bytes EF BB BF.
std::string_view trimUtf8White(std::string_view s);

}  // namespace zs::script
