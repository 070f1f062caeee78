#include "base/braces.h"

namespace zs {

BracePiece scanBraces(std::wstring_view value, size_t at) {
  const size_t n = value.size();
  const wchar_t c = value[at];
  if (c == L'{' && at + 1 < n && value[at + 1] == L'{') return {BraceToken::DoubledOpen, 2, {}};
  if (c == L'}' && at + 1 < n && value[at + 1] == L'}') return {BraceToken::DoubledClose, 2, {}};
  if (c == L'}') return {BraceToken::LoneClose, 1, {}};
  if (c != L'{') return {BraceToken::Char, 1, {}};
  const size_t close = value.find_first_of(L"{}", at + 1);
  if (close == std::wstring_view::npos || value[close] == L'{') return {BraceToken::LoneOpen, 1, {}};
  return {BraceToken::Reference, close - at + 1, value.substr(at + 1, close - at - 1)};
}

}  // namespace zs
