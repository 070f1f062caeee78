// The braces of a script value: "{{" and "}}" stand for one brace each, and "{name}" refers to a
// variable. The parser's check of a value and the expansion when a step uses it both read the
// value through this one scanner, so they cannot disagree on where a reference starts and ends.
// Portable; never throws and never logs.
#pragma once

#include <cstddef>
#include <string_view>

namespace zs {

enum class BraceToken {
  Char,          // any other character
  DoubledOpen,   // "{{"
  DoubledClose,  // "}}"
  Reference,     // "{" name "}", with no "{" in the name
  LoneOpen,      // a "{" that no "}" closes before the next "{" or the end
  LoneClose,     // a "}" that is neither doubled nor closes a reference
};

struct BracePiece {
  BraceToken token = BraceToken::Char;
  size_t length = 1;      // characters the piece takes, from where it starts
  std::wstring_view name;  // the name of a Reference (may be empty)
};

// The piece of `value` that starts at `at` (which must be inside it). A reference is looked for
// only up to the next brace, so walking a whole value piece by piece stays linear in its length.
BracePiece scanBraces(std::wstring_view value, size_t at);

}  // namespace zs
