// One section per record kind: its path rule, its undo and its change-side append. The table at
// the end ties them together.
//
// Undo is careful rather than forceful: it never works through a link, never overwrites a file
// that has come back, touches the user's folders only as that user, and leaves what it cannot
// undo for the next rollback (its result says so). Every path read from a journal is normalised
// before use; the path check has already confined it to the journal's scope.
#include "journal/record_kinds.h"

#include <array>

#include "app/log.h"
#include "journal/journal_records.h"
#include "ngen/ngen.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "script/paths.h"
#include "script/script.h"

namespace zs {

// Functions and types of this file are its own: static, or in an unnamed namespace. Only the
// change-side appenders, findRecordKind and passesNoLinkTest are visible outside.

constexpr int kAttempts = 10;

static std::wstring parentOf(std::wstring_view path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, slash));
}

static std::wstring_view lastComponent(std::wstring_view path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

static bool insideInstall(std::wstring_view path, const JournalScope& s) {
  return isInside(path, s.installFolder) || isInside(path, s.oldInstallFolder);
}

static bool isShortcutPlace(std::wstring_view path, const JournalScope& s) {
  return (isInside(path, s.programs) || isInside(path, s.desktop)) && endsWithNoCase(path, L".lnk");
}

static std::wstring dec(uint64_t n) { return format(32, L"%llu", static_cast<unsigned long long>(n)); }

// --- Registry vocabulary ---------------------------------------------------------------------

static bool isSubkeyText(std::wstring_view key) {
  return !key.empty() && key.front() != L'\\' && key.back() != L'\\' && key.find(L"..") == std::wstring_view::npos;
}

namespace {
struct RegTarget {
  RegRoot root = RegRoot::Hklm;
  RegView view = RegView::View64;
  std::wstring subkey;
};
}  // namespace

static bool regTarget(const JournalRecord& r, RegTarget& t) {
  if (r.fields.size() < 3) return false;
  if (!parseRegRoot(r.fields[0], t.root) || !parseRegView(r.fields[1], t.view)) return false;
  if (!isSubkeyText(r.fields[2])) return false;
  t.subkey = r.fields[2];
  return true;
}

static bool isOwnEntryKey(const RegTarget& t, const JournalScope& s) {
  return t.root == RegRoot::Hklm && !s.ownEntryKey.empty() && equalsNoCase(t.subkey, s.ownEntryKey);
}

static bool allowedValue(const RegTarget& t, const std::wstring& name, const JournalScope& s) {
  if (isOwnEntryKey(t, s)) return true;
  return isRegistryWriteAllowed(regRootName(t.root), t.subkey, name);
}

// Parent keys on the way to an allowed key are allowed too, so that creating them can be
// journalled and undone.
static bool allowedKey(const RegTarget& t, const JournalScope& s) {
  if (allowedValue(t, L"", s)) return true;
  if (t.root != RegRoot::Hklm) return false;
  const std::wstring anchors[] = {s.ownEntryKey, L"Software\\Brightmoor",
                                  L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"};
  for (const std::wstring& anchor : anchors) {
    if (anchor.empty()) continue;
    if (equalsNoCase(t.subkey, anchor) || startsWithNoCase(anchor, t.subkey + L"\\")) return true;
  }
  return false;
}

static std::vector<std::wstring> regFields(RegRoot root, RegView view, const std::wstring& subkey) {
  return {regRootName(root), regViewName(view), subkey};
}

// --- Retried file operations -------------------------------------------------------------------

template <typename Op>
static bool retried(const std::wstring& label, DWORD pauseMs, Op op) {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    DWORD error = 0;
    if (op(error)) return true;
    logWinError(label, error);
    if (attempt < kAttempts) Sleep(pauseMs);
  }
  return false;
}

// --- BEGIN -------------------------------------------------------------------------------------

static bool beginPasses(const JournalRecord& r, const JournalScope&) { return isRunSuffix(r.fields[4]); }

void journalBegin(JournalWriter& j, const std::wstring& appVersion, const std::wstring& mode,
                  const std::wstring& installFolder, const std::wstring& oldInstallFolder, const std::wstring& runSuffix) {
  j.appendOrFail(journal_kind::kBegin, {appVersion, mode, installFolder, oldInstallFolder, runSuffix});
}

// --- COMMIT, END -------------------------------------------------------------------------------

static bool alwaysPasses(const JournalRecord&, const JournalScope&) { return true; }

// --- UNDONE ------------------------------------------------------------------------------------

static bool undonePasses(const JournalRecord& r, const JournalScope&) {
  uint64_t n = 0;
  return parseJournalNumber(r.fields[0], n);
}

// --- DIRNEW ------------------------------------------------------------------------------------
// Written before each missing folder is created, top-most first. Undone (last first) by removing
// the folder when it is empty; what else is in it belongs to someone and stays.

static bool dirNewPasses(const JournalRecord& r, const JournalScope&) { return isJournalPath(r.fields[0]); }

namespace {
enum class FolderClass { Machine, User, Other };
}  // namespace

static bool atInsideOrAbove(const std::wstring& path, const std::wstring& root) {
  return !root.empty() && (isSameOrInside(path, root) || isInside(root, path));
}

static FolderClass folderClass(const std::wstring& path, const JournalScope& s) {
  for (const std::wstring* root : {&s.installFolder, &s.oldInstallFolder, &s.programs, &s.desktop, &s.setupdata}) {
    if (isSameOrInside(path, *root)) return FolderClass::Machine;
  }
  for (const std::wstring* root : {&s.installFolder, &s.programs, &s.desktop}) {
    if (!root->empty() && isInside(*root, path)) return FolderClass::Machine;
  }
  if (s.userFoldersKnown && (atInsideOrAbove(path, s.docs) || atInsideOrAbove(path, s.appdata))) {
    return FolderClass::User;
  }
  return FolderClass::Other;
}

static void removeIfEmptyFolder(const std::wstring& path, const JournalScope& s) {
  if (!isDirectory(path) || isLink(path) || !isFolderEmpty(path)) return;
  if (!passesNoLinkTest(path, s)) {
    logf(L"Undo of a folder skipped, a link is in the path: %ls", path.c_str());
    return;
  }
  removeFolder(path);
}

static bool dirNewUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  switch (folderClass(path, c.scope)) {
    case FolderClass::Machine:
      removeIfEmptyFolder(path, c.scope);
      break;
    case FolderClass::User:
      c.asUser([&] { removeIfEmptyFolder(path, c.scope); });
      break;
    case FolderClass::Other:
      logf(L"Skipping a folder that isn't this run's to touch: %ls", path.c_str());
      break;
  }
  return true;
}

