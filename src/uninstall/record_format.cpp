#include "uninstall/record_format.h"

#include "journal/journal_format.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "script/script.h"

namespace zs {

namespace {

constexpr std::wstring_view kApp = L"app";
constexpr std::wstring_view kNgen = L"ngen";
constexpr std::wstring_view kLnk = L"lnk";
constexpr std::wstring_view kReg = L"reg";
constexpr std::wstring_view kKey = L"key";
constexpr std::wstring_view kFile = L"file";
constexpr std::wstring_view kDir = L"dir";

std::vector<std::wstring> splitAt(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::wstring_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

bool hasControlChar(std::wstring_view text, bool tabAllowed) {
  for (wchar_t c : text)
    if ((c < 0x20 || c == 0x7F) && !(tabAllowed && c == L'\t')) return true;
  return false;
}

bool isRecordKey(std::wstring_view key) {
  return !key.empty() && key.find(L"..") == std::wstring_view::npos && key.find(L"\\\\") == std::wstring_view::npos;
}

// A short (8.3) name stands for whatever long name holds it once the file exists, so its text says
// nothing about where it leads: a name of at most eight characters and a three-character extension
// with a "~" in it is taken for one.
bool looksLikeShortName(std::wstring_view component) {
  if (component.find(L'~') == std::wstring_view::npos) return false;
  size_t dot = component.find(L'.');
  std::wstring_view base = component.substr(0, dot);
  std::wstring_view extension = dot == std::wstring_view::npos ? std::wstring_view() : component.substr(dot + 1);
  return base.size() <= 8 && extension.size() <= 3 && extension.find(L'.') == std::wstring_view::npos;
}

// Console devices answer to their names in any folder, just as "con" does.
bool isDeviceName(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  return isReservedDeviceName(component) || equalsNoCase(base, L"conin$") || equalsNoCase(base, L"conout$") ||
         equalsNoCase(base, L"clock$");
}

// Every component of a path, relative or after an absolute path's drive, names a plain long name.
bool componentsArePlain(std::wstring_view path) {
  size_t start = path.size() >= 3 && path[1] == L':' ? 3 : 0;
  while (start <= path.size()) {
    size_t cut = path.find(L'\\', start);
    std::wstring_view comp = path.substr(start, cut == std::wstring_view::npos ? std::wstring_view::npos : cut - start);
    if (looksLikeShortName(comp) || isDeviceName(comp)) return false;
    if (cut == std::wstring_view::npos) return true;
    start = cut + 1;
  }
  return true;
}

// An absolute path exactly as its full form reads: no ".", "..", doubled or trailing separators, no
// short names. Anything else could reach elsewhere than its text suggests.
std::wstring fullPathAsWritten(const std::wstring& text) {
  std::wstring full = normalizePath(text);
  return !full.empty() && equalsNoCase(full, text) && componentsArePlain(full) ? full : std::wstring();
}

// A key an install may have created: one its registry lines may write to, or the Run key that holds
// its start-up value.
bool isRecordKeyAllowed(RegRoot root, std::wstring_view key) {
  return isRegistryWriteAllowed(regRootName(root), key, L"") ||
         (root == RegRoot::Hklm && equalsNoCase(key, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
}

// One line's fields (after the kind) against its kind's rule; fills the record.
bool takeLine(const std::wstring& kind, const std::vector<std::wstring>& f, std::wstring_view location,
              const KnownFolders& folders, bool& haveApp, UninstallRecord& record, std::wstring& reason) {
  // Registry data is compared, never used as a path, and a script's data may hold a tab.
  for (size_t i = 0; i < f.size(); ++i)
    if (hasControlChar(f[i], kind == kReg && i == 5)) return false;
  if (kind == kApp) {
    if (f.size() != 1 || haveApp) return false;
    std::wstring app = fullPathAsWritten(f[0]);
    if (app.empty() || !equalsNoCase(app, normalizePath(location))) {
      reason = L"the record's app line differs from the entry's InstallLocation";
      return false;
    }
    record.app = app;
    haveApp = true;
    return true;
  }
  if (kind == kNgen) {
    if (f.size() != 1 || !haveApp) return false;
    std::wstring path = fullPathAsWritten(f[0]);
    if (path.empty() || !isInside(path, record.app)) return false;
    record.ngen.push_back(path);
    return true;
  }
  if (kind == kLnk) {
    if (f.size() != 1) return false;
    std::wstring path = fullPathAsWritten(f[0]);
    bool placed = !path.empty() && ((!folders.programs.empty() && isInside(path, folders.programs)) ||
                                    (!folders.desktop.empty() && isInside(path, folders.desktop)));
    if (!placed || !endsWithNoCase(path, L".lnk")) return false;
    record.lnk.push_back(path);
    return true;
  }
  if (kind == kReg) {
    if (f.size() != 7) return false;
    RegistryLine line;
    if (!parseRegRoot(f[0], line.root) || !parseRegView(f[1], line.view) || !isRecordKey(f[2])) return false;
    // As for "key" lines: a line the install could not have written means the record is not its own.
    if (!isRegistryWriteAllowed(f[0], f[2], f[3])) return false;
    line.key = f[2];
    line.name = f[3];
    line.type = f[4];
    line.data = f[5];
    line.uninstall = f[6];
    record.reg.push_back(std::move(line));
    return true;
  }
  if (kind == kKey) {
    if (f.size() != 3) return false;
    RegistryKeyRef key;
    if (!parseRegRoot(f[0], key.root) || !parseRegView(f[1], key.view) || !isRecordKey(f[2]) ||
        !isRecordKeyAllowed(key.root, f[2]))
      return false;
    key.key = f[2];
    record.key.push_back(std::move(key));
    return true;
  }
  if (kind == kFile || kind == kDir) {
    if (f.size() != 1 || !isRelativePathOk(f[0], false) || !componentsArePlain(f[0])) return false;
    (kind == kFile ? record.file : record.dir).push_back(f[0]);
    return true;
  }
  return false;
}

std::wstring regRootText(RegRoot root) { return regRootName(root); }

}  // namespace

std::string serializeUninstallRecord(const UninstallRecord& r) {
  std::string out(kUninstallRecordHeader);
  out += journalLine(kApp, {r.app});
  for (const std::wstring& path : r.ngen) out += journalLine(kNgen, {path});
  for (const std::wstring& path : r.lnk) out += journalLine(kLnk, {path});
  for (const RegistryLine& l : r.reg)
    out += journalLine(kReg, {regRootText(l.root), regViewName(l.view), l.key, l.name, l.type, l.data, l.uninstall});
  for (const RegistryKeyRef& k : r.key) out += journalLine(kKey, {regRootText(k.root), regViewName(k.view), k.key});
  for (const std::wstring& path : r.file) out += journalLine(kFile, {path});
  for (const std::wstring& path : r.dir) out += journalLine(kDir, {path});
  return out;
}

bool parseUninstallRecord(std::string_view bytes, std::wstring_view installLocation, const KnownFolders& folders,
                          UninstallRecord& record, std::wstring& reason) {
  record = UninstallRecord{};
  if (bytes.substr(0, kUninstallRecordHeader.size()) != kUninstallRecordHeader) {
    reason = L"the record has a bad header";
    return false;
  }
  std::wstring text = utf8ToWide(bytes.substr(kUninstallRecordHeader.size()));
  bool haveApp = false;
  int32_t number = 1;
  for (const std::wstring& line : splitAt(text, L'\n')) {
    ++number;
    if (line.empty()) continue;
    std::vector<std::wstring> parts = splitAt(line, L'\t');
    for (std::wstring& part : parts) part = unescapeJournalField(part);
    std::wstring kind = parts.front();
    parts.erase(parts.begin());
    reason.clear();
    if (!takeLine(kind, parts, installLocation, folders, haveApp, record, reason)) {
      if (reason.empty()) reason = format(96, L"the record's line %d fails the path rules", number);
      record = UninstallRecord{};
      return false;
    }
  }
  if (!haveApp) {
    reason = L"the record has no app line";
    record = UninstallRecord{};
    return false;
  }
  return true;
}

}  // namespace zs
