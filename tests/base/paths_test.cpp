// The text rules on paths: variables, relative paths, device names, wildcards, containment.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "base/paths.h"

namespace zs {
namespace {

VariableTable sampleTable() {
  VariableTable t;
  t.set(L"app", L"C:\\Program Files\\Zelvan");
  t.set(L"pf", L"C:\\Program Files");
  t.set(L"docs", L"");
  return t;
}

TEST(PathVariables, ExpandPaths) {
  VariableTable t = sampleTable();
  EXPECT_EQ(expandPaths(L"{app}\\Zelvan.exe", t), L"C:\\Program Files\\Zelvan\\Zelvan.exe");
  EXPECT_EQ(expandPaths(L"{APP}", t), L"C:\\Program Files\\Zelvan");
  EXPECT_EQ(expandPaths(L"{{x}}", t), L"{x}");
  EXPECT_EQ(expandPaths(L"{{app}}", t), L"{app}");
  EXPECT_EQ(expandPaths(L"{other}\\a", t), L"{other}\\a");
  EXPECT_EQ(expandPaths(L"a}b{", t), L"a}b{");
  EXPECT_EQ(expandPaths(L"{a{app}", t), L"{aC:\\Program Files\\Zelvan");
  EXPECT_EQ(expandPaths(L"{docs}\\Zelvan", t), L"\\Zelvan");  // an unknown user folder
  EXPECT_EQ(expandPaths(L"\"{app}\\ZelvanLauncher.exe\" \"%1\"", t),
            L"\"C:\\Program Files\\Zelvan\\ZelvanLauncher.exe\" \"%1\"");
  EXPECT_EQ(expandPaths(L"{{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}}_is1", VariableTable{}),
            L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}_is1");
  // Many lone "{" do not make the walk slow or wrong.
  std::wstring many(100000, L'{');
  many += L"x";
  EXPECT_EQ(expandPaths(many, t).size(), 50001u);
  std::wstring open;
  for (int i = 0; i < 50000; ++i) open += L"{a";
  EXPECT_EQ(expandPaths(open, t), open);

  t.set(L"APP", L"D:\\Z");  // replaces, whatever the case
  EXPECT_EQ(expandPaths(L"{app}", t), L"D:\\Z");
  EXPECT_EQ(t.find(L"Pf")->size(), 16u);
  EXPECT_EQ(t.find(L"win"), nullptr);
}

TEST(PathVariables, IsUnderVariable) {
  std::wstring rest = L"unchanged";
  EXPECT_TRUE(isUnderVariable(L"{appdata}", L"appdata", &rest));
  EXPECT_EQ(rest, L"");
  EXPECT_TRUE(isUnderVariable(L"{AppData}\\Zelvan\\x.ini", L"appdata", &rest));
  EXPECT_EQ(rest, L"Zelvan\\x.ini");
  EXPECT_TRUE(isUnderVariable(L"{app}\\", L"app", &rest));
  EXPECT_EQ(rest, L"");
  EXPECT_FALSE(isUnderVariable(L"{appdata}x", L"appdata"));
  EXPECT_FALSE(isUnderVariable(L"{appdata}", L"app"));
  EXPECT_FALSE(isUnderVariable(L"{app", L"app"));
  EXPECT_FALSE(isUnderVariable(L"x{app}", L"app"));
  EXPECT_FALSE(isUnderVariable(L"", L"app"));
}

TEST(PathRules, RelativePathRule) {
  for (const wchar_t* ok : {L"a\\b.txt", L"a", L"Zelvan\\2.5\\Config.zlcx", L"a b\\c d.e", L".hidden", L"..a",
                            L"com0", L"com10", L"console", L"a\\b{{x}}"}) {
    EXPECT_TRUE(isRelativePathOk(ok, false)) << ok;
  }
  for (const wchar_t* bad : {L"", L"a\\\\b", L"a\\", L"\\a", L".\\a", L"a\\..\\b", L"..", L"a.", L"a ", L"c:x",
                             L"a/b", L"aux.log", L"a\\nul", L"a\\COM3.txt", L"a<b", L"a>b", L"a|b", L"a\"b",
                             L"a\tb", L"a\x1f", L"a\x7f", L"x*.dll", L"a?", L"*\\a"}) {
    EXPECT_FALSE(isRelativePathOk(bad, false)) << bad;
  }
  EXPECT_TRUE(isRelativePathOk(L"x*.dll", true));
  EXPECT_TRUE(isRelativePathOk(L"sub\\x?.d*", true));
  EXPECT_FALSE(isRelativePathOk(L"*\\a", true));
  EXPECT_FALSE(isRelativePathOk(L"a*\\b.dll", true));
  EXPECT_FALSE(isRelativePathOk(L"x*.dll.", true));
  EXPECT_FALSE(isRelativePathOk(L"x|*.dll", true));
}

TEST(PathRules, ReservedDeviceNames) {
  for (const wchar_t* r : {L"nul.txt", L"COM3", L"con", L"PRN", L"aux.tar.gz", L"lpt9", L"Lpt1.x", L"nul .txt",
                           L"com\u00b9"}) {
    EXPECT_TRUE(isReservedDeviceName(r)) << r;
  }
  for (const wchar_t* n : {L"com0", L"com10", L"console", L"lpt", L"comX", L"nul_", L"xnul", L"", L".con"}) {
    EXPECT_FALSE(isReservedDeviceName(n)) << n;
  }
}

// The description the matcher must agree with: try every length of each run of stars.
bool matchRecursive(std::wstring_view p, std::wstring_view n) {
  if (p.empty()) return n.empty();
  if (p[0] == L'*') {
    size_t k = 0;
    while (k < p.size() && p[k] == L'*') ++k;
    if (k == p.size()) return true;
    for (size_t take = 0; take <= n.size(); ++take) {
      if (matchRecursive(p.substr(k), n.substr(take))) return true;
    }
    return false;
  }
  if (n.empty()) return false;
  wchar_t a = p[0], b = n[0];
  auto up = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; };
  if (a != L'?' && up(a) != up(b)) return false;
  return matchRecursive(p.substr(1), n.substr(1));
}

TEST(PathRules, Wildcards) {
  EXPECT_TRUE(hasWildcard(L"a*"));
  EXPECT_TRUE(hasWildcard(L"?"));
  EXPECT_FALSE(hasWildcard(L"a.dll"));

  EXPECT_TRUE(matchWildcard(L"JetBrainsMono-*.ttf", L"jetbrainsmono-Bold.TTF"));
  EXPECT_TRUE(matchWildcard(L"JetBrainsMono-*.ttf", L"JetBrainsMono-.ttf"));
  EXPECT_FALSE(matchWildcard(L"JetBrainsMono-*.ttf", L"JetBrainsMono-Bold.ttf.bak"));
  EXPECT_TRUE(matchWildcard(L"x?.dll", L"x1.dll"));
  EXPECT_FALSE(matchWildcard(L"x?.dll", L"x.dll"));
  EXPECT_TRUE(matchWildcard(L"a**b", L"ab"));
  EXPECT_TRUE(matchWildcard(L"*", L""));
  EXPECT_TRUE(matchWildcard(L"", L""));
  EXPECT_FALSE(matchWildcard(L"", L"a"));
  EXPECT_FALSE(matchWildcard(L"?", L""));
  EXPECT_TRUE(matchWildcard(L"a*", L"abc"));
  EXPECT_TRUE(matchWildcard(L"*a*b*c", L"xxaxxbxxbxxc"));
  EXPECT_FALSE(matchWildcard(L"*a*b*c", L"xxaxxbxxbxxcx"));

  // Agrees with the recursive description on many small cases.
  std::mt19937 rng(12345);
  const wchar_t alphabet[] = {L'a', L'B', L'b', L'*', L'?'};
  for (int i = 0; i < 20000; ++i) {
    std::wstring p, n;
    for (int k = static_cast<int>(rng() % 7); k > 0; --k) p += alphabet[rng() % 5];
    for (int k = static_cast<int>(rng() % 8); k > 0; --k) n += alphabet[rng() % 3];
    ASSERT_EQ(matchWildcard(p, n), matchRecursive(p, n)) << "pattern " << p.size() << " name " << n.size();
  }
}

TEST(PathRules, WildcardMatchingStaysPolynomial) {
  // The recursive description needs about C(2000, 40) steps here; this must finish at once.
  std::wstring pattern;
  for (int i = 0; i < 40; ++i) pattern += L"*a";
  pattern += L"*b";
  std::wstring name(2000, L'a');
  EXPECT_FALSE(matchWildcard(pattern, name));
  name += L'b';
  EXPECT_TRUE(matchWildcard(pattern, name));
  EXPECT_FALSE(matchWildcard(std::wstring(3000, L'*') + L"?" + std::wstring(3000, L'*') + L"c",
                             std::wstring(5000, L'a')));
}

TEST(PathRules, ContainmentAndDrivePaths) {
  EXPECT_TRUE(isInside(L"C:\\Program Files\\Zelvan", L"C:\\Program Files"));
  EXPECT_TRUE(isSameOrInside(L"C:\\Program Files\\Zelvan", L"c:\\program files\\zelvan"));
  EXPECT_FALSE(isInside(L"C:\\Program Files\\Zelvan", L"c:\\program files\\zelvan"));
  EXPECT_FALSE(isInside(L"C:\\Program FilesX", L"C:\\Program Files"));
  EXPECT_FALSE(isSameOrInside(L"C:\\Program FilesX", L"C:\\Program Files"));
  EXPECT_FALSE(isSameOrInside(L"C:\\Program Files2", L"C:\\Program Files"));
  EXPECT_TRUE(isInside(L"C:\\x", L"C:\\"));
  EXPECT_FALSE(isInside(L"C:\\", L"C:\\"));
  EXPECT_FALSE(isInside(L"C:\\Program Files\\", L"C:\\Program Files"));
  // An unknown folder contains nothing.
  EXPECT_FALSE(isInside(L"\\x", L""));
  EXPECT_FALSE(isSameOrInside(L"", L""));
  EXPECT_FALSE(isSameOrInside(L"C:\\x", L""));

  EXPECT_TRUE(isDrivePath(L"C:\\"));
  EXPECT_TRUE(isDrivePath(L"z:\\a"));
  EXPECT_FALSE(isDrivePath(L"C:"));
  EXPECT_FALSE(isDrivePath(L"C:x"));
  EXPECT_FALSE(isDrivePath(L"C:/x"));
  EXPECT_FALSE(isDrivePath(L"1:\\x"));
  EXPECT_FALSE(isDrivePath(L"\\\\server\\share"));
}

TEST(PathRules, BadPathChars) {
  for (const wchar_t* ok : {L"C:\\Program Files\\Zelvan", L"C:\\", L"D:\\a b\\c.d"}) {
    EXPECT_FALSE(hasBadPathChars(ok)) << ok;
  }
  for (const wchar_t* bad : {L"C:\\a|b", L"C:\\a:b", L"C:\\con\\x", L"C:\\a\\\\b", L"C:\\a.", L"C:\\a\\..\\b",
                             L"C:\\a\\", L"C:\\a\"b", L"C:\\a*", L"C:\\a?", L"\\\\?\\C:\\x", L"C:\\a\nb", L"C:\\a<"}) {
    EXPECT_TRUE(hasBadPathChars(bad)) << bad;
  }
}

TEST(PathNormalize, LongFormsOfTheExistingPartAndTheTailAsTyped) {
  // A small pretend file system: what exists, with its spelling on disk.
  std::map<std::wstring, std::wstring> disk = {
      {L"c:\\", L"C:\\"},
      {L"c:\\progra~1", L"C:\\Program Files"},
      {L"c:\\program files", L"C:\\Program Files"},
      {L"c:\\program files\\zelvan", L"C:\\Program Files\\Zelvan"},
  };
  auto lower = [](std::wstring s) {
    for (auto& c : s) c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
    return s;
  };
  std::vector<std::wstring> asked;
  PathQueries q;
  q.fullPath = [](const std::wstring& p, std::wstring& full) {
    full = p;
    return true;
  };
  q.longPath = [&](const std::wstring& p, std::wstring& out) {
    asked.push_back(p);
    auto it = disk.find(lower(p));
    if (it == disk.end()) return false;
    out = it->second;
    return true;
  };
  EXPECT_EQ(normalizePathWith(L"c:\\program files\\\\", q), L"C:\\Program Files");
  EXPECT_EQ(normalizePathWith(L"c:\\progra~1\\Zelvan\\New One\\Sub", q), L"C:\\Program Files\\Zelvan\\New One\\Sub");
  EXPECT_EQ(normalizePathWith(L"c:\\New\\Two", q), L"C:\\New\\Two");  // no doubled "\" after the root
  EXPECT_EQ(normalizePathWith(L"C:\\", q), L"C:\\");
  EXPECT_EQ(normalizePathWith(L"", q), L"");
  // Nothing exists, not even the drive: the full path as given, trailing "\" trimmed.
  asked.clear();
  EXPECT_EQ(normalizePathWith(L"q:\\a\\b\\", q), L"q:\\a\\b");
  EXPECT_EQ(asked, (std::vector<std::wstring>{L"q:\\a\\b", L"q:\\a", L"q:\\"}));
  EXPECT_EQ(normalizePathWith(L"\\\\server\\share\\x", q), L"\\\\server\\share\\x");
  EXPECT_EQ(normalizePathWith(L"relative", q), L"relative");
}

// What cannot be made full, or holds a control character, normalises to nothing: a caller that
// kept the raw text would still see its ".." and be fooled by tests on the text alone.
TEST(PathNormalize, WhatCannotBeMadeFullGivesNothing) {
  PathQueries cannot;
  cannot.fullPath = [](const std::wstring&, std::wstring&) { return false; };
  PathQueries asText;
  asText.fullPath = [](const std::wstring& p, std::wstring& full) {
    full = p;
    return true;
  };
  const std::wstring nul = std::wstring(L"C:\\ProgramData\\Start Menu\\..\\..\\Users") + L'\0' + L".lnk";
  struct Case {
    std::wstring path;
    const PathQueries* queries;
  };
  for (const Case& c : {Case{L"C:\\Zelvan\\..\\Windows", &cannot}, Case{L"C:\\Zelvan", &cannot},
                        Case{nul, &asText}, Case{L"C:\\a\tb", &asText}, Case{L"C:\\a\x7f", &asText},
                        Case{L"C:\\a\\b\r", &asText}}) {
    EXPECT_EQ(normalizePathWith(c.path, *c.queries), L"") << c.path.size();
  }
  EXPECT_EQ(normalizePathWith(L"C:\\Zelvan", PathQueries{}), L"");
  // The file system's own answer for the same path with its NUL.
  EXPECT_EQ(normalizePath(nul), L"");
  EXPECT_EQ(normalizePath(L"C:\\Zelvan\x01"), L"");
  EXPECT_TRUE(hasControlChar(nul));
  EXPECT_TRUE(hasControlChar(L"\x7f"));
  EXPECT_FALSE(hasControlChar(L"C:\\Program Files\\Zelvan \u00e9\u2028"));
  EXPECT_TRUE(hasBadPathChars(L"C:\\a\x7f"));
}

// A component over 255 characters, or a path over 32,767, is refused by every helper the readers
// use, and normalising one asks the file system nothing (a long enough component kills the
// process inside the system call under Wine).
TEST(PathRules, PathsBeyondTheWindowsLimitsAreRefusedBeforeAnySystemCall) {
  const std::wstring longest(255, L'a');
  const std::wstring tooLong(256, L'a');
  const std::wstring huge(1000, L'a');
  std::wstring tooManyChars = L"C:";
  while (tooManyChars.size() <= kMaxPathChars + 3) tooManyChars += L"\\" + longest;

  EXPECT_TRUE(isRelativePathOk(L"x\\" + longest, false));
  EXPECT_FALSE(hasBadPathChars(L"C:\\" + longest));
  int asked = 0;
  PathQueries counting;
  counting.fullPath = [&asked](const std::wstring& p, std::wstring& full) {
    ++asked;
    full = p;
    return true;
  };
  counting.longPath = [&asked](const std::wstring& p, std::wstring& longForm) {
    ++asked;
    longForm = p;
    return true;
  };
  for (const std::wstring& bad : {L"x\\" + tooLong, huge + L"\\y.lnk", L"a/" + huge, tooManyChars.substr(3)}) {
    EXPECT_FALSE(isRelativePathOk(bad, false)) << bad.size();
    EXPECT_TRUE(hasBadPathChars(L"C:\\" + bad)) << bad.size();
    EXPECT_EQ(normalizePathWith(L"C:\\" + bad, counting), L"") << bad.size();
  }
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(normalizePath(L"C:\\" + huge + L"\\Zelvan.lnk"), L"");
}

#ifndef _WIN32
TEST(PathNormalize, HostResolvesDotsAsText) {
  EXPECT_EQ(normalizePath(L"C:\\a\\.\\b\\..\\c\\\\"), L"C:\\a\\c");
  EXPECT_EQ(normalizePath(L"C:\\..\\x"), L"C:\\x");
  EXPECT_EQ(normalizePath(L"C:\\"), L"C:\\");
  EXPECT_EQ(normalizePath(L"relative\\..\\x"), L"");  // nothing to make it full against
}
#endif

}  // namespace
}  // namespace zs