static bool dirNewStillThere(const JournalRecord& r, const JournalScope&) {
  return isDirectory(normalizePath(r.fields[0]));
}

void journalDirNew(JournalWriter& j, const std::wstring& folder) { j.appendOrFail(journal_kind::kDirNew, {folder}); }

// --- STAGE -------------------------------------------------------------------------------------
// The hidden folder every file is staged into; undone by deleting it with what it holds.

static bool stagePasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& path = r.fields[0];
  return isJournalPath(path) && !s.installFolder.empty() && equalsNoCase(parentOf(path), s.installFolder) &&
         lastComponent(path) == L".zsnew" + s.runSuffix;
}

static bool stageUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  // A link at the install folder would turn the delete towards another folder.
  if (!passesNoLinkTest(path, c.scope)) {
    logf(L"Undo of the staging folder skipped, a link is in the path: %ls", path.c_str());
    return false;
  }
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (!pathExists(path)) return true;
    // Only the last attempt says what stayed, and why.
    DeleteErrorSink sink;
    if (attempt == kAttempts) sink = [](const std::wstring& item, DWORD error) { logWinError(L"Undo delete " + item, error); };
    deleteTree(path, sink);
    if (!pathExists(path)) return true;
    if (attempt < kAttempts) Sleep(c.retryPauseMs);
  }
  return false;
}

void journalStage(JournalWriter& j, const std::wstring& stagingFolder) {
  j.appendOrFail(journal_kind::kStage, {stagingFolder});
}

// --- MOVE --------------------------------------------------------------------------------------
// An existing file moved aside into this run's backup folder next to it, or an old shortcut moved
// into {setupdata}\bak. Undone by moving it back, never over a file that has come back.

