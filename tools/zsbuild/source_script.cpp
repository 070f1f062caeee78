#include "source_script.h"

#include <map>

#include "base/text.h"

namespace zs::build {

namespace {

bool isWhiteByte(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

std::string_view trim(std::string_view s) {
  // U+FEFF (EF BB BF) counts as white space too.
  for (;;) {
    if (!s.empty() && isWhiteByte(s.front())) {
      s.remove_prefix(1);
    } else if (s.size() >= 3 && s.substr(0, 3) == "\xEF\xBB\xBF") {
      s.remove_prefix(3);
    } else {
      break;
    }
  }
  for (;;) {
    if (!s.empty() && isWhiteByte(s.back())) {
      s.remove_suffix(1);
    } else if (s.size() >= 3 && s.substr(s.size() - 3) == "\xEF\xBB\xBF") {
      s.remove_suffix(3);
    } else {
      break;
    }
  }
  return s;
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool sameNoCase(std::string_view a, std::string_view b) { return equalsNoCase(utf8ToWide(a), utf8ToWide(b)); }

// Name = value, with the value's one outer pair of quotes removed.
bool splitNameValue(std::string_view line, std::string& name, std::string& value) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view n = trim(line.substr(0, eq));
  if (n.empty()) return false;
  for (char c : n) {
    if (!isNameChar(c)) return false;
  }
  std::string_view v = trim(line.substr(eq + 1));
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  name.assign(n);
  value.assign(v);
  return true;
}

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

}  // namespace

bool splitKeyValues(std::string_view line, std::vector<KeyValue>& pairs, std::string& error) {
  pairs.clear();
  size_t i = 0;
  auto skipWhite = [&] {
    while (i < line.size() && isWhiteByte(line[i])) ++i;
  };
  for (;;) {
    skipWhite();
    if (i >= line.size()) return true;
    const size_t keyStart = i;
    while (i < line.size() && isNameChar(line[i])) ++i;
    if (i == keyStart) {
      error = "expected Key: value";
      return false;
    }
    KeyValue pair;
    pair.key.assign(line.substr(keyStart, i - keyStart));
    skipWhite();
    if (i >= line.size() || line[i] != ':') {
      error = "expected Key: value";
      return false;
    }
    ++i;
    skipWhite();
    if (i < line.size() && line[i] == '"') {
      ++i;
      for (;;) {
        if (i >= line.size()) {
          error = "unbalanced quote";
          return false;
        }
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            pair.value.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        pair.value.push_back(line[i++]);
      }
      skipWhite();
      if (i < line.size() && line[i] != ';') {
        error = "expected Key: value";
        return false;
      }
    } else {
      const size_t end = line.find(';', i);
      const size_t stop = end == std::string_view::npos ? line.size() : end;
      pair.value.assign(trim(line.substr(i, stop - i)));
      i = stop;
    }
    pairs.push_back(std::move(pair));
    if (i < line.size() && line[i] == ';') ++i;
  }
}

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
  std::map<std::string, std::string> defines(given.begin(), given.end());
  enum class Section { None, Define, Setup, Files, Other } section = Section::None;
  int lineNumber = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t lf = text.find('\n', pos);
    std::string_view raw = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    pos = lf == std::string_view::npos ? text.size() + 1 : lf + 1;
    ++lineNumber;
    if (lf != std::string_view::npos && pos == text.size()) pos = text.size() + 1;  // a final LF adds no line
    const std::string_view line = trim(raw);
    if (line.empty() || line.front() == ';') continue;

    std::string expanded;
    std::string error;
    if (!substitute(line, defines, expanded, error)) {
      fault = {lineNumber, error};
      return false;
    }

    if (expanded.front() == '[') {
      const std::string_view name = expanded.back() == ']'
          ? trim(std::string_view(expanded).substr(1, expanded.size() - 2)) : std::string_view();
      if (sameNoCase(name, "Define")) {
        section = Section::Define;
        continue;
      }
      section = sameNoCase(name, "Setup") ? Section::Setup : sameNoCase(name, "Files") ? Section::Files : Section::Other;
      script.items.push_back({lineNumber, true, expanded, -1});
      if (section == Section::Files) script.lastFilesItem = static_cast<int>(script.items.size()) - 1;
      continue;
    }

    if (section == Section::Define) {
      std::string name, value;
      if (!splitNameValue(expanded, name, value)) {
        fault = {lineNumber, "expected Name = value"};
        return false;
      }
      bool fromOutside = false;
      for (const auto& g : given) fromOutside = fromOutside || g.first == name;
      if (!fromOutside && !defines.emplace(name, value).second) {
        fault = {lineNumber, "duplicate define '" + name + "'"};
        return false;
      }
      continue;
    }

    if (section == Section::Setup) {
      std::string name, value;
      if (splitNameValue(expanded, name, value)) {
        std::string* builderKey = sameNoCase(name, "LicenseFile") ? &script.licenseFile
            : sameNoCase(name, "Output") ? &script.output
            : sameNoCase(name, "Sign") ? &script.sign : nullptr;
        if (builderKey != nullptr) {
          *builderKey = value;
          continue;
        }
      }
    }

    if (section == Section::Files) {
      std::vector<KeyValue> pairs;
      if (!splitKeyValues(expanded, pairs, error)) {
        fault = {lineNumber, error};
        return false;
      }
      FileSource entry;
      entry.line = lineNumber;
      bool haveSource = false, haveDest = false, haveFlags = false, haveExcludes = false;
      for (const KeyValue& p : pairs) {
        // As in the setup's parser, the first occurrence of a key counts.
        if (sameNoCase(p.key, "Source")) {
          if (!haveSource) entry.source = p.value;
          haveSource = true;
        } else if (sameNoCase(p.key, "Dest")) {
          if (!haveDest) entry.dest = p.value;
          haveDest = true;
        } else if (sameNoCase(p.key, "Flags")) {
          if (!haveFlags) {
            for (const std::string& word : wordList(p.value)) {
              if (sameNoCase(word, "recurse")) {
                entry.recurse = true;
              } else {
                entry.flags.push_back(word);
              }
            }
          }
          haveFlags = true;
        } else if (sameNoCase(p.key, "Excludes")) {
          if (!haveExcludes) entry.excludes = wordList(p.value);
          haveExcludes = true;
        } else if (sameNoCase(p.key, "Off") || sameNoCase(p.key, "Size") || sameNoCase(p.key, "Sha")) {
          fault = {lineNumber, "Off, Size and Sha are the builder's to write; give Source instead"};
          return false;
        } else {
          fault = {lineNumber, "unknown key '" + p.key + "' in [Files]"};
          return false;
        }
      }
      if (!haveSource || entry.source.empty()) {
        fault = {lineNumber, "missing required key 'Source'"};
        return false;
      }
      if (!haveDest || entry.dest.empty()) {
        fault = {lineNumber, "missing required key 'Dest'"};
        return false;
      }
      if (haveExcludes && !entry.recurse) {
        fault = {lineNumber, "Excludes needs a folder Source with Flags: recurse"};
        return false;
      }
      script.files.push_back(std::move(entry));
      script.items.push_back({lineNumber, false, std::string(), static_cast<int>(script.files.size()) - 1});
      script.lastFilesItem = static_cast<int>(script.items.size()) - 1;
      continue;
    }

    script.items.push_back({lineNumber, false, expanded, -1});
  }
  return true;
}

}  // namespace zs::build
