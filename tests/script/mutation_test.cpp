// Damaged scripts: thousands of random variants of the reference script. Each must either parse
// into a model that keeps the rules, or fail with one listed code on a line that exists.
// The seed is fixed; ZS_MUTATION_SEED picks another (the seed is printed, so a failure can be
// repeated), ZS_MUTATION_COUNT another number of variants.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "reference_script.h"
#include "base/paths.h"
#include "script/script.h"
#include "script_test_support.h"

namespace zs::test {
namespace {

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return std::strtoull(v, nullptr, 0);
}

// The number of lines the parser reads in a text.
int32_t countLines(std::string_view text) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int32_t lines = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && i + 1 < text.size()) ++lines;
  }
  return lines;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.push_back('\n');
    out += lines[i];
  }
  return out;
}

class Mutator {
 public:
  explicit Mutator(uint64_t seed) : rng_(seed) {}

  std::string mutate(const std::string& base) {
    std::string text = base;
    int steps = 1 + static_cast<int>(pick(4));
    for (int i = 0; i < steps; ++i) text = step(text);
    return text;
  }

 private:
  size_t pick(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_() % n); }
  char randomByte() { return static_cast<char>(rng_() & 0xFF); }

  std::string randomFragment() {
    static const char* const pieces[] = {
        "{", "}", "{{", "}}", "\"", "\"\"", ";", ":", "=", "[", "]", "\\", "..", "*", "?", "{app}", "{APP}",
        "{temp}", "{file}", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xFF",
        "\xEF\xBB\xBF", "\r", "\t", " ", "seed", "recurse", "HKCU", "Tasks: nope", "; Source: x",
        "[Define]", "[Setup]", "AppId = x", "Queue: run", "When: later", "Flags: seed", "con", "a/b",
        "4294967296", "18446744073709551616", "-1", "0x10", "\xC3\xA9", "\xF0\x9F\x98\x80"};
    std::string s = pieces[pick(sizeof(pieces) / sizeof(pieces[0]))];
    if (pick(8) == 0) s.push_back('\0');
    return s;
  }

  std::string step(const std::string& text) {
    std::string t = text;
    std::vector<std::string> lines;
    switch (pick(14)) {
      case 0:  // flip a byte
        if (!t.empty()) t[pick(t.size())] = randomByte();
        return t;
      case 1:  // flip one bit
        if (!t.empty()) t[pick(t.size())] ^= static_cast<char>(1 << pick(8));
        return t;
      case 2:  // insert a fragment
        return t.insert(pick(t.size() + 1), randomFragment());
      case 3:  // delete a run of bytes
        if (!t.empty()) {
          size_t at = pick(t.size());
          t.erase(at, 1 + pick(40));
        }
        return t;
      case 4:  // cut the text short
        return t.substr(0, pick(t.size() + 1));
      case 5:  // zero byte
        return t.insert(pick(t.size() + 1), 1, '\0');
      case 6:  // very long line: plain, multi-byte, or just over the limit
      {
        std::string filler;
        switch (pick(3)) {
          case 0: filler.assign(4000 + pick(8000), 'x'); break;
          case 1: for (size_t i = 0, n = 2000 + pick(3000); i < n; ++i) filler += "\xE2\x82\xAC"; break;
          default: filler.assign(4090 + pick(12), 'y'); break;
        }
        return t.insert(pick(t.size() + 1), filler);
      }
      default: break;
    }
    lines = splitLines(t);
    size_t i = pick(lines.size());
    switch (pick(6)) {
      case 0: lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i)); break;                   // drop a line
      case 1: lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i), lines[pick(lines.size())]); break;  // copy a line
      case 2: lines[i] = lines[i].substr(0, pick(lines[i].size() + 1)); break;                     // cut a line
      case 3: std::swap(lines[i], lines[pick(lines.size())]); break;                               // swap two lines
      case 4: {                                                                                    // insert random bytes
        std::string junk;
        for (size_t k = pick(30); k > 0; --k) junk.push_back(randomByte());
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i), junk);
        break;
      }
      default: lines[i] += "\r"; break;  // a CR LF line end
    }
    return joinLines(lines);
  }

  std::mt19937_64 rng_;
};

// What a parsed model must always satisfy, however odd the text was.
void checkModel(const SetupScript& s, int32_t lines, const std::string& where) {
  auto lineOk = [&](int32_t l) { return l >= 1 && l <= lines; };
  EXPECT_TRUE(lineOk(s.setup.setupLine)) << where;
  EXPECT_EQ(s.setup.appId.size(), 36u) << where;
  EXPECT_TRUE(isUnderVariable(s.setup.defaultDir, L"pf") || isUnderVariable(s.setup.defaultDir, L"pf32")) << where;
  for (const auto& f : s.files) {
    EXPECT_TRUE(lineOk(f.line)) << where;
    EXPECT_EQ(f.sha.size(), 64u) << where;
    std::wstring rest;
    bool rooted = f.seed ? (isUnderVariable(f.dest, L"docs", &rest) || isUnderVariable(f.dest, L"appdata", &rest))
                         : isUnderVariable(f.dest, L"app", &rest);
    EXPECT_TRUE(rooted && isRelativePathOk(rest, false)) << where << " " << wideToUtf8(f.dest);
  }
  for (const auto& r : s.registry) {
    EXPECT_TRUE(lineOk(r.line)) << where;
    EXPECT_TRUE(isRegistryWriteAllowed(r.root, r.key, r.name)) << where << " " << wideToUtf8(r.key);
    for (const auto& t : r.tasks) EXPECT_NE(findTask(s, t), nullptr) << where;
  }
  for (const auto& k : s.shortcuts) {
    EXPECT_TRUE(lineOk(k.line)) << where;
    EXPECT_TRUE(isUnderVariable(k.path, L"programs") || isUnderVariable(k.path, L"desktop")) << where;
    for (const auto& t : k.tasks) EXPECT_NE(findTask(s, t), nullptr) << where;
  }
  for (const auto& r : s.runs) {
    EXPECT_TRUE(r.when == L"warmup" || r.when == L"finish") << where;
    EXPECT_TRUE(isUnderVariable(r.file, L"app")) << where;
  }
  for (const auto& n : s.nativeImages) {
    EXPECT_TRUE(n.queueRun || isUnderVariable(n.install, L"app")) << where;
    EXPECT_LE(n.timeout, 86400u) << where;
  }
}