static bool movePasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& from = r.fields[0];
  const std::wstring& to = r.fields[1];
  if (!isJournalPath(from) || !isJournalPath(to)) return false;
  if (insideInstall(from, s)) {
    std::wstring backup = parentOf(to);
    return equalsNoCase(parentOf(backup), parentOf(from)) && lastComponent(backup) == L".zsold" + s.runSuffix &&
           equalsNoCase(lastComponent(from), lastComponent(to));
  }
  return isShortcutPlace(from, s) && !s.setupdata.empty() && isInside(to, s.setupdata + L"\\bak");
}

static bool moveUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring from = normalizePath(r.fields[0]);
  std::wstring to = normalizePath(r.fields[1]);
  if (!pathExists(to)) return true;
  if (pathExists(from)) {
    logf(L"Undo of a move: both exist: %ls", from.c_str());
    return false;
  }
  if (!passesNoLinkTest(from, c.scope) || !passesNoLinkTest(to, c.scope)) {
    logf(L"Undo of a move skipped, a link is in the path: %ls", from.c_str());
    return false;
  }
  return retried(L"Undo move " + to, c.retryPauseMs,
                 [&](DWORD& error) { return moveFile(to, from, true, &error); });
}

void journalMove(JournalWriter& j, const std::wstring& from, const std::wstring& to) {
  j.appendOrFail(journal_kind::kMove, {from, to});
}

// --- PUT ---------------------------------------------------------------------------------------
// A new file put where no file was. Undone by deleting it.

static bool putPasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& path = r.fields[0];
  return isJournalPath(path) && (insideInstall(path, s) || isShortcutPlace(path, s));
}

static bool putUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  if (!pathExists(path)) return true;
  if (!passesNoLinkTest(path, c.scope)) {
    logf(L"Undo of a placed file skipped, a link is in the path: %ls", path.c_str());
    return false;
  }
  return retried(L"Undo delete " + path, c.retryPauseMs, [&](DWORD& error) {
    if (deleteFile(path, &error)) return true;
    return !pathExists(path);
  });
}

void journalPut(JournalWriter& j, const std::wstring& path) { j.appendOrFail(journal_kind::kPut, {path}); }

// --- PENDGONE ----------------------------------------------------------------------------------
// A delete at the next restart that the run took off the pending list. Undone by scheduling it
// again.

static bool pendGonePasses(const JournalRecord& r, const JournalScope& s) { return putPasses(r, s); }

static bool pendGoneUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  if (!pathExists(path) || !passesNoLinkTest(path, c.scope)) return true;
  // The run may have died before it took the delete off the list: schedule it only once.
  for (const std::wstring& pending : pendingDeletes()) {
    if (equalsNoCase(pending, path)) return true;
  }
  deleteAtRestart(path);
  return true;
}

void journalPendGone(JournalWriter& j, const std::wstring& path) { j.appendOrFail(journal_kind::kPendGone, {path}); }

// --- SEEDNEW -----------------------------------------------------------------------------------
// A first-run file written into the user's folders. Undone, as the user, only while its content
// is still exactly what the run wrote.

static bool seedNewPasses(const JournalRecord& r, const JournalScope&) {
  return isJournalPath(r.fields[0]) && r.fields[1].size() == 64;
}

static bool seedNewUndo(const JournalRecord& r, UndoContext& c) {
  if (!c.scope.userFoldersKnown) {
    logLine(L"Skipping a seed with no user token");
    return true;
  }
  std::wstring path = normalizePath(r.fields[0]);
  if (!isInside(path, c.scope.docs) && !isInside(path, c.scope.appdata)) {
    logf(L"Skipping a seed that isn't this run's to touch: %ls", path.c_str());
    return true;
  }
  c.asUser([&] {
    std::array<uint8_t, 32> digest{};
    if (!pathExists(path) || !passesNoLinkTest(path, c.scope) || !hashFile(path, digest)) return;
    std::string raw(reinterpret_cast<const char*>(digest.data()), digest.size());
    if (equalsNoCase(toHex(raw), r.fields[1])) deleteFile(path);
  });
  return true;
}

void journalSeedNew(JournalWriter& j, const std::wstring& path, const std::wstring& sha256Hex) {
  j.appendOrFail(journal_kind::kSeedNew, {path, sha256Hex});
}

// --- KEYNEW ------------------------------------------------------------------------------------
// A registry key that did not exist. Undone by deleting it when nothing is left in it.

