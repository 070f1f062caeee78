// Cutting the script text into lines, sections and values.
#include <climits>
#include <cstring>

#include "base/braces.h"
#include "base/text.h"
#include "script/script.h"
#include "script/script_lines.h"
#include "script/script_reader.h"
#include "base/paths.h"
#include "script/script_values.h"

namespace zs {

using script::Pair;
using script::ParserState;
using script::Section;

namespace {

constexpr size_t kMaxLineUnits = 4096;
// A UTF-8 sequence yields one UTF-16 unit per at most 3 bytes, so a valid line longer than this
// in bytes is certainly too long; such a line is only validated, never decoded.
constexpr size_t kMaxDecodedBytes = kMaxLineUnits * 3;

struct SectionName {
  std::wstring_view name;
  Section section;
};

constexpr SectionName kSections[] = {
    {L"Setup", Section::Setup},         {L"Tasks", Section::Tasks},
    {L"Dirs", Section::Dirs},           {L"Files", Section::Files},
    {L"Registry", Section::Registry},   {L"Shortcuts", Section::Shortcuts},
    {L"NativeImages", Section::NativeImages}, {L"Run", Section::Run},
    {L"Legacy", Section::Legacy},
};

// A character beyond U+FFFF is one wchar_t on the host but two UTF-16 units on Windows; the line
// limit counts UTF-16 units in both builds.
template <typename Char>
size_t utf16Units(const std::basic_string<Char>& s) {
  size_t n = s.size();
  if constexpr (sizeof(Char) > 2) {
    for (Char c : s) {
      if (static_cast<uint32_t>(c) >= 0x10000) ++n;
    }
  }
  return n;
}

// Validates a long line piece by piece so that memory stays small whatever its length. A piece
// always ends before a byte that cannot continue a sequence, so every sequence lies wholly inside
// one piece and each piece is valid exactly when its part of the line is.
bool isValidUtf8Chunked(std::string_view s) {
  constexpr size_t kPiece = 16384;
  std::wstring scratch;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = pos + kPiece;
    if (end >= s.size()) {
      end = s.size();
    } else {
      size_t limit = end + 4;
      while (end < limit && end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
      // Four continuation bytes in a row can never be valid.
      if (end == limit) return false;
    }
    if (!utf8ToWideStrict(s.substr(pos, end - pos), scratch)) return false;
    pos = end;
  }
  return true;
}

bool decodeLine(ParserState& st, std::string_view raw, std::wstring& line) {
  if (std::memchr(raw.data(), 0, raw.size()) != nullptr) {
    return st.fail(kScriptNotUtf8, L"not valid UTF-8");
  }
  if (raw.size() > kMaxDecodedBytes) {
    if (!isValidUtf8Chunked(raw)) return st.fail(kScriptNotUtf8, L"not valid UTF-8");
    return st.fail(kScriptLineTooLong, L"line too long");
  }
  if (!utf8ToWideStrict(raw, line)) return st.fail(kScriptNotUtf8, L"not valid UTF-8");
  if (utf16Units(line) > kMaxLineUnits) return st.fail(kScriptLineTooLong, L"line too long");
  return true;
}

bool readHeader(ParserState& st, std::wstring_view trimmed) {
  if (trimmed.back() != L']') {
    return st.fail(kScriptUnknownSection, L"unknown section " + std::wstring(trimmed));
  }
  std::wstring_view name = trimWhite(trimmed.substr(1, trimmed.size() - 2));
  for (const SectionName& s : kSections) {
    if (equalsNoCase(name, s.name)) {
      st.section = s.section;
      if (s.section == Section::Setup) {
        st.setupHeaderSeen = true;
        st.script.setup.setupLine = st.line;
      }
      return true;
    }
  }
  return st.fail(kScriptUnknownSection, L"unknown section [" + std::wstring(name) + L"]");
}

bool failOnShape(ParserState& st, script::LineFault fault) {
  return st.fail(static_cast<int32_t>(fault), utf8ToWide(script::lineFaultText(fault)));
}

bool readNameValue(ParserState& st, std::wstring_view s) {
  std::wstring_view name, value;
  const script::LineFault fault = script::splitNameValue(s, name, value);
  if (fault != script::LineFault::None) return failOnShape(st, fault);
  return script::readSetupLine(st, name, value);
}

bool readContentLine(ParserState& st, std::wstring_view trimmed) {
  if (st.section == Section::None) return st.fail(kScriptOutsideSection, L"line outside any section");
  if (st.section == Section::Setup) return readNameValue(st, trimmed);
  std::vector<Pair> pairs;
  const script::LineFault fault = script::splitKeyValues(trimmed, pairs);
  if (fault != script::LineFault::None) return failOnShape(st, fault);
  for (Pair& p : pairs) {
    std::wstring expanded;
    if (!expandParseTime(p.value, false, expanded, st.error)) {
      st.error.line = st.line;
      return false;
    }
    p.value = std::move(expanded);
  }
  return script::readListLine(st, pairs);
}

// A path variable is written in lower case; {file} is known only where the caller allows it.
bool appendKnownVariable(std::wstring_view name, bool allowFileVariable, std::wstring& out) {
  for (std::wstring_view var : kPathVariables) {
    if (equalsNoCase(name, var)) {
      out.push_back(L'{');
      out.append(var);
      out.push_back(L'}');
      return true;
    }
  }
  if (!allowFileVariable || !equalsNoCase(name, L"file")) return false;
  out.append(L"{file}");
  return true;
}

}  // namespace

bool isScriptErrorCode(int32_t code) {
  switch (code) {
    case kScriptNotUtf8: case kScriptLineTooLong: case kScriptUnknownSection:
    case kScriptUnbalancedQuote: case kScriptExpectedKeyValue: case kScriptExpectedNameValue:
    case kScriptUnbalancedBrace: case kScriptOutsideSection: case kScriptUnknownKey:
    case kScriptMissingKey: case kScriptBadValue: case kScriptUnknownVariable:
    case kScriptUnknownTask: case kScriptDuplicateSetupKey: case kScriptUnknownFlag:
    case kScriptPathRoot: case kScriptSeedDest: case kScriptAppIdNotGuid:
    case kScriptRegistryRefused:
      return true;
    default:
      return false;
  }
}

bool expandParseTime(std::wstring_view value, bool allowFileVariable, std::wstring& out,
                     ScriptError& error) {
  out.clear();
  out.reserve(value.size());
  size_t i = 0;
  while (i < value.size()) {
    const BracePiece piece = scanBraces(value, i);
    switch (piece.token) {
      case BraceToken::DoubledOpen:
      case BraceToken::DoubledClose:
        out.append(value.substr(i, 2));
        break;
      case BraceToken::LoneOpen:
      case BraceToken::LoneClose:
        error.code = kScriptUnbalancedBrace;
        error.text = L"unbalanced { or }";
        return false;
      case BraceToken::Reference:
        if (!appendKnownVariable(piece.name, allowFileVariable, out)) {
          error.code = kScriptUnknownVariable;
          error.text = L"unknown variable {" + std::wstring(piece.name) + L"}";
          return false;
        }
        break;
      case BraceToken::Char:
        out.push_back(value[i]);
        break;
    }
    i += piece.length;
  }
  return true;
}

bool ScriptParser::parse(std::string_view bytes, SetupScript& script, ScriptError& error) {
  script = SetupScript{};
  error = ScriptError{};
  ParserState st{script, error};

  // Line numbers are 32-bit; no real script comes near this size.
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
    return st.failAt(1, kScriptLineTooLong, L"line too long");
  }
  size_t pos = 0;
  if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
      static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF) {
    pos = 3;
  }
  std::wstring line;
  while (true) {
    size_t lf = bytes.find('\n', pos);
    size_t end = lf == std::string_view::npos ? bytes.size() : lf;
    ++st.line;
    std::string_view raw = bytes.substr(pos, end - pos);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (!decodeLine(st, raw, line)) return false;
    std::wstring_view trimmed = trimWhite(line);
    if (!trimmed.empty() && trimmed.front() != L';') {
      bool ok = trimmed.front() == L'[' ? readHeader(st, trimmed) : readContentLine(st, trimmed);
      if (!ok) return false;
    }
    if (lf == std::string_view::npos || lf + 1 == bytes.size()) break;
    pos = lf + 1;
  }
  return script::checkEndOfScript(st, st.line);
}

bool parseSetupScript(std::string_view bytes, SetupScript& script, ScriptError& error) {
  ScriptParser parser;
  return parser.parse(bytes, script, error);
}

namespace script {

bool ParserState::fail(int32_t code, std::wstring text) { return failAt(line, code, std::move(text)); }

bool ParserState::failAt(int32_t atLine, int32_t code, std::wstring text) {
  error.line = atLine;
  error.code = code;
  error.text = std::move(text);
  return false;
}

std::wstring badValueText(std::wstring_view value, std::wstring_view key) {
  std::wstring t = L"bad value '";
  t.append(value);
  t.append(L"' for ");
  t.append(key);
  return t;
}

}  // namespace script

}  // namespace zs