// Each code has its own text; a fault must never come out with another code's words.
bool textFitsCode(int32_t code, const std::wstring& t) {
  auto starts = [&](std::wstring_view p) { return t.compare(0, p.size(), p) == 0 && t.size() > p.size(); };
  switch (code) {
    case kScriptNotUtf8: return t == L"not valid UTF-8";
    case kScriptLineTooLong: return t == L"line too long";
    case kScriptUnknownSection: return starts(L"unknown section ");
    case kScriptUnbalancedQuote: return t == L"unbalanced quote";
    case kScriptExpectedKeyValue: return t == L"expected Key: value";
    case kScriptExpectedNameValue: return t == L"expected Name = value";
    case kScriptUnbalancedBrace: return t == L"unbalanced { or }";
    case kScriptOutsideSection: return t == L"line outside any section";
    case kScriptUnknownKey: return starts(L"unknown key '");
    case kScriptMissingKey: return starts(L"missing required key '");
    case kScriptBadValue: return starts(L"bad value '");
    case kScriptUnknownVariable: return starts(L"unknown variable {");
    case kScriptUnknownTask: return starts(L"unknown task '");
    case kScriptDuplicateSetupKey: return starts(L"duplicate [Setup] key '");
    case kScriptUnknownFlag: return starts(L"unknown flag '");
    case kScriptPathRoot: return t.find(L" must be under {") != std::wstring::npos;
    case kScriptSeedDest: return t == L"seed Dest must be under {docs} or {appdata}";
    case kScriptAppIdNotGuid: return t == L"AppId is not a GUID";
    case kScriptRegistryRefused: return starts(L"[Registry] can't write '");
    default: return false;
  }
}

TEST(ScriptMutation, DamagedScriptsParseOrFailCleanly) {
  const uint64_t seed = envNumber("ZS_MUTATION_SEED", 0x2F5A7C31);
  const uint64_t count = envNumber("ZS_MUTATION_COUNT", 20000);
  const std::string base(referenceScript());
  Mutator mutator(seed);
  std::map<int32_t, uint64_t> codes;
  uint64_t parsed = 0;
  for (uint64_t n = 0; n < count; ++n) {
    std::string text = mutator.mutate(base);
    const std::string where = "seed " + std::to_string(seed) + " variant " + std::to_string(n);
    SetupScript script;
    ScriptError error;
    bool ok = parseSetupScript(text, script, error);
    const int32_t lines = countLines(text);
    if (ok) {
      ++parsed;
      EXPECT_EQ(error.code, 0) << where;
      checkModel(script, lines, where);
    } else {
      ++codes[error.code];
      ASSERT_TRUE(isScriptErrorCode(error.code)) << where << " code " << error.code;
      ASSERT_GE(error.line, 1) << where;
      ASSERT_LE(error.line, lines) << where;
      ASSERT_TRUE(textFitsCode(error.code, error.text)) << where << ": ZS" << error.code << " "
                                                        << wideToUtf8(error.text);
    }
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "first bad " << where;
      return;
    }
  }
  std::printf("mutation: seed %llu, %llu variants, %llu parsed, %llu refused:",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(parsed), static_cast<unsigned long long>(count - parsed));
  for (const auto& [code, n] : codes) std::printf(" ZS%02d=%llu", static_cast<int>(code), static_cast<unsigned long long>(n));
  std::printf("\n");
  // The variants must reach deep into the readers, not stop at the first byte.
  EXPECT_GT(parsed, 0u);
  EXPECT_GE(codes.size(), 12u);
}

TEST(ScriptMutation, RandomBytesFailCleanly) {
  std::mt19937_64 rng(envNumber("ZS_MUTATION_SEED", 0x2F5A7C31) + 1);
  const std::string alphabet = "[]{};:=\"\\ \t\r\nAaZz09_.-*?";
  for (int n = 0; n < 3000; ++n) {
    std::string text;
    size_t len = rng() % 300;
    for (size_t i = 0; i < len; ++i) {
      text.push_back(rng() % 4 == 0 ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()]);
    }
    SetupScript script;
    ScriptError error;
    ASSERT_FALSE(parseSetupScript(text, script, error)) << n;  // nothing random names a valid AppId
    ASSERT_TRUE(isScriptErrorCode(error.code)) << n;
    ASSERT_GE(error.line, 1) << n;
    ASSERT_LE(error.line, countLines(text)) << n;
    ASSERT_TRUE(textFitsCode(error.code, error.text)) << n;
  }
}

}  // namespace
}  // namespace zs::test