static bool keyNewPasses(const JournalRecord& r, const JournalScope& s) {
  RegTarget t;
  return regTarget(r, t) && allowedKey(t, s);
}

static bool keyNewUndo(const JournalRecord& r, UndoContext&) {
  RegTarget t;
  if (!regTarget(r, t)) return false;
  deleteKeyIfEmpty(t.root, t.view, t.subkey);
  return true;
}

static bool keyNewStillThere(const JournalRecord& r, const JournalScope&) {
  RegTarget t;
  return regTarget(r, t) && keyExists(t.root, t.view, t.subkey);
}

void journalKeyNew(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey) {
  j.appendOrFail(journal_kind::kKeyNew, regFields(root, view, subkey));
}

// --- REGOLD ------------------------------------------------------------------------------------
// A value (type and bytes) about to be overwritten or deleted, or, with "key" for the type, a key
// about to be deleted. Undone by writing the value back, or creating the key again (its values
// and subkeys have records of their own).

constexpr std::wstring_view kWholeKey = L"key";

static bool regOldPasses(const JournalRecord& r, const JournalScope& s) {
  RegTarget t;
  if (!regTarget(r, t)) return false;
  if (r.fields[4] == kWholeKey) return allowedKey(t, s);
  return allowedValue(t, r.fields[3], s);
}

static bool regOldUndo(const JournalRecord& r, UndoContext&) {
  RegTarget t;
  if (!regTarget(r, t)) return false;
  DWORD error = 0;
  if (r.fields[4] == kWholeKey) {
    if (createKey(t.root, t.view, t.subkey, &error)) return true;
    logWinError(L"Undo create key " + t.subkey, error);
    return false;
  }
  uint64_t type = 0;
  std::string data;
  if (!parseJournalNumber(r.fields[4], type) || type > 0xFFFFFFFFu || !fromHex(r.fields[5], data)) return false;
  if (writeValue(t.root, t.view, t.subkey, r.fields[3], static_cast<DWORD>(type), data.data(), data.size(), &error)) {
    return true;
  }
  logWinError(L"Undo write value " + t.subkey + L"\\" + r.fields[3], error);
  return false;
}

void journalRegOld(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey, const std::wstring& name,
                   DWORD type, std::string_view data) {
  std::vector<std::wstring> fields = regFields(root, view, subkey);
  fields.push_back(name);
  fields.push_back(dec(type));
  fields.push_back(toHex(data));
  j.appendOrFail(journal_kind::kRegOld, fields);
}

void journalRegOldKey(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey) {
  std::vector<std::wstring> fields = regFields(root, view, subkey);
  fields.push_back(L"");
  fields.push_back(std::wstring(kWholeKey));
  fields.push_back(L"");
  j.appendOrFail(journal_kind::kRegOld, fields);
}

// --- REGNEW ------------------------------------------------------------------------------------
// A value that did not exist. Undone by deleting it.

static bool regNewPasses(const JournalRecord& r, const JournalScope& s) {
  RegTarget t;
  return regTarget(r, t) && allowedValue(t, r.fields[3], s);
}

static bool regNewUndo(const JournalRecord& r, UndoContext&) {
  RegTarget t;
  if (!regTarget(r, t)) return false;
  return deleteValue(t.root, t.view, t.subkey, r.fields[3]);
}

void journalRegNew(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey, const std::wstring& name) {
  std::vector<std::wstring> fields = regFields(root, view, subkey);
  fields.push_back(name);
  j.appendOrFail(journal_kind::kRegNew, fields);
}

// --- NGENOLD, NGENNEW --------------------------------------------------------------------------
// An old native image removed / a new one installed. Undone through ngen itself; native images
// are only an optimisation, so the undo never fails.

static bool ngenPasses(const JournalRecord& r, const JournalScope& s) {
  return isJournalPath(r.fields[0]) && isJournalPath(r.fields[1]) && !s.win.empty() &&
         isNgenPath(r.fields[0], s.win) && insideInstall(r.fields[1], s);
}

static bool ngenOldUndo(const JournalRecord& r, UndoContext&) {
  queueNativeImage(normalizePath(r.fields[0]), normalizePath(r.fields[1]));
  return true;
}

