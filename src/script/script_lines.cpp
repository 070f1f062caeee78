#include "script/script_lines.h"

#include "base/text.h"

namespace zs::script {

namespace {

// How many code units of white space start at s[i] (0 when none).
size_t whiteAt(std::wstring_view s, size_t i) { return isWhite(s[i]) ? 1 : 0; }

size_t whiteAt(std::string_view s, size_t i) {
  const char c = s[i];
  if (c == '\t' || c == '\n' || c == '\r' || c == ' ') return 1;
  return s.compare(i, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

std::wstring_view trimmed(std::wstring_view s) { return trimWhite(s); }
std::string_view trimmed(std::string_view s) { return trimUtf8White(s); }

template <typename Char>
bool isNameChar(Char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

template <typename Char>
class PairReader {
 public:
  using View = std::basic_string_view<Char>;
  explicit PairReader(View line) : s_(line) {}

  LineFault read(std::vector<BasicPair<Char>>& pairs) {
    pairs.clear();
    for (;;) {
      skipWhite();
      if (i_ >= s_.size()) return LineFault::None;
      BasicPair<Char> pair;
      if (!readKey(pair.key)) return LineFault::ExpectedKeyValue;
      const LineFault fault = at('"') ? readQuoted(pair.value) : readPlain(pair.value);
      if (fault != LineFault::None) return fault;
      pairs.push_back(std::move(pair));
      if (at(';')) ++i_;
    }
  }

 private:
  bool at(char c) const { return i_ < s_.size() && s_[i_] == static_cast<Char>(c); }

  void skipWhite() {
    while (i_ < s_.size()) {
      const size_t w = whiteAt(s_, i_);
      if (w == 0) return;
      i_ += w;
    }
  }

  // The key, the ":" after it and the white space around that.
  bool readKey(std::basic_string<Char>& key) {
    const size_t start = i_;
    while (i_ < s_.size() && isNameChar(s_[i_])) ++i_;
    if (i_ == start) return false;
    key.assign(s_.substr(start, i_ - start));
    skipWhite();
    if (!at(':')) return false;
    ++i_;
    skipWhite();
    return true;
  }

  // Up to the next lone quote; then only white space before the ";" or the end.
  LineFault readQuoted(std::basic_string<Char>& value) {
    ++i_;
    for (;;) {
      if (i_ >= s_.size()) return LineFault::UnbalancedQuote;
      if (at('"')) {
        ++i_;
        if (!at('"')) break;
      }
      value.push_back(s_[i_++]);
    }
    skipWhite();
    return i_ < s_.size() && !at(';') ? LineFault::ExpectedKeyValue : LineFault::None;
  }

  LineFault readPlain(std::basic_string<Char>& value) {
    const size_t start = i_;
    while (i_ < s_.size() && !at(';')) ++i_;
    value.assign(trimmed(s_.substr(start, i_ - start)));
    return LineFault::None;
  }

  View s_;
  size_t i_ = 0;
};

template <typename Char>
LineFault splitNameValueOf(std::basic_string_view<Char> line, std::basic_string_view<Char>& name,
                           std::basic_string_view<Char>& value) {
  const size_t eq = line.find(static_cast<Char>('='));
  if (eq == std::basic_string_view<Char>::npos) return LineFault::ExpectedNameValue;
  const std::basic_string_view<Char> n = trimmed(line.substr(0, eq));
  if (n.empty()) return LineFault::ExpectedNameValue;
  for (Char c : n) {
    if (!isNameChar(c)) return LineFault::ExpectedNameValue;
  }
  std::basic_string_view<Char> v = trimmed(line.substr(eq + 1));
  if (v.size() >= 2 && v.front() == static_cast<Char>('"') && v.back() == static_cast<Char>('"')) {
    v = v.substr(1, v.size() - 2);
  }
  name = n;
  value = v;
  return LineFault::None;
}

}  // namespace

const char* lineFaultText(LineFault fault) {
  switch (fault) {
    case LineFault::UnbalancedQuote: return "unbalanced quote";
    case LineFault::ExpectedKeyValue: return "expected Key: value";
    case LineFault::ExpectedNameValue: return "expected Name = value";
    case LineFault::None: break;
  }
  return "";
}

LineFault splitKeyValues(std::wstring_view line, std::vector<Pair>& pairs) {
  return PairReader<wchar_t>(line).read(pairs);
}

LineFault splitKeyValues(std::string_view line, std::vector<Utf8Pair>& pairs) {
  return PairReader<char>(line).read(pairs);
}

LineFault splitNameValue(std::wstring_view line, std::wstring_view& name, std::wstring_view& value) {
  return splitNameValueOf(line, name, value);
}

LineFault splitNameValue(std::string_view line, std::string_view& name, std::string_view& value) {
  return splitNameValueOf(line, name, value);
}

std::string_view trimUtf8White(std::string_view s) {
  for (;;) {
    if (!s.empty() && whiteAt(s, 0) > 0) {
      s.remove_prefix(whiteAt(s, 0));
    } else if (s.size() >= 3 && whiteAt(s, s.size() - 3) == 3) {
      s.remove_suffix(3);
    } else if (!s.empty() && whiteAt(s, s.size() - 1) == 1) {
      s.remove_suffix(1);
    } else {
      return s;
    }
  }
}

}  // namespace zs::script
