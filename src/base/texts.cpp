#include "base/texts.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <memory>

#include "base/text.h"

namespace zs {

namespace {

#define ZS_WIDE_(s) L##s
#define ZS_WIDE(s) ZS_WIDE_(s)

struct KeyRow {
  TextId id;
  const wchar_t* key;
};

constexpr KeyRow kKeys[] = {
#define ZS_TEXT_ROW(name, number) {TextId::name, ZS_WIDE(#name)},
    ZS_TEXT_IDS(ZS_TEXT_ROW)
#undef ZS_TEXT_ROW
};

constexpr size_t kSlots = [] {
  size_t most = 0;
  for (const KeyRow& r : kKeys) most = std::max<size_t>(most, static_cast<size_t>(r.id));
  return most + 1;
}();

size_t slot(TextId id) { return static_cast<size_t>(id); }

// A string table block holds the texts numbered 16 (n - 1) to 16 n - 1, each as a count of UTF-16
// units followed by that many units (no terminator; a count of 0 is no text).
class StringBlocks {
 public:
  explicit StringBlocks(LANGID language) : language_(language) {}

  std::wstring read(uint16_t number) {
    const uint16_t block = static_cast<uint16_t>(number / 16 + 1);
    if (block != block_) load(block);
    if (data_ == nullptr) return {};
    const uint16_t* p = data_;
    const uint16_t* end = data_ + units_;
    for (uint16_t i = 0; i < number % 16; ++i) {
      if (p >= end) return {};
      p += 1 + *p;
    }
    if (p >= end || p + 1 + *p > end) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p);
  }

 private:
  void load(uint16_t block) {
    block_ = block;
    data_ = nullptr;
    units_ = 0;
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language_);
    if (found == nullptr) return;
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) return;
    data_ = static_cast<const uint16_t*>(LockResource(loaded));
    units_ = SizeofResource(module, found) / sizeof(uint16_t);
  }

  LANGID language_;
  uint16_t block_ = 0;
  const uint16_t* data_ = nullptr;
  size_t units_ = 0;
};

struct Table {
  std::wstring tag;
  std::vector<std::wstring> texts;  // by slot; empty where the table has none
};

// The languages the string tables are in, each with its tag, as the LanguageTag text names it.
struct LanguageRow {
  LANGID language;
  std::wstring tag;
};

BOOL CALLBACK addLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR out) {
  reinterpret_cast<std::vector<LANGID>*>(out)->push_back(language);
  return TRUE;
}

std::vector<LanguageRow> languageRows() {
  std::vector<LANGID> found;
  const uint16_t tagNumber = static_cast<uint16_t>(TextId::LanguageTag);
  EnumResourceLanguagesW(GetModuleHandleW(nullptr), RT_STRING, MAKEINTRESOURCEW(tagNumber / 16 + 1), addLanguage,
                         reinterpret_cast<LONG_PTR>(&found));
  std::vector<LanguageRow> rows;
  for (LANGID language : found) {
    std::wstring tag = StringBlocks(language).read(tagNumber);
    if (!tag.empty()) rows.push_back({language, std::move(tag)});
  }
  return rows;
}

Table loadTable(std::wstring_view tag) {
  Table t;
  t.texts.resize(kSlots);
  for (const LanguageRow& row : languageRows()) {
    if (!equalsNoCase(row.tag, tag)) continue;
    t.tag = row.tag;
    StringBlocks blocks(row.language);
    for (const KeyRow& k : kKeys) t.texts[slot(k.id)] = blocks.read(static_cast<uint16_t>(k.id));
    break;
  }
  return t;
}

const Table& englishTable() {
  static const Table english = [] {
    Table t = loadTable(kEnglishTag);
    t.tag = kEnglishTag;
    return t;
  }();
  return english;
}

// The chosen table; none means English.
std::unique_ptr<Table> g_chosen;

const std::wstring& standIn(TextId id) {
  static const std::vector<std::wstring> standIns = [] {
    std::vector<std::wstring> s(kSlots);
    for (const KeyRow& k : kKeys) s[slot(k.id)] = L"{" + std::wstring(k.key) + L"}";
    return s;
  }();
  return standIns[slot(id)];
}

// A number of the list (a TextId made from another number is none).
bool known(TextId id) { return slot(id) < kSlots && !standIn(id).empty(); }

}  // namespace

const std::vector<TextId>& allTextIds() {
  static const std::vector<TextId> ids = [] {
    std::vector<TextId> v;
    for (const KeyRow& k : kKeys) v.push_back(k.id);
    return v;
  }();
  return ids;
}

const wchar_t* textKey(TextId id) {
  for (const KeyRow& k : kKeys)
    if (k.id == id) return k.key;
  return L"";
}

const std::wstring& englishText(TextId id) {
  static const std::wstring none;
  if (!known(id)) return none;
  const std::wstring& s = englishTable().texts[slot(id)];
  return s.empty() ? standIn(id) : s;
}

const std::wstring& text(TextId id) {
  if (g_chosen != nullptr && known(id)) {
    const std::wstring& s = g_chosen->texts[slot(id)];
    if (!s.empty()) return s;
  }
  return englishText(id);
}

std::wstring textf(TextId id, ...) {
  va_list args;
  va_start(args, id);
  std::wstring out = formatV(kMessageCapacity, text(id).c_str(), args);
  va_end(args);
  return out;
}

std::wstring tableText(std::wstring_view tag, TextId id) {
  if (!known(id)) return {};
  return loadTable(tag).texts[slot(id)];
}

std::vector<std::wstring> availableLanguages() {
  std::vector<std::wstring> tags;
  for (LanguageRow& row : languageRows()) tags.push_back(std::move(row.tag));
  return tags;
}

std::wstring windowsLanguageTag() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  LCID lcid = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
  if (LCIDToLocaleName(lcid, name, LOCALE_NAME_MAX_LENGTH, 0) == 0) return {};
  return name;
}

bool useLanguage(std::wstring_view tag) {
  Table t = loadTable(tag);
  if (t.tag.empty()) return false;
  g_chosen = std::make_unique<Table>(std::move(t));
  return true;
}

const std::wstring& currentLanguage() { return g_chosen != nullptr ? g_chosen->tag : englishTable().tag; }

LanguageChoice chooseProcessLanguage(bool switchGiven, std::wstring_view switchTag) {
  LanguageChoice choice = chooseLanguage(switchGiven, switchTag, windowsLanguageTag(), availableLanguages());
  if (!useLanguage(choice.tag)) g_chosen.reset();
  return choice;
}

}  // namespace zs