static bool ngenNewUndo(const JournalRecord& r, UndoContext&) {
  uninstallNativeImage(normalizePath(r.fields[0]), normalizePath(r.fields[1]));
  return true;
}

void journalNgenOld(JournalWriter& j, const std::wstring& ngenPath, const std::wstring& assembly) {
  j.appendOrFail(journal_kind::kNgenOld, {ngenPath, assembly});
}

void journalNgenNew(JournalWriter& j, const std::wstring& ngenPath, const std::wstring& assembly) {
  j.appendOrFail(journal_kind::kNgenNew, {ngenPath, assembly});
}

// --- CLEANENTRY, CLEANDIR, CLEANEMPTY ------------------------------------------------------------
// Written at commit for the cleanup (cleanup.cpp acts on them); rollback passes over them.

static bool cleanEntryPasses(const JournalRecord& r, const JournalScope&) {
  RegView view;
  return parseRegView(r.fields[0], view) && isEntryName(r.fields[1]);
}

static bool cleanDirPasses(const JournalRecord& r, const JournalScope& s) {
  return isJournalPath(r.fields[0]) && !s.oldInstallFolder.empty() && isSameOrInside(r.fields[0], s.oldInstallFolder);
}

static bool cleanEmptyPasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& path = r.fields[0];
  if (!isJournalPath(path)) return false;
  if (!s.oldInstallFolder.empty() && equalsNoCase(path, s.oldInstallFolder)) return true;
  return isInside(path, s.pf) || isInside(path, s.pf32);
}

constexpr size_t kFirst = 0;
constexpr size_t kSubkey = 2;

static const RecordKind kKinds[] = {
    {journal_kind::kBegin, 5, beginPasses, nullptr, nullptr, kFirst},
    {journal_kind::kDirNew, 1, dirNewPasses, dirNewUndo, dirNewStillThere, kFirst},
    {journal_kind::kStage, 1, stagePasses, stageUndo, nullptr, kFirst},
    {journal_kind::kMove, 2, movePasses, moveUndo, nullptr, kFirst},
    {journal_kind::kPut, 1, putPasses, putUndo, nullptr, kFirst},
    {journal_kind::kPendGone, 1, pendGonePasses, pendGoneUndo, nullptr, kFirst},
    {journal_kind::kSeedNew, 2, seedNewPasses, seedNewUndo, nullptr, kFirst},
    {journal_kind::kKeyNew, 3, keyNewPasses, keyNewUndo, keyNewStillThere, kSubkey},
    {journal_kind::kRegOld, 6, regOldPasses, regOldUndo, nullptr, kSubkey},
    {journal_kind::kRegNew, 4, regNewPasses, regNewUndo, nullptr, kSubkey},
    {journal_kind::kNgenOld, 2, ngenPasses, ngenOldUndo, nullptr, kFirst},
    {journal_kind::kNgenNew, 2, ngenPasses, ngenNewUndo, nullptr, kFirst},
    {journal_kind::kCleanEntry, 2, cleanEntryPasses, nullptr, nullptr, kFirst},
    {journal_kind::kCleanDir, 1, cleanDirPasses, nullptr, nullptr, kFirst},
    {journal_kind::kCleanEmpty, 1, cleanEmptyPasses, nullptr, nullptr, kFirst},
    {journal_kind::kCommit, 0, alwaysPasses, nullptr, nullptr, kFirst},
    {journal_kind::kEnd, 0, alwaysPasses, nullptr, nullptr, kFirst},
    {journal_kind::kUndone, 1, undonePasses, nullptr, nullptr, kFirst},
};

const RecordKind* findRecordKind(std::wstring_view name) {
  for (const RecordKind& kind : kKinds) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

bool passesNoLinkTest(const std::wstring& path, const JournalScope& s) {
  for (const std::wstring* root : {&s.installFolder, &s.oldInstallFolder, &s.programs, &s.desktop, &s.setupdata,
                                   &s.docs, &s.appdata}) {
    if (!isInside(path, *root)) continue;
    return !isLink(*root) && noLinkBelow(*root, parentOf(path));
  }
  return true;
}

std::wstring toHex(std::string_view bytes) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool fromHex(std::wstring_view hex, std::string& bytes) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  bytes.clear();
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]);
    int lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>((hi << 4) | lo);
  }
  return true;
}

}  // namespace zs
