// The brace scanner both passes over a script value read it through.
#include <gtest/gtest.h>

#include <string>

#include "base/braces.h"

namespace zs {
namespace {

// The value cut into its pieces, each written as a letter and its text: c char, o "{{", d "}}",
// r reference (its name), l lone "{", k lone "}".
std::wstring pieces(std::wstring_view value) {
  std::wstring out;
  for (size_t i = 0; i < value.size();) {
    const BracePiece p = scanBraces(value, i);
    switch (p.token) {
      case BraceToken::Char: out += L"c"; break;
      case BraceToken::DoubledOpen: out += L"o"; break;
      case BraceToken::DoubledClose: out += L"d"; break;
      case BraceToken::Reference: out += L"r(" + std::wstring(p.name) + L")"; break;
      case BraceToken::LoneOpen: out += L"l"; break;
      case BraceToken::LoneClose: out += L"k"; break;
    }
    EXPECT_GE(p.length, 1u);
    i += p.length;
  }
  return out;
}

TEST(BraceScanner, CutsAValueIntoItsPieces) {
  struct Case {
    const wchar_t* value;
    const wchar_t* pieces;
  };
  const Case cases[] = {
      {L"a", L"c"},
      {L"{app}\\x", L"r(app)cc"},
      {L"{}", L"r()"},
      {L"{{app}}", L"occcd"},
      {L"{{{app}", L"or(app)"},
      {L"{a{app}", L"lcr(app)"},  // the first "{" has no "}" before the next "{"
      {L"{pf", L"lcc"},
      {L"pf}", L"cck"},
      {L"}}}", L"dk"},
      {L"{x}}", L"r(x)k"},
  };
  for (const Case& c : cases) EXPECT_EQ(pieces(c.value), c.pieces) << c.value;
}

TEST(BraceScanner, AReferenceLooksOnlyToTheNextBrace) {
  // Each "{" stops at the next one, so a long run of them is read in one pass.
  std::wstring open;
  for (int i = 0; i < 20000; ++i) open += L"{a";
  const BracePiece first = scanBraces(open, 0);
  EXPECT_EQ(first.token, BraceToken::LoneOpen);
  EXPECT_EQ(first.length, 1u);
  EXPECT_EQ(scanBraces(open + L"}", open.size() - 2).name, L"a");
}

}  // namespace
}  // namespace zs
