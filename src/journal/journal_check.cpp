#include "journal/journal_check.h"

#include "journal/record_kinds.h"
#include "base/paths.h"

#ifdef _WIN32
#include "base/log.h"
#include "ngen/ngen.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#endif

namespace zs {

namespace {

bool isHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

}  // namespace

bool isJournalPath(std::wstring_view path) {
  if (path.size() > kMaxJournalPathChars) return false;
  if (path.size() > 3 && isDrivePath(path)) return isRelativePathOk(path.substr(3), false);
  if (path.size() >= 5 && path[0] == L'\\' && path[1] == L'\\') return isRelativePathOk(path.substr(2), false);
  return false;
}

bool isRunSuffix(std::wstring_view suffix) {
  if (suffix.size() != 17 || suffix[0] != L'-') return false;
  for (wchar_t c : suffix.substr(1)) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

bool isEntryName(std::wstring_view name) {
  if (name.size() < 38 || name[0] != L'{' || name.find(L'\\') != std::wstring_view::npos) return false;
  std::wstring_view guid = name.substr(1, 36);
  for (size_t i = 0; i < guid.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? guid[i] != L'-' : !isHex(guid[i])) return false;
  }
  return true;
}

std::wstring uninstallEntryKey(std::wstring_view entryName) {
  return L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + std::wstring(entryName);
}

void setBeginScope(JournalScope& s, const JournalImage& image) {
  s.installFolder = normalizePath(image.installFolder);
  s.oldInstallFolder = normalizePath(image.oldInstallFolder);
  s.runSuffix = image.runSuffix;
}

bool recordPassesCheck(const JournalRecord& record, const JournalScope& scope) {
  const RecordKind* kind = findRecordKind(record.kind);
  return kind != nullptr && record.textValid && record.fields.size() == kind->fieldCount &&
         (record.number == 1) == (record.kind == journal_kind::kBegin) && kind->passes(record, scope);
}

#ifdef _WIN32

JournalScope makeJournalScope(const JournalImage& image, const KnownFolders& f, std::wstring_view appId) {
  JournalScope s;
  setBeginScope(s, image);
  s.programs = normalizePath(f.programs);
  s.desktop = normalizePath(f.desktop);
  s.docs = normalizePath(f.docs);
  s.appdata = normalizePath(f.appdata);
  s.setupdata = normalizePath(f.setupdata);
  s.win = normalizePath(f.win);
  s.pf = normalizePath(f.pf);
  s.pf32 = normalizePath(f.pf32);
  s.userFoldersKnown = f.userFoldersKnown;
  if (!s.userFoldersKnown) {
    s.docs.clear();
    s.appdata.clear();
  }
  if (!appId.empty()) s.ownEntryKey = uninstallEntryKey(L"{" + std::wstring(appId) + L"}");
  // A journal may have been written on this Windows under any of its .NET folders: each
  // architecture's choice, as if its ngen.exe were there.
  for (NativeArch arch : {NativeArch::X86, NativeArch::X64, NativeArch::Arm64}) {
    std::wstring ngen = chooseNgen(s.win, arch, [](const std::wstring&) { return true; });
    if (!ngen.empty()) s.ngenPaths.push_back(std::move(ngen));
  }
  return s;
}

bool checkJournalPaths(const JournalImage& image, const JournalScope& scope, const KnownFolders& folders) {
  if (image.records.empty()) return true;
  if (!isPlausibleInstallFolder(image.installFolder, folders)) return false;
  if (!image.oldInstallFolder.empty() && !isPlausibleInstallFolder(image.oldInstallFolder, folders)) return false;
  for (const JournalRecord& record : image.records) {
    if (!recordPassesCheck(record, scope)) {
      logf(L"Journal line %d (%ls) failed the path check", record.number, record.kind.c_str());
      return false;
    }
  }
  return true;
}

#endif

}  // namespace zs
