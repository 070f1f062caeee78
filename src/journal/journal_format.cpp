#include "journal/journal_format.h"

#include "base/text.h"

namespace zs {

std::wstring escapeJournalField(std::wstring_view field) {
  std::wstring out;
  out.reserve(field.size());
  for (wchar_t c : field) {
    switch (c) {
      case L'%': out += L"%25"; break;
      case L'\r': out += L"%0D"; break;
      case L'\n': out += L"%0A"; break;
      case L'\t': out += L"%09"; break;
      default: out += c;
    }
  }
  return out;
}

std::wstring unescapeJournalField(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'%' && i + 2 < text.size()) {
      std::wstring_view code = text.substr(i + 1, 2);
      wchar_t decoded = 0;
      if (code == L"25") decoded = L'%';
      else if (code == L"0D") decoded = L'\r';
      else if (code == L"0A") decoded = L'\n';
      else if (code == L"09") decoded = L'\t';
      if (decoded != 0) {
        out += decoded;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string journalLine(std::wstring_view kind, const std::vector<std::wstring>& fields) {
  std::wstring line(kind);
  for (const std::wstring& field : fields) {
    line += L'\t';
    line += escapeJournalField(field);
  }
  line += L'\n';
  return wideToUtf8(line);
}

JournalRecord parseJournalLine(std::string_view raw, int32_t number) {
  JournalRecord record;
  record.number = number;
  std::wstring text;
  record.textValid = utf8ToWideStrict(raw, text);
  if (!record.textValid) text = utf8ToWide(raw);
  size_t start = 0;
  bool first = true;
  for (;;) {
    size_t tab = text.find(L'\t', start);
    std::wstring_view part = std::wstring_view(text).substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start);
    if (first) {
      record.kind = part;
      first = false;
    } else {
      record.fields.push_back(unescapeJournalField(part));
    }
    if (tab == std::wstring::npos) break;
    start = tab + 1;
  }
  return record;
}

bool takeBeginFields(const JournalRecord& record, JournalImage& image) {
  if (record.kind != journal_kind::kBegin || record.fields.size() != 5) return false;
  image.appVersion = record.fields[0];
  image.mode = record.fields[1];
  image.installFolder = record.fields[2];
  image.oldInstallFolder = record.fields[3];
  image.runSuffix = record.fields[4];
  return true;
}

JournalState parseJournal(std::string_view bytes, JournalImage& image) {
  image = JournalImage{};
  if (bytes.substr(0, kJournalHeader.size()) != kJournalHeader) return JournalState::Invalid;
  size_t pos = kJournalHeader.size();
  image.validLength = pos;
  int32_t number = 0;
  for (;;) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) break;  // a torn last write
    const std::string_view raw = bytes.substr(pos, end - pos);
    // No record is ever written with a zero byte in it, and a record is flushed before the next is
    // written, so only the last one can have been on its way to the disk when the power went: a
    // zero there is a block of it that never arrived, while a later block (with the line feed) did.
    if (end + 1 == bytes.size() && raw.find('\0') != std::string_view::npos) break;
    JournalRecord record = parseJournalLine(raw, ++number);
    if (record.kind == journal_kind::kCommit) image.committed = true;
    if (record.kind == journal_kind::kEnd) image.ended = true;
    image.records.push_back(std::move(record));
    pos = end + 1;
    image.validLength = pos;
  }
  if (image.records.empty()) return JournalState::Valid;
  return takeBeginFields(image.records.front(), image) ? JournalState::Valid : JournalState::Invalid;
}

bool isTornJournalHeader(std::string_view bytes) {
  if (bytes.size() > kJournalHeader.size()) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != kJournalHeader[i] && bytes[i] != '\0') return false;
  }
  return true;
}

bool parseJournalNumber(std::wstring_view text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    uint64_t digit = static_cast<uint64_t>(c - L'0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

}  // namespace zs
