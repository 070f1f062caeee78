// Lines, section headers, the two line shapes, variable references and the value parsers.
#include <gtest/gtest.h>

#include <string>

#include "reference_script.h"
#include "script/script.h"
#include "script_test_support.h"

namespace zs::test {
namespace {

std::string repeat(std::string_view s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out.append(s);
  return out;
}

// ---- Reading lines ----

TEST(ScriptLines, ByteOrderMarkAtStartIsSkippedAndLaterOnesAreTrimmed) {
  std::string plain(referenceScript());
  Parsed a = parseText(plain);
  Parsed b = parseText("\xEF\xBB\xBF" + plain);
  ASSERT_TRUE(a.ok) << describe(a);
  ASSERT_TRUE(b.ok) << describe(b);
  EXPECT_EQ(dumpModel(a.script), dumpModel(b.script));

  // U+FEFF at either end of a later line is white space.
  Parsed c = parseText(withSetup("[Tasks]\n\xEF\xBB\xBFName: t; Label: x\xEF\xBB\xBF\n"));
  ASSERT_TRUE(c.ok) << describe(c);
  EXPECT_EQ(c.script.tasks.at(0).label, L"x");
  // A mark before the header on line 1 only counts when it is the text's first three bytes.
  EXPECT_TRUE(fails("\xEF\xBB\n", 1, kScriptNotUtf8, L"not valid UTF-8"));
}

TEST(ScriptLines, CrLfAndLfGiveTheSameModel) {
  std::string lf(referenceScript());
  std::string crlf;
  for (char ch : lf) {
    if (ch == '\n') crlf.push_back('\r');
    crlf.push_back(ch);
  }
  Parsed a = parseText(lf);
  Parsed b = parseText(crlf);
  ASSERT_TRUE(b.ok) << describe(b);
  EXPECT_EQ(dumpModel(a.script), dumpModel(b.script));

  // A lone CR inside a line is kept; only the line's ends are trimmed.
  Parsed c = parseText(withSetup("[Tasks]\n\rName: t; Label: a\rb\r\r\n"));
  ASSERT_TRUE(c.ok) << describe(c);
  EXPECT_EQ(c.script.tasks.at(0).label, L"a\rb");
}

TEST(ScriptLines, LengthLimitCountsUtf16UnitsBeforeTrimming) {
  const std::string head = "Name: t; Label: ";
  std::string exact = head + std::string(4096 - head.size(), 'x');
  EXPECT_TRUE(parses(withSetup("[Tasks]\n" + exact + "\n")));
  EXPECT_TRUE(fails(withSetup("[Tasks]\n" + exact + "y\n"), 11, kScriptLineTooLong, L"line too long"));
  // Leading blanks count: the test is made before trimming.
  EXPECT_TRUE(fails(withSetup("[Tasks]\n " + exact + "\n"), 11, kScriptLineTooLong, L"line too long"));
  // A comment line is measured too.
  EXPECT_TRUE(fails(";" + std::string(4096, 'c'), 1, kScriptLineTooLong, L"line too long"));

  // Two-byte characters: 4096 of them pass, 4097 do not.
  EXPECT_TRUE(parses(withSetup(";" + repeat("\xC3\xA9", 4095) + "\n")));
  EXPECT_TRUE(fails(withSetup(";" + repeat("\xC3\xA9", 4096) + "\n"), 10, kScriptLineTooLong, L"line too long"));
  // Characters beyond U+FFFF are two UTF-16 units each, in every build.
  EXPECT_TRUE(parses(withSetup(";" + repeat("\xF0\x9F\x98\x80", 2047) + "x\n")));
  EXPECT_TRUE(fails(withSetup(";" + repeat("\xF0\x9F\x98\x80", 2048) + "\n"), 10, kScriptLineTooLong, L"line too long"));
}

TEST(ScriptLines, VeryLongLinesFailWithTheRightCode) {
  std::string longValid = ";" + std::string(200000, 'a');
  EXPECT_TRUE(fails(withSetup(longValid + "\n"), 10, kScriptLineTooLong, L"line too long"));
  // Invalid UTF-8 anywhere in a long line is reported as such, not as length.
  EXPECT_TRUE(fails(withSetup(longValid + "\xFF" + "\n"), 10, kScriptNotUtf8, L"not valid UTF-8"));
  EXPECT_TRUE(fails(withSetup(std::string(50000, 'a') + "\xE2\x82" + std::string(50000, 'a')), 10,
                    kScriptNotUtf8, L"not valid UTF-8"));
  EXPECT_TRUE(fails(withSetup(std::string(30000, '\x80')), 10, kScriptNotUtf8, L"not valid UTF-8"));
  // Long runs of valid multi-byte characters, cut into pieces inside the parser, stay valid.
  EXPECT_TRUE(fails(withSetup(";" + repeat("\xE2\x82\xAC", 20000)), 10, kScriptLineTooLong, L"line too long"));
  EXPECT_TRUE(fails(withSetup(";" + repeat("\xF0\x9F\x98\x80", 20000)), 10, kScriptLineTooLong, L"line too long"));
}

TEST(ScriptLines, ZeroBytesAndInvalidUtf8FailWithCode2) {
  using namespace std::string_literals;
  EXPECT_TRUE(fails(withSetup("; a\0b\n"s), 10, kScriptNotUtf8, L"not valid UTF-8"));
  EXPECT_TRUE(fails("\0"s, 1, kScriptNotUtf8, L"not valid UTF-8"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: t; Label: \xC0\xAF\n"), 11, kScriptNotUtf8, L"not valid UTF-8"));
  EXPECT_TRUE(fails(withSetup("; \xED\xA0\x80\n"), 10, kScriptNotUtf8, L"not valid UTF-8"));  // surrogate
  EXPECT_TRUE(fails(withSetup("; \xE2\x82"), 10, kScriptNotUtf8, L"not valid UTF-8"));        // truncated
  EXPECT_TRUE(fails(withSetup("; \xF5\x80\x80\x80\n"), 10, kScriptNotUtf8, L"not valid UTF-8"));
  // A CR is only removed directly before the LF; one before a zero byte is still a zero byte.
  EXPECT_TRUE(fails(withSetup("x\r\0\n"s), 10, kScriptNotUtf8, L"not valid UTF-8"));
}

TEST(ScriptLines, CommentsBlankLinesAndNumbering) {
  EXPECT_TRUE(parses(withSetup("; a comment\n   ; indented comment\n\n\t\n")));
  // The empty script is one empty line; so is a lone line feed. "\n\n\n" is three lines.
  EXPECT_TRUE(fails("", 1, kScriptMissingKey, L"missing required key 'AppId'"));
  EXPECT_TRUE(fails("\n", 1, kScriptMissingKey, L"missing required key 'AppId'"));
  EXPECT_TRUE(fails("\xEF\xBB\xBF", 1, kScriptMissingKey, L"missing required key 'AppId'"));
  EXPECT_TRUE(fails("\n\n\n", 3, kScriptMissingKey, L"missing required key 'AppId'"));
  EXPECT_TRUE(fails("\n\n\n ", 4, kScriptMissingKey, L"missing required key 'AppId'"));
  EXPECT_TRUE(fails("\n\nName: x\n", 3, kScriptOutsideSection, L"line outside any section"));
  // A ";" later in a line is not a comment.
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: t; Label: a ;x\n"), 11, kScriptExpectedKeyValue,
                    L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a; ; Label: b\n"), 11, kScriptExpectedKeyValue,
                    L"expected Key: value"));
}

// ---- Section headers ----

TEST(ScriptHeaders, NamesAndFaults) {
  EXPECT_TRUE(fails("[Setup\n", 1, kScriptUnknownSection, L"unknown section [Setup"));
  EXPECT_TRUE(fails("  [Setup] x  \n", 1, kScriptUnknownSection, L"unknown section [Setup] x"));
  EXPECT_TRUE(fails("[Define]\n", 1, kScriptUnknownSection, L"unknown section [Define]"));
  EXPECT_TRUE(fails("[ ]\n", 1, kScriptUnknownSection, L"unknown section []"));
  EXPECT_TRUE(fails("[Setup]]\n", 1, kScriptUnknownSection, L"unknown section [Setup]]"));
  EXPECT_TRUE(fails("[\n", 1, kScriptUnknownSection, L"unknown section ["));

  std::string spaced(kSetupBlock);
  spaced.replace(0, 7, "[ setup ]");
  Parsed p = parseText(spaced);
  ASSERT_TRUE(p.ok) << describe(p);
  EXPECT_TRUE(parses(withSetup("[TASKS]\n[nativeimages]\n[LEGACY]\n[run]\n")));
}

TEST(ScriptHeaders, RepeatedSectionsAddToTheSameLists) {
  Parsed p = parseText(withSetup(
      "[Tasks]\nName: a; Label: A\n[Dirs]\nName: {docs}\\Z\n[Tasks]\nName: b; Label: B\n"
      "[Setup]\nPublisherUrl = https://x\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  ASSERT_EQ(p.script.tasks.size(), 2u);
  EXPECT_EQ(p.script.tasks[0].name, L"a");
  EXPECT_EQ(p.script.tasks[1].name, L"b");
  EXPECT_EQ(p.script.tasks[1].line, 15);
  EXPECT_EQ(p.script.setup.setupLine, 16);  // the last [Setup] header
  EXPECT_EQ(p.script.setup.publisherUrl, L"https://x");
}

// ---- Name = value lines ----

TEST(ScriptNameValue, QuotesAndShape) {
  auto appName = [](std::string_view line) {
    std::string text(kSetupBlock);
    text.replace(text.find("AppName = Zelvan"), 16, line);
    Parsed p = parseText(text);
    return p.ok ? wideToUtf8(p.script.setup.appName) : describe(p);
  };
  EXPECT_EQ(appName("AppName = \"Zelvan\""), "Zelvan");
  EXPECT_EQ(appName("AppName = \"a\"\"b\""), "a\"\"b");  // only the outer pair goes
  EXPECT_EQ(appName("AppName = \""), "\"");
  EXPECT_EQ(appName("AppName = \"\"x"), "\"\"x");
  EXPECT_EQ(appName("AppName=a=b;c ; d"), "a=b;c ; d");
  EXPECT_EQ(appName("  APPNAME\t=\t Zelvan  "), "Zelvan");

  EXPECT_TRUE(fails(withSetup("[Setup]\nPublisherUrl https://x\n"), 11, kScriptExpectedNameValue,
                    L"expected Name = value"));
  EXPECT_TRUE(fails(withSetup("[Setup]\n= x\n"), 11, kScriptExpectedNameValue, L"expected Name = value"));
  EXPECT_TRUE(fails(withSetup("[Setup]\nPublisher-Url = x\n"), 11, kScriptExpectedNameValue,
                    L"expected Name = value"));
  EXPECT_TRUE(fails(withSetup("[Setup]\nPublisher Url = x\n"), 11, kScriptExpectedNameValue,
                    L"expected Name = value"));
  EXPECT_TRUE(fails(withSetup("[Setup]\nSupport\xC3\xA9 = x\n"), 11, kScriptExpectedNameValue,
                    L"expected Name = value"));
}

// ---- Key: value lines ----

TEST(ScriptKeyValue, QuotedAndUnquotedValues) {
  auto label = [](std::string_view value) {
    Parsed p = parseText(withSetup("[Tasks]\nName: t; Label: " + std::string(value) + "\n"));
    return p.ok ? wideToUtf8(p.script.tasks.at(0).label) : describe(p);
  };
  EXPECT_EQ(label("\"a;b\""), "a;b");
  EXPECT_EQ(label("\"a\"\"b\""), "a\"b");
  EXPECT_EQ(label("\"\""), "");
  EXPECT_EQ(label("\" padded \"  ;"), " padded ");
  EXPECT_EQ(label("  spaced   words  "), "spaced   words");
  EXPECT_EQ(label("a\"b"), "a\"b");  // a quote inside an unquoted value is plain text
  EXPECT_EQ(label("\"ab"), "line 11: ZS5 unbalanced quote");
  EXPECT_EQ(label("\"a\"\""), "line 11: ZS5 unbalanced quote");
  EXPECT_EQ(label("\"a\" x"), "line 11: ZS6 expected Key: value");

  Parsed p = parseText(withSetup(
      "[Registry]\nRoot: HKCR; Key: Zelvan.Document\\shell\\open\\command; Type: string; "
      "Data: \"\"\"{app}\\ZelvanLauncher.exe\"\" \"\"%1\"\"\"\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  EXPECT_EQ(p.script.registry.at(0).data, L"\"{app}\\ZelvanLauncher.exe\" \"%1\"");
}

TEST(ScriptKeyValue, ShapeFaults) {
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName t\n"), 11, kScriptExpectedKeyValue, L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\n: t\n"), 11, kScriptExpectedKeyValue, L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nNa me: t\n"), 11, kScriptExpectedKeyValue, L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: t;; Label: x\n"), 11, kScriptExpectedKeyValue,
                    L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: t; Label: x; \xC3\xA9: y\n"), 11, kScriptExpectedKeyValue,
                    L"expected Key: value"));
  // The key may be followed by blanks before ":"; a trailing ";" is allowed; a key may be empty-valued.
  Parsed p = parseText(withSetup("[Tasks]\nName  :t;Label:   ;Detail:;\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  EXPECT_EQ(p.script.tasks.at(0).name, L"t");
  EXPECT_EQ(p.script.tasks.at(0).label, L"");
}

TEST(ScriptKeyValue, FirstOccurrenceOfARepeatedKeyWins) {
  Parsed p = parseText(withSetup("[Tasks]\nName: first; Label: x; name: second; Default: off; Default: bogus\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  EXPECT_EQ(p.script.tasks.at(0).name, L"first");
  EXPECT_FALSE(p.script.tasks.at(0).defaultOn);
}

// ---- Variable references (parse-time pass) ----

TEST(ScriptVariables, ParseTimePass) {
  auto expand = [](std::wstring_view v, bool allowFile = false) {
    std::wstring out;
    ScriptError e;
    if (!expandParseTime(v, allowFile, out, e)) return L"ZS" + std::to_wstring(e.code) + L" " + e.text;
    return out;
  };
  EXPECT_EQ(expand(L"{PF}\\Zelvan"), L"{pf}\\Zelvan");
  EXPECT_EQ(expand(L"{SetupData}\\a{App}"), L"{setupdata}\\a{app}");
  EXPECT_EQ(expand(L"{{x}}"), L"{{x}}");
  EXPECT_EQ(expand(L"{{{app}}}"), L"{{{app}}}");
  EXPECT_EQ(expand(L"{pf\\Zelvan"), L"ZS8 unbalanced { or }");
  EXPECT_EQ(expand(L"pf}"), L"ZS8 unbalanced { or }");
  EXPECT_EQ(expand(L"{a{app}"), L"ZS8 unbalanced { or }");
  EXPECT_EQ(expand(L"{app}}"), L"ZS8 unbalanced { or }");
  EXPECT_EQ(expand(L"{temp}"), L"ZS15 unknown variable {temp}");
  EXPECT_EQ(expand(L"{Temp}\\x"), L"ZS15 unknown variable {Temp}");
  EXPECT_EQ(expand(L"{}"), L"ZS15 unknown variable {}");
  EXPECT_EQ(expand(L"{ app }"), L"ZS15 unknown variable { app }");
  EXPECT_EQ(expand(L"{file}"), L"ZS15 unknown variable {file}");
  EXPECT_EQ(expand(L"{FILE}", true), L"{file}");

  // Through the parser: the fault is on the line, and the first failing value of the line wins.
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: {temp}; Label: pf}\n"), 11, kScriptUnknownVariable,
                    L"unknown variable {temp}"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: t; Label: {x\n"), 11, kScriptUnbalancedBrace, L"unbalanced { or }"));
  EXPECT_TRUE(fails(withSetup("[Setup]\nPublisherUrl = {file}\n"), 11, kScriptUnknownVariable,
                    L"unknown variable {file}"));
  // Values reach the readers after the pass, so key checks come after a variable fault.
  EXPECT_TRUE(fails(withSetup("[Tasks]\nBogus: {nope}\n"), 11, kScriptUnknownVariable, L"unknown variable {nope}"));

  std::string text(kSetupBlock);
  text.replace(text.find("{pf}"), 4, "{PF}");
  Parsed p = parseText(text);
  ASSERT_TRUE(p.ok) << describe(p);
  EXPECT_EQ(p.script.setup.defaultDir, L"{pf}\\Zelvan");
}

// ---- Shared value parsers, through the keys that use them ----

TEST(ScriptValueParsers, DecimalsYesNoAndWordLists) {
  auto fileLine = [](std::string_view off) {
    return withSetup("[Files]\nDest: {app}\\a; Off: " + std::string(off) + "; Size: 1; Sha: " + std::string(kSha) + "\n");
  };
  EXPECT_TRUE(parses(fileLine("18446744073709551615")));
  EXPECT_TRUE(parses(fileLine("00000000000000000001")));  // 20 digits
  EXPECT_TRUE(fails(fileLine("18446744073709551616"), 11, kScriptBadValue, L"bad value '18446744073709551616' for Off"));
  EXPECT_TRUE(fails(fileLine("000000000000000000001"), 11, kScriptBadValue, L"bad value '000000000000000000001' for Off"));
  for (const char* bad : {"-1", "+1", "0x10", "1 2", "\"\"", "1.0", "\xD9\xA1"}) {
    Parsed p = parseText(fileLine(bad));
    EXPECT_FALSE(p.ok) << bad;
    EXPECT_EQ(p.error.code, kScriptBadValue) << bad;
  }
  EXPECT_TRUE(fails(withSetup("[Files]\nDest: {app}\\a; Off: ; Size: 1; Sha: " + std::string(kSha) + "\n"), 11,
                    kScriptBadValue, L"bad value '' for Off"));

  auto timeout = [](std::string_view t) {
    return withSetup("[Run]\nWhen: warmup; File: {app}\\Zelvan.exe; Timeout: " + std::string(t) + "\n");
  };
  EXPECT_TRUE(parses(timeout("86400")));
  EXPECT_TRUE(parses(timeout("0")));
  EXPECT_TRUE(fails(timeout("86401"), 11, kScriptBadValue, L"bad value '86401' for Timeout"));
  EXPECT_TRUE(fails(timeout("4294967296"), 11, kScriptBadValue, L"bad value '4294967296' for Timeout"));

  auto enabled = [](std::string_view v) {
    return withSetup("[Run]\nWhen: finish; File: {app}\\Zelvan.exe; Enabled: " + std::string(v) + "\n");
  };
  Parsed no = parseText(enabled("NO"));
  ASSERT_TRUE(no.ok) << describe(no);
  EXPECT_FALSE(no.script.runs.at(0).enabled);
  EXPECT_TRUE(fails(enabled("y"), 11, kScriptBadValue, L"bad value 'y' for Enabled"));
  EXPECT_TRUE(fails(enabled(""), 11, kScriptBadValue, L"bad value '' for Enabled"));

  Parsed words = parseText(withSetup(
      "[Tasks]\nName: a; Label: A\nName: b; Label: B\n"
      "[Shortcuts]\nPath: {programs}\\Z.lnk; Target: {app}\\Z.exe; Tasks: ,a,, \tb ,\n"));
  ASSERT_TRUE(words.ok) << describe(words);
  EXPECT_EQ(words.script.shortcuts.at(0).tasks, (std::vector<std::wstring>{L"a", L"b"}));
}

}  // namespace
}  // namespace zs::test
