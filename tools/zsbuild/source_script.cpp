#include "source_script.h"

#include <map>

#include "base/text.h"
#include "script/script_lines.h"

namespace zs::build {

namespace {

using script::LineFault;
using script::Utf8Pair;

bool isWhiteByte(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

bool sameNoCase(std::string_view a, std::string_view b) { return equalsNoCase(utf8ToWide(a), utf8ToWide(b)); }

std::vector<std::string> wordList(std::string_view value) {
  std::vector<std::string> words;
  std::string current;
  for (char c : value) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!current.empty()) words.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) words.push_back(current);
  return words;
}

// Replaces every "{#Name}" by its definition.
bool substitute(std::string_view line, const std::map<std::string, std::string>& defines, std::string& out,
                std::string& error) {
  out.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line.compare(i, 2, "{#") == 0) {
      const size_t close = line.find('}', i + 2);
      if (close == std::string_view::npos) {
        error = "unbalanced {# in a define reference";
        return false;
      }
      const std::string name(line.substr(i + 2, close - i - 2));
      const auto found = defines.find(name);
      if (found == defines.end()) {
        error = "unknown define {#" + name + "}";
        return false;
      }
      out += found->second;
      i = close + 1;
    } else {
      out.push_back(line[i++]);
    }
  }
  return true;
}

enum class Section { None, Define, Setup, Files, Other };

// One reading of a source script: where it stands and what it has gathered.
struct Reader {
  SourceScript& script;
  Fault& fault;
  const std::vector<std::pair<std::string, std::string>>& given;
  std::map<std::string, std::string> defines;
  Section section = Section::None;
  int line = 0;

  bool fail(std::string text) {
    fault = {line, std::move(text)};
    return false;
  }
  void addItem(bool header, std::string text, int fileSource = -1) {
    script.items.push_back({line, header, std::move(text), fileSource});
  }
};

void readHeader(Reader& r, const std::string& expanded) {
  const std::string_view name = expanded.back() == ']'
      ? script::trimUtf8White(std::string_view(expanded).substr(1, expanded.size() - 2)) : std::string_view();
  if (sameNoCase(name, "Define")) {
    r.section = Section::Define;
    return;
  }
  r.section = sameNoCase(name, "Setup") ? Section::Setup : sameNoCase(name, "Files") ? Section::Files : Section::Other;
  r.addItem(true, expanded);
  if (r.section == Section::Files) r.script.lastFilesItem = static_cast<int>(r.script.items.size()) - 1;
}

// A [Define] line; a name given from outside keeps its value.
bool readDefine(Reader& r, std::string_view line) {
  std::string_view name, value;
  if (script::splitNameValue(line, name, value) != LineFault::None) return r.fail("expected Name = value");
  bool fromOutside = false;
  for (const auto& g : r.given) fromOutside = fromOutside || g.first == name;
  if (!fromOutside && !r.defines.emplace(std::string(name), std::string(value)).second) {
    return r.fail("duplicate define '" + std::string(name) + "'");
  }
  return true;
}

// A [Setup] key only the builder reads; true when the line was one (it stays out of the payload).
bool takeBuilderKey(Reader& r, std::string_view line) {
  std::string_view name, value;
  if (script::splitNameValue(line, name, value) != LineFault::None) return false;
  std::string* builderKey = sameNoCase(name, "LicenseFile") ? &r.script.licenseFile
      : sameNoCase(name, "Output") ? &r.script.output
      : sameNoCase(name, "Sign") ? &r.script.sign : nullptr;
  if (builderKey == nullptr) return false;
  builderKey->assign(value);
  return true;
}

// "recurse" is the builder's; every other flag goes on into the embedded script.
void takeFlags(std::string_view value, FileSource& entry) {
  for (const std::string& word : wordList(value)) {
    if (sameNoCase(word, "recurse")) {
      entry.recurse = true;
    } else {
      entry.flags.push_back(word);
    }
  }
}

