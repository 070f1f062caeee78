// The line shapes the setup's parser and the builder share: the UTF-16 form (the setup) and the
// UTF-8 form (the builder) must read every line alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "script/script_lines.h"

namespace zs::script {
namespace {

// A line's pairs as "key=value|key=value", or the fault's text, read through one form.
std::string readWide(std::string_view utf8) {
  std::vector<Pair> pairs;
  const LineFault fault = splitKeyValues(utf8ToWide(utf8), pairs);
  if (fault != LineFault::None) return lineFaultText(fault);
  std::string out;
  for (const Pair& p : pairs) out += wideToUtf8(p.key) + "=" + wideToUtf8(p.value) + "|";
  return out;
}

std::string readUtf8(std::string_view utf8) {
  std::vector<Utf8Pair> pairs;
  const LineFault fault = splitKeyValues(utf8, pairs);
  if (fault != LineFault::None) return lineFaultText(fault);
  std::string out;
  for (const Utf8Pair& p : pairs) out += p.key + "=" + p.value + "|";
  return out;
}

TEST(ScriptLines, BothFormsReadKeyValueLinesAlike) {
  struct Case {
    const char* line;
    const char* read;
  };
  const Case cases[] = {
      {"Name: a; Label: b", "Name=a|Label=b|"},
      {"Name : a ;Label:b;", "Name=a|Label=b|"},
      {"Data: \"\"\"{app}\\x.exe\"\" \"\"%1\"\"\"", "Data=\"{app}\\x.exe\" \"%1\"|"},
      {"Label: \"a;b\"  ; Args:", "Label=a;b|Args=|"},
      {"Label: caf\xC3\xA9 \xE2\x82\xAC", "Label=caf\xC3\xA9 \xE2\x82\xAC|"},
      {"Name: a;\xEF\xBB\xBF Label: b\xEF\xBB\xBF", "Name=a|Label=b|"},  // U+FEFF is white space
      {"Name: \"a\"\xEF\xBB\xBF;", "Name=a|"},
      {"Label: \"ab", "unbalanced quote"},
      {"Label: \"a\" x", "expected Key: value"},
      {"Name: a; ; Label: b", "expected Key: value"},
      {"Name t", "expected Key: value"},
      {"Na me: t", "expected Key: value"},
      {"\xC3\xA9: y", "expected Key: value"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readWide(c.line), c.read) << c.line;
    EXPECT_EQ(readUtf8(c.line), c.read) << c.line;
  }
}

TEST(ScriptLines, BothFormsReadNameValueLinesAlike) {
  struct Case {
    const char* line;
    const char* name;   // null: the line is not of the shape
    const char* value;
  };
  const Case cases[] = {
      {"AppName = \"Zelvan\"", "AppName", "Zelvan"},
      {"AppName = \"a\"\"b\"", "AppName", "a\"\"b"},  // only the outer pair goes
      {"Sign = x {file} = y", "Sign", "x {file} = y"},
      {"\xEF\xBB\xBF" "A_1 =\xEF\xBB\xBF", "A_1", ""},
      {"= x", nullptr, nullptr},
      {"A-B = x", nullptr, nullptr},
      {"AppName", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string_view name, value;
    std::wstring_view wideName, wideValue;
    const std::wstring wide = utf8ToWide(c.line);
    const LineFault fault = splitNameValue(std::string_view(c.line), name, value);
    EXPECT_EQ(splitNameValue(std::wstring_view(wide), wideName, wideValue), fault) << c.line;
    if (c.name == nullptr) {
      EXPECT_EQ(fault, LineFault::ExpectedNameValue) << c.line;
      continue;
    }
    ASSERT_EQ(fault, LineFault::None) << c.line;
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(wideToUtf8(wideName), c.name);
    EXPECT_EQ(wideToUtf8(wideValue), c.value);
  }
}

TEST(ScriptLines, FaultsCarryTheScriptCodes) {
  EXPECT_EQ(static_cast<int32_t>(LineFault::UnbalancedQuote), kScriptUnbalancedQuote);
  EXPECT_EQ(static_cast<int32_t>(LineFault::ExpectedKeyValue), kScriptExpectedKeyValue);
  EXPECT_EQ(static_cast<int32_t>(LineFault::ExpectedNameValue), kScriptExpectedNameValue);
  EXPECT_EQ(trimUtf8White("\xEF\xBB\xBF \t a b\r\xEF\xBB\xBF\n"), "a b");
}

}  // namespace
}  // namespace zs::script