// Fills a [Files] entry from its pairs; as in the setup's parser, the first occurrence of a key
// counts. On a fault returns its text.
std::string fileSourceFromPairs(const std::vector<Utf8Pair>& pairs, FileSource& entry) {
  bool haveSource = false, haveDest = false, haveFlags = false, haveExcludes = false;
  for (const Utf8Pair& p : pairs) {
    if (sameNoCase(p.key, "Source")) {
      if (!haveSource) entry.source = p.value;
      haveSource = true;
    } else if (sameNoCase(p.key, "Dest")) {
      if (!haveDest) entry.dest = p.value;
      haveDest = true;
    } else if (sameNoCase(p.key, "Flags")) {
      if (!haveFlags) takeFlags(p.value, entry);
      haveFlags = true;
    } else if (sameNoCase(p.key, "Excludes")) {
      if (!haveExcludes) entry.excludes = wordList(p.value);
      haveExcludes = true;
    } else if (sameNoCase(p.key, "Off") || sameNoCase(p.key, "Size") || sameNoCase(p.key, "Sha")) {
      return "Off, Size and Sha are the builder's to write; give Source instead";
    } else {
      return "unknown key '" + p.key + "' in [Files]";
    }
  }
  if (!haveSource || entry.source.empty()) return "missing required key 'Source'";
  if (!haveDest || entry.dest.empty()) return "missing required key 'Dest'";
  if (haveExcludes && !entry.recurse) return "Excludes needs a folder Source with Flags: recurse";
  return {};
}

// A [Files] line: its place in the script stands for the lines of the files it names.
bool readFilesLine(Reader& r, std::string_view line) {
  std::vector<Utf8Pair> pairs;
  const LineFault shape = script::splitKeyValues(line, pairs);
  if (shape != LineFault::None) return r.fail(script::lineFaultText(shape));
  FileSource entry;
  entry.line = r.line;
  const std::string error = fileSourceFromPairs(pairs, entry);
  if (!error.empty()) return r.fail(error);
  r.script.files.push_back(std::move(entry));
  r.addItem(false, std::string(), static_cast<int>(r.script.files.size()) - 1);
  r.script.lastFilesItem = static_cast<int>(r.script.items.size()) - 1;
  return true;
}

// One trimmed, non-empty line that is no comment.
bool readLine(Reader& r, std::string_view line) {
  std::string expanded;
  std::string error;
  if (!substitute(line, r.defines, expanded, error)) return r.fail(error);
  if (expanded.front() == '[') {
    readHeader(r, expanded);
    return true;
  }
  if (r.section == Section::Define) return readDefine(r, expanded);
  if (r.section == Section::Setup && takeBuilderKey(r, expanded)) return true;
  if (r.section == Section::Files) return readFilesLine(r, expanded);
  r.addItem(false, std::move(expanded));
  return true;
}

}  // namespace

std::string quoteValue(std::string_view value) {
  const bool needsQuotes = value.find(';') != std::string_view::npos || (!value.empty() && value.front() == '"') ||
                           (!value.empty() && (isWhiteByte(value.front()) || isWhiteByte(value.back())));
  if (!needsQuotes) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

bool readSourceScript(std::string_view text, SourceScript& script, Fault& fault,
                      const std::vector<std::pair<std::string, std::string>>& given) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Reader reader{script, fault, given, {given.begin(), given.end()}};
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t lf = text.find('\n', pos);
    std::string_view raw = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    pos = lf == std::string_view::npos ? text.size() + 1 : lf + 1;
    ++reader.line;
    if (lf != std::string_view::npos && pos == text.size()) pos = text.size() + 1;  // a final LF adds no line
    const std::string_view line = script::trimUtf8White(raw);
    if (line.empty() || line.front() == ';') continue;
    if (!readLine(reader, line)) return false;
  }
  return true;
}

}  // namespace zs::build
